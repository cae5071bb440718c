#!/usr/bin/env python3
"""Writes the fleet summary, summary.csv and summary.md, into a results
folder of the rollout: one row per host and adapter, totals by result code,
the hosts that need a person and the hosts for a reboot window; after a run
in check mode, what a run would do on each host, from its plan. Every host
of the rollout appears, whether or not it was reached. Prints, as JSON, the
summary's path and, when the batch that ended last passed the failure limit
before every host was run, why the rollout stops there.

With --start, records the hosts of a new run instead, read as JSON from
standard input ({"hosts", "limited", "serial", "max_fail_percentage",
"check_mode"}): a run limited to some hosts (--limit) keeps the other hosts
of the rollout.

usage: qik_summary.py [--start] RESULTS_DIR
"""

import csv
import json
import os
import sys
from collections import Counter

# What a host's plan counts: the adapter functions a run would update, find
# current, leave alone, or cannot tell about.
PLAN_COUNTS = ["update", "current", "left_alone", "unknown"]
COLUMNS = ["host", "state", "location", "vendor_id", "device_id", "subvendor_id", "subdevice_id",
           "display", "installed", "package", "code", "message", "exit_status", "reboot_required"] \
    + ["plan_" + count for count in PLAN_COUNTS] + ["plan_updates"]

# The states a host can be left in besides those of its result document.
NOT_RUN = {"state": "not-run", "detail": "the rollout stopped before this host"}
INTERRUPTED = {"state": "interrupted",
               "detail": "started, but no outcome came back: lost midway or the rollout was cut short"}


def start(results_dir, run):
    """rollout.json for a new run: its hosts after those of the rollout it
    continues, the batch sizes and the failure limit."""
    hosts = list(run["hosts"])
    if run["limited"]:
        try:
            with open(os.path.join(results_dir, "rollout.json"), encoding="utf-8") as f:
                earlier = json.load(f)["hosts"]
        except FileNotFoundError:
            earlier = []
        hosts = earlier + [h for h in hosts if h not in earlier]
    record = {"hosts": hosts, "run": run["hosts"], "serial": run["serial"],
              "max_fail_percentage": run["max_fail_percentage"], "check_mode": run.get("check_mode", False)}
    os.makedirs(results_dir, exist_ok=True)
    with open(os.path.join(results_dir, "rollout.json"), "w", encoding="utf-8") as f:
        json.dump(record, f, indent=1)


def host_status(results_dir, host):
    try:
        with open(os.path.join(results_dir, host, "status.json"), encoding="utf-8") as f:
            status = json.load(f)
    except FileNotFoundError:
        return dict(NOT_RUN)
    return dict(INTERRUPTED) if status.get("state") == "started" else status


def made_plan(status):
    """The host's plan (check mode), or None when none was made."""
    plan = status.get("plan") or {}
    return plan if "update" in plan else None


def rows_for(host, status):
    """One row per adapter; a host without adapters gets one row saying why,
    with its plan's counts in check mode and the code the run would end with
    at once."""
    rc = status.get("rc")
    base = {"host": host, "state": status["state"], "exit_status": "" if rc is None else rc,
            "reboot_required": int(bool(status.get("reboot_required")))}
    adapters = status.get("adapters") or []
    if adapters:
        return [dict(base, **{k: a[k] for k in COLUMNS if k in a}) for a in adapters]
    whole = status.get("whole_run") or {}
    row = dict(base, code=whole.get("code", ""), message=whole.get("message") or status.get("detail", ""))
    plan = made_plan(status)
    if plan:
        # The detail, the row's message, ends with what the plan says.
        row.update({"plan_" + count: plan[count] for count in PLAN_COUNTS}, plan_updates=" ".join(plan["updates"]),
                   code=(plan["end"] or {}).get("code", ""))
    return [row]


# States with nothing for anyone to look at: besides a good update, a host
# with no adapter of the table, and hosts that were only checked (check mode,
# or --tags preflight).
NOTHING_WRONG = ("ok", "no-supported-adapters", "planned", "preflight-passed")

# Past this a Markdown cell is cut; summary.csv and status.json keep it all.
CELL_WIDTH = 160


def _cell(value):
    text = " ".join(str(value).split()).replace("|", "\\|")
    return text if len(text) <= CELL_WIDTH else text[:CELL_WIDTH - 3] + "..."


