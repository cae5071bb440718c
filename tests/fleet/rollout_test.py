"""The recipe rolled out with Ansible over simulated hosts (simfleet.py),
each reached with ansible_connection local in a working directory of its
own on the bench."""

import csv
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
from collections import defaultdict

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
FLEET = os.path.join(ROOT, "examples", "fleet")
sys.path.insert(0, FLEET)
import simfleet  # noqa: E402

BUILD = os.environ.get("QIK_BUILD_DIR", os.path.join(ROOT, "build", "release"))
OUT = os.environ.get("QIK_FLEET_OUT") or tempfile.mkdtemp(prefix="qik-fleet-")


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def rollout(log, *args):
    """Runs the recipe with these arguments for ansible-playbook: its exit
    status and its output, which is also left in the file log. The hosts'
    own temporary files go to the folder "tmp" beside the log."""
    tmp = os.path.join(os.path.dirname(log), "ansible-tmp")
    hosts_tmp = os.path.join(os.path.dirname(log), "tmp")
    os.makedirs(hosts_tmp, exist_ok=True)
    env = dict(os.environ, ANSIBLE_LOCAL_TEMP=tmp, ANSIBLE_REMOTE_TEMP=tmp, ANSIBLE_NOCOLOR="1", TMPDIR=hosts_tmp)
    run = subprocess.run([os.path.join(FLEET, "rollout"), *args], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, check=False)
    with open(log, "w", encoding="utf-8") as f:
        f.write(run.stdout)
    return run.returncode, run.stdout


def recap(output):
    """Ansible's closing counts for each host: {host: {"ok": n, "changed": n, ...}}."""
    lines = output.split("PLAY RECAP", 1)[1].splitlines()[1:]
    return {host.strip(): {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", counts)}
            for host, _, counts in (line.partition(" : ") for line in lines if " : " in line)}


def snapshot(directory):
    """Every file below a folder and its content's digest."""
    found = {}
    for parent, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(parent, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, directory)] = hashlib.sha256(f.read()).hexdigest()
    return found


class Rollout(unittest.TestCase):
    """A simulated fleet laid out anew and rolled out once."""
    fleet = None

    @classmethod
    def setUpClass(cls):
        cls.out = os.path.join(OUT, cls.fleet)
        simfleet.lay_out(BUILD, cls.out, cls.fleet)
        cls.tool_log_before = {h: read_lines(cls.tool_log(h)) for h in simfleet.FLEETS[cls.fleet]["hosts"]}
        cls.before_rollout()
        cls.status, cls.output = cls.roll_out("rollout.log")
        cls.rows, cls.summary_md = cls.read_summary()

    @classmethod
    def before_rollout(cls):
        pass

    @classmethod
    def roll_out(cls, log, *args):
        return rollout(os.path.join(cls.out, log), "-i", os.path.join(cls.out, "inventory.yml"),
                       "-e", "@" + os.path.join(cls.out, "vars.json"), *args)

    @classmethod
    def read_summary(cls, results=()):
        """The rows of summary.csv by host, and summary.md."""
        rows = defaultdict(list)
        try:
            with open(cls.result(*results, "summary.csv"), encoding="utf-8") as f:
                for row in csv.DictReader(f):
                    rows[row["host"]].append(row)
        except FileNotFoundError:
            raise AssertionError("no fleet summary; the rollout said:\n" + cls.output) from None
        return rows, "\n".join(read_lines(cls.result(*results, "summary.md")))

    @classmethod
    def result(cls, *parts):
        return os.path.join(cls.out, "results", *parts)

    @classmethod
    def tool_log(cls, host):
        return os.path.join(cls.out, "hosts", host, "nicflsh_log.txt")

    def states(self, rows=None):
        return {host: {r["state"] for r in rows} for host, rows in (rows or self.rows).items()}

    def codes(self, host):
        return [r["code"] for r in self.rows[host]]

    def reboot_window(self, summary_md):
        """The hosts listed for a reboot window, and why."""
        return dict(line[2:].partition(": ")[::2] for line in summary_md.split("## For a reboot window\n", 1)[1].splitlines()
                    if line.startswith("- "))

    def status_json(self, host):
        with open(self.result(host, "status.json"), encoding="utf-8") as f:
            return json.load(f)

    def assertSummaryMatchesDocument(self, host):
        """The host's result document and inventory log came back, parse,
        and say what its rows of the summary say."""
        root = ET.parse(self.result(host, "vxlrfwprgmr.xml")).getroot()
        with open(self.result(host, "vxllcllog.txt"), encoding="utf-8") as f:
            logged = ET.fromstring("<InventoryLog>" + f.read() + "</InventoryLog>").findall("Device")
        whole = root.find("SPStatus/Message")
        if whole is not None:
            expected = [(whole.get("id"), whole.text.strip())]
            self.assertEqual(logged, [])
        else:
            expected = [("%s:%s.%s" % (d.get("bus"), d.get("device"), d.get("function")),
                         d.find("Application").get("version"), d.find("Application/Package").get("version"),
                         d.find(".//Message").get("id"), d.find(".//Message").text)
                        for d in root.findall("Device")]
            self.assertEqual(len(logged), len(expected))
        keys = ["code", "message"] if whole is not None else ["location", "installed", "package", "code", "message"]
        self.assertEqual([tuple(r[k] for k in keys) for r in self.rows[host]], expected)
        reboot = root.find("RebootRequired").text
        self.assertEqual({r["reboot_required"] for r in self.rows[host]}, {reboot})

