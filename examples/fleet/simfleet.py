#!/usr/bin/env python3
"""Lays out a fleet of simulated servers for the rollout: one working
directory per host on the simulated bench (docs/bench.md), each reached
with ansible_connection local, the update package built from the demo
server's files, an inventory and the extra variables of the rollout.

usage: simfleet.py BUILD_DIR OUT_DIR [mixed|stop|rerun]

BUILD_DIR is a build tree of the project (build/release); OUT_DIR is made
anew. Prints the fleet's batch sizes and failure limit and why they were
chosen. Then:  examples/fleet/rollout -i OUT_DIR/inventory.yml -e @OUT_DIR/vars.json
"""

import json
import os
import shutil
import subprocess
import sys
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEMO = os.path.join(ROOT, "examples", "demo")
BINARIES = ["src/driver/qik_programmer", "src/driver/qik_plan", "src/driver/qik_capture",
            "src/config/qik_cfgcheck", "sim/libadpm_x64.so.6", "sim/nicflsh"]


def demo_bench():
    with open(os.path.join(DEMO, "bench.json"), encoding="utf-8") as f:
        return json.load(f)


def only(*adapters):
    """The demo server with only these of its adapters."""
    bench = demo_bench()
    bench["adapters"] = {k: v for k, v in bench["adapters"].items() if k in adapters}
    bench["functions"] = [f for f in bench["functions"] if f["adapter"] in adapters]
    return bench


def with_changes(library=None, tool_faults=(), **adapters):
    """The demo server with library settings, tool faults and adapter
    settings changed."""
    bench = demo_bench()
    bench["library"].update(library or {})
    bench["tool"]["faults"] = list(tool_faults)
    for name, settings in adapters.items():
        bench["adapters"][name].update(settings)
    return bench


def lom_with_old_ncsi():
    """The demo server's LOM alone, at the table's family version and
    components but for an older NC-SI firmware: an update raises a
    component and keeps the family version."""
    bench = only("lom")
    lom = bench["adapters"]["lom"]
    lom["firmware"].update(bootcode="7.10", bta="7.10.3", iscsi="7.10.3")
    lom["nvram"]["vpd"]["keywords"] = [[k, "FFV7.10.3" if k == "V0" else v] for k, v in lom["nvram"]["vpd"]["keywords"]]
    return bench


# Each host: its server, and whether its package has a table the checker
# refuses, an image that installs less than its table row asks, or is
# missing, whether it was updated before the rollout (so the
# rollout finds everything current), whether an earlier run left a kept NVRAM
# backup in its working directory and whether the controller cannot reach it.
FLEETS = {
    "mixed": {
        "vars": {"qik_serial": [1, 4], "qik_max_fail_percentage": 80},
        "why": "no batch has more than three failed hosts out of four, so the whole fleet is run",
        "hosts": {
            "canary": {"bench": demo_bench()},
            "lom-only": {"bench": only("lom")},
            "tool-fails": {"bench": with_changes(tool_faults=[{"adapter": "lom", "option": "-mgmt", "exit": 9}])},
            "locked": {"bench": with_changes(lom={"writeProtect": True}, addin={"driverSupported": False})},
            "current": {"bench": demo_bench(), "updated_before": True},
            "bad-table": {"bench": demo_bench(), "bad_table": True},
            "old-library": {"bench": with_changes(library={"version": "6.23.5"})},
            "no-adapters": {"bench": only("nic1g")},
            "unreachable": {"bench": demo_bench(), "unreachable": True},
            "kept-backup": {"bench": demo_bench(), "kept_backup": True},
            "no-package": {"bench": demo_bench(), "no_package": True},
            "old-ncsi": {"bench": lom_with_old_ncsi()},
            "bad-image": {"bench": only("lom"), "bad_image": True},
        },
    },
    "stop": {
        "vars": {"qik_serial": [1, 2], "qik_max_fail_percentage": 20},
        "why": "one of the two hosts of the second batch fails, 50%, so the last batch is never run",
        "hosts": {
            "canary": {"bench": demo_bench()},
            "tool-fails": {"bench": with_changes(tool_faults=[{"adapter": "addin", "option": "-mgmt", "exit": 9}])},
            "second": {"bench": only("lom")},
            "later-1": {"bench": demo_bench()},
            "later-2": {"bench": demo_bench()},
        },
    },
    # Servers that all take the update, for rolling out again.
    "rerun": {
        "vars": {"qik_serial": [1, 2], "qik_max_fail_percentage": 0},
        "why": "every host takes the update, so any failure stops the rollout",
        "hosts": {
            "canary": {"bench": demo_bench()},
            "lom-only": {"bench": only("lom")},
            "second": {"bench": demo_bench()},
        },
    },
}
# What a run that could not restore an adapter's NVRAM leaves beside the
# utility: the backup, named after the adapter's MAC address.
KEPT_BACKUP = "buimage_001c5a100000"