def _table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(_cell(v) for v in row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def stop_reason(rollout, statuses):
    """Why the rollout stops after the batch that ended last, or None while
    it goes on or when it has run every host. Ansible ends the play when
    every host of a batch failed; the play ends it too when the failed share
    is more than the limit (tasks/main.yml)."""
    run = rollout["run"]
    ended = [h for h in run if statuses[h]["state"] not in ("not-run", "interrupted")]
    if not ended or ended[-1] == run[-1]:
        return None
    batch = [h for h in run if statuses[h].get("batch") == statuses[ended[-1]].get("batch")]
    failed = sum(1 for h in batch if statuses[h].get("failed"))
    limit = rollout["max_fail_percentage"]
    if failed == len(batch):
        return "all %d hosts of the batch from %s failed" % (failed, batch[0])
    if failed * 100 > limit * len(batch):
        return "%d of %d hosts of the batch from %s failed (%d%%), more than the failure limit of %d%%" \
            % (failed, len(batch), batch[0], failed * 100 // len(batch), limit)
    return None


def plans(statuses):
    """What a run would do on each host, from its plan; why a host has none."""
    rows = []
    for host, status in statuses.items():
        plan = made_plan(status)
        if plan is None:
            why = (status.get("plan") or {}).get("error") or "%s: %s" % (status["state"], status.get("detail", ""))
            rows.append([host, "", "", "", "", "", "", "no plan: " + why])
            continue
        end = plan["end"]
        notes = ["the run would end at once with %d: %s%s" % (end["code"], end["message"],
                                                              " (%s)" % end["detail"] if end.get("detail") else "")
                 ] if end else []
        rows.append([host] + [plan[count] for count in PLAN_COUNTS] + [
            " ".join(plan["updates"]), "yes" if plan["reboot_needed"] else "no",
            "; ".join(notes + status.get("needs_person", []))])
    made = [p for p in map(made_plan, statuses.values()) if p]
    return "\n".join(["## What a run would do (check mode, from each host's plan)\n",
                      "%d adapter functions on %d hosts would be updated.\n"
                      % (sum(p["update"] for p in made), sum(1 for p in made if p["update"])),
                      _table(["host", "update", "current", "left alone", "unknown", "would update", "reboot window",
                              "note"], rows)])


def markdown(rows, statuses, rollout, stopped):
    """The summary for people: the IDs of an adapter on one line, and the
    exit status of a completed run in hexadecimal, where its bits are read."""
    def ids(r):
        return "%s:%s %s:%s" % (r["vendor_id"], r["device_id"], r["subvendor_id"], r["subdevice_id"]) \
            if r.get("vendor_id") else ""

    def exit_status(r):
        return "0x%02x" % r["exit_status"] if r.get("location") else r["exit_status"]

    adapter_rows = [[r["host"], r["state"], r.get("location", ""), ids(r), r.get("display", ""),
                     r.get("installed", ""), r.get("package", ""), r["code"], r["message"],
                     exit_status(r), r["reboot_required"]] for r in rows]
    by_code = Counter((r["code"], r["message"]) for r in rows if r["code"] != "")
    by_state = Counter(s["state"] for s in statuses.values())
    needs_person = [[h, "; ".join(s["needs_person"])] for h, s in statuses.items() if s.get("needs_person")]
    changed = [h for h, s in statuses.items() if s.get("firmware_changed")]
    # A host whose firmware was already current has nothing new to start;
    # in check mode, a host whose plan updates nothing.
    reboot = [h for h in changed if statuses[h].get("reboot_required") and not statuses[h].get("rebooted")] \
        + [h for h, s in statuses.items() if (made_plan(s) or {}).get("reboot_needed")]
    not_run = [h for h in rollout["run"] if statuses[h]["state"] == "not-run"]
    if stopped:
        progress = " Stopped: %s; %d hosts not run." % (stopped, len(not_run))
    elif not_run:
        progress = " %d hosts not run yet: the rollout goes on, or was cut short." % len(not_run)
    else:
        progress = ""
    problems = [[h, s["state"], s.get("detail", "")] for h, s in statuses.items()
                if s["state"] not in NOTHING_WRONG]

    out = ["# Fleet rollout summary\n",
           "%d hosts: %s; firmware changed on %d.\n"
           % (len(statuses), ", ".join("%d %s" % (n, s) for s, n in sorted(by_state.items())), len(changed)),
           "Batches %s, failure limit %s%%.%s\n" % (json.dumps(rollout["serial"]), rollout["max_fail_percentage"], progress),
           # Nothing ran in check mode: no result codes to total, each
           # host's plan instead, first.
           *([plans(statuses)] if rollout.get("check_mode") else []),
           _table(["host", "state", "location", "IDs", "adapter", "installed", "package", "code",
                   "message", "exit status", "reboot"], adapter_rows),
           *([] if rollout.get("check_mode") else
             ["## Totals by result code\n",
              _table(["code", "message", "rows"], [[c, m, n] for (c, m), n in sorted(by_code.items())])]),
           "## Hosts that did not end ok\n",
           _table(["host", "state", "detail"], problems) if problems else "none\n",
           "## Needs a person (not run again)\n",
           _table(["host", "why"], needs_person) if needs_person else "none\n",
           "## For a reboot window\n",
           "".join("- %s\n" % h for h in reboot) or "none\n"]
    return "\n".join(out)


def main(argv):
    if len(argv) == 3 and argv[1] == "--start":
        start(argv[2], json.load(sys.stdin))
        return
    if len(argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    results_dir = argv[1]
    with open(os.path.join(results_dir, "rollout.json"), encoding="utf-8") as f:
        rollout = json.load(f)
    hosts = rollout["hosts"]
    statuses = {host: host_status(results_dir, host) for host in hosts}
    stopped = stop_reason(rollout, statuses)
    rows = [row for host in hosts for row in rows_for(host, statuses[host])]
    with open(os.path.join(results_dir, "summary.csv"), "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=COLUMNS)
        writer.writeheader()
        writer.writerows(rows)
    with open(os.path.join(results_dir, "summary.md"), "w", encoding="utf-8") as f:
        f.write(markdown(rows, statuses, rollout, stopped))
    print(json.dumps({"summary": os.path.join(results_dir, "summary.md"), "hosts": len(hosts), "rows": len(rows),
                      "stopped": stopped}))


if __name__ == "__main__":
    main(sys.argv)