class MixedFleet(Rollout):
    """Every outcome a host can have, first in check mode, then rolled out."""
    fleet = "mixed"

    @classmethod
    def before_rollout(cls):
        cls.hosts_before_check = snapshot(os.path.join(cls.out, "hosts"))
        cls.check_status, cls.check_output = cls.roll_out("check.log", "--check")
        cls.hosts_after_check = snapshot(os.path.join(cls.out, "hosts"))
        cls.check_rows, cls.check_md = cls.read_summary(["check-mode"])
        cls.results_after_check = sorted(os.listdir(cls.result()))
        cls.tmp_after_check = os.listdir(os.path.join(cls.out, "tmp"))

    def test_check_mode_touches_no_host_and_writes_its_summary(self):
        self.assertEqual(self.hosts_after_check, self.hosts_before_check)
        self.assertEqual(self.results_after_check, ["check-mode"])
        expected = {h: {"planned"} for h in simfleet.FLEETS["mixed"]["hosts"]}
        expected.update({"unreachable": {"unreachable"}, "no-package": {"step-failed"}})
        self.assertEqual(self.states(self.check_rows), expected)
        # What a run would do is said once for the fleet, and kept for each
        # host in its status.json, not on every row.
        self.assertIn("use %s, unpack %s there" % (os.path.join(self.out, "hosts", "canary"),
                                                   os.path.join(self.out, "package")),
                      self.status_json("check-mode/canary")["would_run"])
        self.assertFalse(any("check mode, nothing done" in r[0]["message"] for r in self.check_rows.values()))
        self.assertNotIn("skipping: ", self.check_output)
        self.assertEqual(self.check_status, 2, self.check_output)

    def test_check_mode_plans_each_host(self):
        def plan(host):
            row = self.check_rows[host][0]
            return [row[k] for k in ("plan_update", "plan_current", "plan_left_alone", "plan_unknown", "plan_updates",
                                     "reboot_required", "code")]
        self.assertEqual(plan("canary"), ["6", "0", "2", "0", "eth0 eth1 eth2 eth3 eth4 eth5", "1", ""])
        self.assertEqual(plan("current"), ["0", "6", "2", "0", "", "0", ""])
        self.assertEqual(plan("bad-table"), ["0", "0", "0", "0", "", "0", "3"])
        self.assertEqual(plan("old-library")[-1], "6")
        self.assertIn('the run would end at once with 3: Dependency failure. Could not read configuration file. '
                      '(vxlkqfw.cfg:7: column 7 "bc": token "bc_7a01_0710.bin" has no ",version")',
                      self.check_rows["bad-table"][0]["message"])
        # The plan came back whole, and was made from the package on the
        # host's own server, in a temporary directory since removed.
        with open(self.result("check-mode", "canary", "plan.json"), encoding="utf-8") as f:
            document = json.load(f)
        self.assertEqual([(f["service"], f["outcome"]) for f in document["functions"]][:6],
                         [("eth%d" % n, "update") for n in range(6)])
        self.assertEqual(self.tmp_after_check, [])
        self.assertEqual(list(self.reboot_window(self.check_md)),
                         ["canary", "lom-only", "tool-fails", "locked", "kept-backup", "old-ncsi", "bad-image"])
        lines = self.check_md.splitlines()
        for host, why in [("unreachable", "no plan: unreachable: Failed to create temporary directory"),
                          ("no-package", "no plan: step-failed: packing"),
                          ("kept-backup", "NVRAM backup kept on the host, the adapter's only copy: ")]:
            with self.subTest(host):
                self.assertTrue(any(line.startswith("| %s |" % host) and why in line for line in lines), lines)

    def test_every_host_in_the_summary(self):
        self.assertEqual(self.status, 2, self.output)
        self.assertEqual(self.states(), {
            "canary": {"ok"}, "lom-only": {"ok"}, "tool-fails": {"update-failure"}, "locked": {"needs-person"},
            "current": {"ok"}, "bad-table": {"bad-table"}, "old-library": {"whole-run-error"},
            "no-adapters": {"no-supported-adapters"}, "unreachable": {"unreachable"},
            "kept-backup": {"update-failure"}, "no-package": {"step-failed"}, "old-ncsi": {"ok"},
            "bad-image": {"not-verified"}})
        expected_codes = {
            "canary": ["0"] * 6, "lom-only": ["0"] * 4, "tool-fails": ["9"] * 4 + ["0"] * 2,
            "locked": ["5"] * 4 + ["18"] * 2, "current": ["0"] * 6, "bad-table": [""],
            "old-library": ["6"], "no-adapters": ["12"], "unreachable": [""], "kept-backup": ["14"] * 4 + ["0"] * 2,
            "no-package": [""], "old-ncsi": ["0"] * 4, "bad-image": ["0"] * 4}
        self.assertEqual({h: self.codes(h) for h in self.rows}, expected_codes)
        self.assertEqual({r["exit_status"] for r in self.rows["tool-fails"] + self.rows["locked"]}, {"16", "12"})
        self.assertIn("Failed to create temporary directory", self.rows["unreachable"][0]["message"])

    def test_changed_only_where_the_firmware_changed(self):
        changed = {host for host, counts in recap(self.output).items() if counts["changed"]}
        self.assertEqual(changed, {"canary", "lom-only", "tool-fails", "kept-backup", "old-ncsi", "bad-image"})
        self.assertEqual(self.reboot_window(self.summary_md), dict.fromkeys(
            ["canary", "lom-only", "tool-fails", "kept-backup", "old-ncsi", "bad-image"],
            "firmware changed in this run"))
        # A component raised, the family version kept.
        self.assertEqual({(r["installed"], r["package"]) for r in self.rows["old-ncsi"]}, {("7.10.3", "7.10.3")})
        self.assertEqual(self.status_json("old-ncsi")["changes"], ["eth0 NC-SI 1.4.6 -> 1.5.0"])
        self.assertIn("firmware changed on 6.", self.summary_md)

    def test_verified_after_the_run(self):
        self.assertEqual({h: {r["verified"] for r in rows} for h, rows in self.rows.items()
                          if h in ("canary", "tool-fails", "old-library", "bad-image")},
                         {"canary": {"yes"}, "tool-fails": {"yes"}, "old-library": {""}, "bad-image": {"no"}})
        # The image installs 7.09 under a 7.10 row, and the run says "Update success.".
        self.assertEqual(self.status_json("bad-image")["not_verified"],
                         ["eth%d bc: 7.09 installed after the run, the table asks 7.10 (bc_7a01_0710.bin)" % n
                          for n in range(4)])
        self.assertIn("| bad-image | eth0 bc: 7.09 installed after the run, the table asks 7.10 (bc_7a01_0710.bin);",
                      self.summary_md)

    def test_summary_matches_each_result_document(self):
        reached = [h for h in self.rows if h not in ("unreachable", "bad-table", "no-package")]
        for host in reached:
            with self.subTest(host):
                self.assertSummaryMatchesDocument(host)
        self.assertEqual(self.rows["old-library"][0]["message"], "Dependency failure. Library out of date.")

    def test_stopped_hosts_program_nothing(self):
        self.assertIn('token "bc_7a01_0710.bin" has no ",version"', self.rows["bad-table"][0]["message"])
        self.assertTrue(os.path.exists(os.path.join(self.out, "hosts", "bad-table", "qik_programmer")))
        # The package could not be packed: tar's own words, and nothing sent.
        self.assertRegex(self.rows["no-package"][0]["message"],
                         "^packing .*/no-such-package on the controller failed: tar: .*: Cannot open: No such file")
        self.assertEqual(os.listdir(os.path.join(self.out, "hosts", "no-package")), ["bench.json"])
        for host in ("bad-table", "no-package"):
            with self.subTest(host):
                self.assertFalse(os.path.exists(self.tool_log(host)))
                self.assertFalse(os.path.exists(self.result(host, "vxlrfwprgmr.xml")))

    def test_package_packed_once_for_every_batch(self):
        packing = self.output.split("TASK [qik_update : Pack each update package]")
        self.assertEqual(len(packing), 2, self.output)
        self.assertEqual(len(re.findall(r"\(item=", packing[1].split("PLAY [", 1)[0])), 4)
        self.assertEqual(self.output.count("PLAY [Update network adapter firmware]"), 4)

    def test_second_run_finds_everything_current(self):
        rows = self.rows["current"]
        self.assertEqual([r["installed"] for r in rows], [r["package"] for r in rows])
        commands = read_lines(self.tool_log("current"))[len(self.tool_log_before["current"]):]
        self.assertTrue(commands)
        programmed = [c for c in commands if " upgrade " in c and not any(o in c for o in (" -m_pn ", " -vpd "))]
        self.assertEqual(programmed, [])

    def test_totals_and_lists_for_people(self):
        for line in ["| 0 | Update success. | 28 |", "| 5 | Update failure. Write Protect or System Lockdown enabled. | 4 |",
                     "| 6 | Dependency failure. Library out of date. | 1 |",
                     "| 14 | Update failure. Firmware programming utility returned an error. Firmware could not be "
                     "restored. | 4 |", "| 12 | Update failure. No supported devices "
                     "found. | 1 |", "| 18 | Update failure. Driver not supported. See release notes for recommended "
                     "driver. | 2 |"]:
            self.assertIn(line, self.summary_md)
        self.assertIn("| locked | write protect or system lockdown; driver not supported |", self.summary_md)
        # The adapter whose backup was kept is left alone (14), the backup
        # too, and a person is told where it is.
        backup = os.path.join(self.out, "hosts", "kept-backup", simfleet.KEPT_BACKUP)
        self.assertIn("| kept-backup | NVRAM backup kept on the host, the adapter's only copy: %s |" % backup,
                      self.summary_md)
        self.assertEqual(snapshot(os.path.dirname(backup))[simfleet.KEPT_BACKUP],
                         self.hosts_before_check["kept-backup/" + simfleet.KEPT_BACKUP])
        self.assertIn("Batches [1, 4], failure limit 80%.\n", self.summary_md)
        # The rollout script ends with the summary's counts and its path.
        self.assertTrue(self.output.endswith("Fleet summary: %s\n" % self.result("summary.md")), self.output[-500:])
        self.assertIn("\n13 hosts: 1 bad-table, ", self.output)


