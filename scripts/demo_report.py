#!/usr/bin/env python3
"""The demo's verdict: one line per adapter function and run, then one line
that says whether the package did what it should.

    demo_report.py DIR
    demo_report.py --plan PLAN_JSON

The second form shows qik_plan's plan (its --json document) as one line per
adapter function and its last line.

DIR holds table.txt (what qik_cfgcheck printed for the table) and, per run,
run1/ and run2/ with before.json and after.json (adpm_show's JSON before and
after the run), result.xml (the result document, when there is one),
tool.log (the tool's log lines of that run), status (the exit status),
verify.json and verify-status (what qik_plan --verify --json printed after
the run, and its exit status).

Run 1 should end with code 0 on every adapter function; run 2 should find
every one current; after each run qik_plan --verify should find every
function reported as updated installed as the table asks. The exit status
is 0 when all hold, else 1.
"""
import json
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

# The table's component columns as qik_cfgcheck names them, and what the
# library reports for each (None: the library does not report it).
INSTALLED_KEY = {
    "bc": "bootcode", "bta": "bta", "ncsi": "ncsi", "qmx": None, "ipmi": "ipmi",
    "iscsib": "iscsi", "uefi": "uefi", "fcoeb": None, "cfx": "cfx",
}
# Tool commands that write no firmware component: the probe, the backup and
# its restore, the part-number module and the family version.
NOT_A_COMPONENT = {"dir", "dumpnvram", "restorenvram", "-m_pn", "-vpd"}

ENTRY = re.compile(r"^\S+:\d+: ven (\S+) device (\S+) subven (\S+) subdev (\S+) crv \S+ "
                   r"family (\S+) \(\d+\)(.*)$")
COMPONENT = re.compile(r"^(\S+) (\S+) (\S+) \((\d+)\)$")


def table_rows(summary):
    """The entries of qik_cfgcheck's summary: IDs, family and components."""
    rows = []
    for line in summary.splitlines():
        match = ENTRY.match(line)
        if not match:
            continue
        components = []
        for part in match.group(6).split("; ")[1:]:
            component = COMPONENT.match(part)
            if component and component.group(1) in INSTALLED_KEY:
                components.append(component.groups())
        rows.append({"ids": tuple(int(match.group(i), 16) for i in range(1, 5)),
                     "family": match.group(5), "components": components})
    return rows


def row_for(rows, device):
    """The table row the run used for a Device element. The document names
    the row's family; among rows for the same IDs (other chip revisions)
    the first with that family is taken."""
    ids = tuple(int(device.get(k), 16)
                for k in ("vendorID", "deviceID", "subVendorID", "subDeviceID"))
    family = device.find("Application/Package").get("version")
    candidates = [r for r in rows if r["ids"] == ids]
    return next((r for r in candidates if r["family"] == family),
                candidates[0] if candidates else None)


def text_of(message):
    return " ".join((message.text or "").split())


def functions_by_location(inspection):
    return {f.get("location"): f for f in inspection.get("functions", [])}


def location_of(device):
    return f"{device.get('bus')}:{device.get('device')}.{device.get('function')}"


def adapter_of(location):
    """The bus and device, which all functions of an adapter share."""
    return location.split(".")[0]


def programmed_macs(tool_log):
    """The MACs whose adapter had a firmware component written."""
    macs = set()
    for line in tool_log.splitlines():
        words = line.split(" => ")[0].split()
        if len(words) < 3:
            continue
        mac, form, rest = words[1], words[2], words[3:]
        option = next((w for w in rest if w not in ("-noreset", "-F")), form)
        if form not in NOT_A_COMPONENT and option not in NOT_A_COMPONENT:
            macs.add(mac)
    return macs


def installed(function, key):
    value = function.get("firmware", {}).get(key, "") if key else "?"
    return value or "none"


def component_texts(row, before):
    texts = []
    for name, _file, version, number in row["components"] if row else []:
        # A qmx column without a target number carries the external PHY.
        phy = name == "qmx" and number == "0"
        key = "extPhy" if phy else INSTALLED_KEY[name]
        texts.append(f"{'PHY' if phy else name} {installed(before, key)} -> {version}")
    return texts