def _replace_in(path, old, new):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(old, new))


def make_package(build_dir, dest, bad_table=False, bad_image=False):
    os.makedirs(dest)
    for name in os.listdir(DEMO):
        if name not in ("bench.json", "README.md"):
            shutil.copy(os.path.join(DEMO, name), dest)
    for path in BINARIES:
        shutil.copy(os.path.join(build_dir, path), dest)
    if bad_table:
        _replace_in(os.path.join(dest, "vxlkqfw.cfg"), "bc_7a01_0710.bin,7.10", "bc_7a01_0710.bin")
    if bad_image:
        # The run reports success; only reading the versions back shows it.
        _replace_in(os.path.join(dest, "bc_7a01_0710.bin"), "version=7.10\n", "version=7.09\n")


def update_before(package, workdir):
    """Runs the package once in the host's directory, as an earlier rollout
    would have."""
    shutil.copytree(package, workdir, dirs_exist_ok=True)
    subprocess.run(["./qik_programmer"], cwd=workdir, check=False, stdout=subprocess.DEVNULL)


def reboot(out_dir, host):
    """Gives a simulated host a new boot id, as a reboot does; returns the
    file that holds it."""
    path = os.path.join(out_dir, "boot_id", host)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(str(uuid.uuid4()) + "\n")
    return path


def lay_out(build_dir, out_dir, fleet_name):
    fleet = FLEETS[fleet_name]
    shutil.rmtree(out_dir, ignore_errors=True)
    packages = {None: os.path.join(out_dir, "package"), "bad_table": os.path.join(out_dir, "package-bad-table"),
                "bad_image": os.path.join(out_dir, "package-bad-image")}
    for bad, path in packages.items():
        make_package(build_dir, path, **({bad: True} if bad else {}))
    hosts = {}
    for name, setup in fleet["hosts"].items():
        workdir = os.path.join(out_dir, "hosts", name)
        os.makedirs(workdir)
        with open(os.path.join(workdir, "bench.json"), "w", encoding="utf-8") as f:
            json.dump(setup["bench"], f, indent=1)
        if setup.get("updated_before"):
            update_before(packages[None], workdir)
        if setup.get("kept_backup"):
            with open(os.path.join(workdir, KEPT_BACKUP), "wb") as f:
                f.write(bytes(4096))
        # The host's server is the bench file in its working directory,
        # wherever the package's programs run (check mode plans elsewhere);
        # its boot id a file of its own, which reboot() changes.
        boot_id = reboot(out_dir, name)
        host = {"qik_workdir": workdir, "qik_environment": {"QIK_BENCH": os.path.join(workdir, "bench.json")},
                "qik_boot_id_file": boot_id}
        for bad in ("bad_table", "bad_image"):
            if setup.get(bad):
                host["qik_package_dir"] = packages[bad]
        if setup.get("no_package"):
            host["qik_package_dir"] = os.path.join(out_dir, "no-such-package")
        if setup.get("unreachable"):
            # The connection fails as an unreachable SSH host's would.
            host["ansible_remote_tmp"] = "/dev/null/unreachable"
        hosts[name] = host
    inventory = {"all": {"hosts": hosts, "vars": {
        "ansible_connection": "local",
        "ansible_python_interpreter": "{{ ansible_playbook_python }}",
        "qik_become": False,
        "qik_package_dir": packages[None],
        "qik_results_dir": os.path.join(out_dir, "results"),
    }}}
    # JSON is YAML: the inventory needs no YAML writer.
    with open(os.path.join(out_dir, "inventory.yml"), "w", encoding="utf-8") as f:
        json.dump(inventory, f, indent=1)
    with open(os.path.join(out_dir, "vars.json"), "w", encoding="utf-8") as f:
        json.dump(fleet["vars"], f)
    return "%s: %d simulated hosts, batches %s and failure limit %d%%: %s" % (
        fleet_name, len(hosts), json.dumps(fleet["vars"]["qik_serial"]), fleet["vars"]["qik_max_fail_percentage"],
        fleet["why"])


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(__doc__.split("\n\n")[1])
    print(lay_out(os.path.abspath(argv[1]), os.path.abspath(argv[2]), argv[3] if len(argv) == 4 else "mixed"))


if __name__ == "__main__":
    main(sys.argv)