class StoppedRollout(Rollout):
    fleet = "stop"

    def test_batch_past_the_limit_stops_the_rollout(self):
        self.assertEqual(self.status, 2, self.output)
        self.assertEqual(self.states(), {"canary": {"ok"}, "tool-fails": {"update-failure"}, "second": {"ok"},
                                         "later-1": {"not-run"}, "later-2": {"not-run"}})
        for host in ("canary", "tool-fails", "second"):
            with self.subTest(host):
                self.assertSummaryMatchesDocument(host)
        for host in ("later-1", "later-2"):
            with self.subTest(host):
                self.assertEqual(self.rows[host][0]["message"], "the rollout stopped before this host")
                self.assertEqual(os.listdir(os.path.join(self.out, "hosts", host)), ["bench.json"])
                self.assertFalse(os.path.exists(self.result(host)))
        why = ("1 of 2 hosts of the batch from tool-fails failed (50%), more than the failure limit of 20%")
        self.assertIn("Batches [1, 2], failure limit 20%. Stopped: " + why + "; 2 hosts not run.", self.summary_md)
        self.assertIn("rollout stopped: " + why, self.output)


class Rerun(Rollout):
    """A fleet rolled out, then again, then again on one host with --limit."""
    fleet = "rerun"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.second_status, cls.second_output = cls.roll_out("second.log")
        cls.second_rows, cls.second_md = cls.read_summary()
        simfleet.reboot(cls.out, "second")
        cls.limited_status, cls.limited_output = cls.roll_out("limited.log", "--limit", "second",
                                                              "-e", "qik_skip=eth0,eth1,eth2,eth3")
        cls.limited_rows, _ = cls.read_summary()

    def test_second_rollout_reports_every_host_ok(self):
        self.assertEqual((self.status, self.second_status), (0, 0), self.second_output)
        hosts = set(simfleet.FLEETS["rerun"]["hosts"])
        first, second = recap(self.output), recap(self.second_output)
        self.assertEqual({h for h in hosts if first[h]["changed"]}, hosts)
        self.assertEqual({h: (second[h]["changed"], second[h]["failed"]) for h in hosts}, {h: (0, 0) for h in hosts})
        self.assertEqual(self.states(self.second_rows), {h: {"ok"} for h in hosts})
        self.assertIn("firmware changed on 0.", self.second_md)
        # Not rebooted since the first rollout: still waiting for it.
        self.assertEqual(self.reboot_window(self.second_md),
                         dict.fromkeys(hosts, "firmware changed by an earlier run, not rebooted since"))

    def test_limited_rerun_keeps_the_other_rows(self):
        self.assertEqual(self.limited_status, 0, self.limited_output)
        self.assertEqual(list(self.limited_rows), ["canary", "lom-only", "second"])
        for host in ("canary", "lom-only"):
            self.assertEqual(self.limited_rows[host], self.second_rows[host])
        self.assertEqual([r["location"] for r in self.limited_rows["second"]], ["4:0.0", "4:0.1"])
        # "second" came back from a reboot before the limited run; the
        # others have not been seen since.
        with open(self.result("summary.md"), encoding="utf-8") as f:
            self.assertEqual(list(self.reboot_window(f.read())), ["canary", "lom-only"])


class EmptyInventory(unittest.TestCase):
    """A rollout without hosts says so and fails, whatever left it without."""

    def test_fails_with_a_clear_message(self):
        out = os.path.join(OUT, "empty")
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        empty = os.path.join(out, "empty.yml")
        open(empty, "w", encoding="utf-8").close()
        results = os.path.join(out, "results")
        cases = {"empty": ["-i", empty], "missing": ["-i", os.path.join(out, "missing.yml")],
                 "no such group": ["-i", os.path.join(out, "missing.yml"), "-e", "qik_hosts=ks2200"]}
        for name, args in cases.items():
            with self.subTest(name):
                status, output = rollout(os.path.join(out, name + ".log"), *args, "-e", "qik_results_dir=" + results)
                self.assertNotEqual(status, 0, output)
                self.assertRegex(" ".join(output.split()),
                                 r"No host to update: \S+ matches no host of the inventory \S+\.yml "
                                 r"\(missing, empty or unreadable\)\. Write the inventory")
                self.assertFalse(os.path.exists(results))


if __name__ == "__main__":
    unittest.main()