class Run:
    def __init__(self, number, directory, rows):
        self.number = number
        self.status = int((directory / "status").read_text())
        self.before = functions_by_location(json.loads((directory / "before.json").read_text()))
        self.after = functions_by_location(json.loads((directory / "after.json").read_text()))
        log = directory / "tool.log"
        self.programmed = programmed_macs(log.read_text() if log.exists() else "")
        result = directory / "result.xml"
        self.document = ET.parse(result).getroot() if result.exists() else None
        self.rows = rows
        self.verify_status = int((directory / "verify-status").read_text())
        try:
            self.verification = json.loads((directory / "verify.json").read_text())["verification"]
        except (OSError, ValueError, KeyError, TypeError):
            self.verification = None
        self.outcomes = {}  # service name: "updated", "already current" or "failed"

    def adapter_functions(self, location):
        return [(where, f) for where, f in self.before.items()
                if adapter_of(where) == adapter_of(location)]

    def adapter_changed(self, location):
        """Whether the function's adapter had a component written, or
        reports other firmware than before."""
        return any(f.get("mac") in self.programmed or
                   f.get("firmware") != self.after.get(where, {}).get("firmware")
                   for where, f in self.adapter_functions(location))

    def installed_before(self, location):
        """The function's firmware, or that of another function of its
        adapter when the library reports none for it (a disabled one)."""
        candidates = [self.before.get(location, {})]
        candidates += [f for _, f in self.adapter_functions(location)]
        return next((f for f in candidates if "firmware" in f), {})

    def device_line(self, device):
        location = location_of(device)
        name = self.before.get(location, {}).get("serviceName", location)
        family_before = device.find("Application").get("version")
        family_target = device.find("Application/Package").get("version")
        message = device.find("Application/SPStatus/Message")
        code = int(message.get("id"))
        if code != 0:
            outcome = "failed"
        elif family_before != family_target or self.adapter_changed(location):
            outcome = "updated"
        else:
            outcome = "already current"
        self.outcomes[name] = outcome
        versions = [f"family {family_before} -> {family_target}"]
        versions += component_texts(row_for(self.rows, device), self.installed_before(location))
        return (f"  {name:<6} {location:<6} {outcome:<15}  code {code} {text_of(message)}  "
                + ", ".join(versions))

    def report(self):
        """Prints the run's lines; what went wrong, as a list of texts."""
        print(f"Run {self.number}: exit status {self.status}")
        if self.document is None:
            print("  no result document")
            return [f"run {self.number} left no result document"]
        devices = self.document.findall("Device")
        if not devices:
            message = self.document.find("SPStatus/Message")
            print(f"  whole run: code {message.get('id')} {text_of(message)}")
            return [f"run {self.number} ended with code {message.get('id')}"]
        for device in devices:
            print(self.device_line(device))
        taking_part = {location_of(d) for d in devices}
        left = [f.get("serviceName", where) for where, f in self.before.items()
                if where not in taking_part]
        if left:
            print(f"  not in the run (no table row, or not a network adapter): {', '.join(left)}")
        return self.problems() + self.verify()

    def verify(self):
        """Prints what qik_plan --verify found missing; what went wrong."""
        if self.verification is None:
            print(f"  qik_plan --verify ended with exit status {self.verify_status}")
            return [f"run {self.number} could not be verified"]
        missed = [f for f in self.verification["functions"] if not f["verified"]]
        for f in missed:
            name = f["service"] or f["address"]
            for m in f["misses"]:
                image = f" ({m['image']})" if m["image"] else ""
                print(f"  not verified: {name} {m['component']}: {m['installed'] or 'nothing'} "
                      f"installed after the run, the table asks {m['target']}{image}")
            if f["why"]:
                print(f"  not verified: {name}: {f['why']}")
        if missed:
            names = ", ".join(f["service"] or f["address"] for f in missed)
            return [f"run {self.number}: {names} not verified"]
        print(f"  verified: qik_plan --verify finds the {len(self.verification['functions'])} "
              "functions reported as updated installed as the table asks")
        return []

    def problems(self):
        failed = [n for n, o in self.outcomes.items() if o == "failed"]
        problems = [f"run {self.number}: {', '.join(failed)} failed"] if failed else []
        stale = [n for n, o in self.outcomes.items() if o == "updated"]
        if self.number == 2 and stale:
            problems.append(f"run 2 still found {', '.join(stale)} not current")
        if self.status != 0 and not failed:
            problems.append(f"run {self.number} exit status {self.status}")
        return problems


def plan_lines(plan):
    """What qik_plan says run 1 will do, a line per function."""
    if plan["end"]:
        end = plan["end"]
        return [f"plan: the run would end at once with code {end['code']} {end['message']}"
                + (f" ({end['detail']})" if end["detail"] else "")]
    lines = []
    for f in plan["functions"]:
        where = f"{f['service']:<6} {f['bus']}:{f['device']}.{f['function']}"
        commands = sum(1 for step in f["steps"] if step["command"])
        if f["withFunction0"]:
            what = "updated with function 0"
        elif f["outcome"] in ("update", "current"):
            what = f"{f['outcome']:<16} {commands} tool command{'s' if commands != 1 else ''}"
        else:
            what = f"{f['outcome']}: {f['why']}"
        lines.append(f"  plan {where}  {what}")
    s = plan["summary"]
    lines.append(f"plan: {s['update']} functions would be updated, {s['current']} current, "
                 f"{s['leftAlone']} left alone, {s['unknown']} unknown; "
                 f"{'a reboot is needed' if s['rebootNeeded'] else 'no reboot is needed'}")
    return lines


def main():
    if sys.argv[1] == "--plan":
        print("\n".join(plan_lines(json.loads(Path(sys.argv[2]).read_text()))))
        return 0
    directory = Path(sys.argv[1])
    rows = table_rows((directory / "table.txt").read_text())
    runs = [Run(n, directory / f"run{n}", rows) for n in (1, 2)]
    problems = [problem for run in runs for problem in run.report()]
    if problems:
        print("demo: FAIL: " + "; ".join(problems))
        return 1
    outcomes = list(runs[0].outcomes.values())
    print(f"demo: PASS: run 1 ended with code 0 on all {len(outcomes)} adapter functions "
          f"({outcomes.count('updated')} updated, all verified), run 2 found them all current")
    return 0


if __name__ == "__main__":
    sys.exit(main())
