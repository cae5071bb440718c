#!/usr/bin/env python3
"""Writes the fleet summary, summary.csv and summary.md, into a results
folder of the rollout: one row per host and adapter, totals by result code,
the hosts that need a person, the hosts whose run qik_plan --verify did not
verify, and the hosts for a reboot window (kept in
reboots.json from one rollout to the next until each host has rebooted);
after a run in check mode, what a run would do on each host, from its plan.
Every host of the rollout appears, whether or not it was reached. Prints, as
JSON, the summary's path and, when the batch that ended last passed the
failure limit before every host was run, why the rollout stops there. With
QIK_SUMMARY_NOTE naming a file, also writes there the summary's first lines
and its path, for the rollout script to print at its end.

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
           "display", "installed", "package", "code", "message", "exit_status", "reboot_required", "verified"] \
    + ["plan_" + count for count in PLAN_COUNTS] + ["plan_updates"]

# The states a host can be left in besides those of its result document.
NOT_RUN = {"state": "not-run", "detail": "the rollout stopped before this host"}
INTERRUPTED = {"state": "interrupted",
               "detail": "started, but no outcome came back: lost midway or the rollout was cut short"}


def _read_json(path, default):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return default


def _write_json(path, value):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(value, f, indent=1)


def count(n, noun):
    return "%d %s%s" % (n, noun, "" if n == 1 else "s")


def start(results_dir, run):
    """rollout.json for a new run: its hosts after those of the rollout it
    continues, the batch sizes and the failure limit."""
    hosts = list(run["hosts"])
    if run["limited"]:
        earlier = _read_json(os.path.join(results_dir, "rollout.json"), {"hosts": []})["hosts"]
        hosts = earlier + [h for h in hosts if h not in earlier]
    record = {"hosts": hosts, "run": run["hosts"], "serial": run["serial"],
              "max_fail_percentage": run["max_fail_percentage"], "check_mode": run.get("check_mode", False)}
    os.makedirs(results_dir, exist_ok=True)
    _write_json(os.path.join(results_dir, "rollout.json"), record)


def host_status(results_dir, host):
    status = _read_json(os.path.join(results_dir, host, "status.json"), NOT_RUN)
    return dict(INTERRUPTED) if status.get("state") == "started" else dict(status)


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
            "reboot_required": int(bool(status.get("reboot_required"))), "verified": status.get("verified", "")}
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

# The hosts waiting for a reboot since their firmware changed, by the boot
# id each had then, kept from one rollout to the next.
REBOOTS = "reboots.json"

# Past this a Markdown cell is cut; summary.csv and status.json keep it all.
CELL_WIDTH = 160


def _cell(value):
    text = " ".join(str(value).split())
    if len(text) > CELL_WIDTH:
        # Between two words, unless the first word alone is too long.
        head = text[:CELL_WIDTH - len(" ...") + 1]
        text = (head.rsplit(" ", 1)[0] if " " in head else head[:-1]) + " ..."
    return text.replace("|", "\\|")


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
        return "%s of the batch from %s failed" % ("the one host" if failed == 1 else "all %d hosts" % failed, batch[0])
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
                      "%s on %s would be updated.\n" % (count(sum(p["update"] for p in made), "adapter function"),
                                                        count(sum(1 for p in made if p["update"]), "host")),
                      _table(["host", "update", "current", "left alone", "unknown", "would update", "reboot window",
                              "note"], rows)])


def pending_reboots(earlier, statuses):
    """The hosts waiting for a reboot, each with the boot id it had when its
    firmware changed ({host: boot id}): those of earlier rollouts (earlier)
    not seen since with another boot id, and those whose firmware this run
    changed and whose result asks for a reboot the play did not do."""
    pending = dict(earlier)
    for host, status in statuses.items():
        boot = status.get("boot_id")
        if status.get("rebooted") or (boot and pending.get(host, boot) != boot):
            pending.pop(host, None)
        if status.get("firmware_changed") and status.get("reboot_required") and not status.get("rebooted"):
            pending[host] = boot
    return pending


def reboot_window(statuses, rollout, pending):
    """The lines of the reboot window; in check mode, the hosts whose plan
    updates something."""
    if rollout.get("check_mode"):
        return ["- %s" % h for h, s in statuses.items() if (made_plan(s) or {}).get("reboot_needed")]
    return ["- %s: firmware changed %s" % (h, "in this run" if h in rollout["run"] and
                                           statuses[h].get("firmware_changed") else
                                           "by an earlier run, not rebooted since") for h in pending]


def headline(statuses, rollout, stopped):
    """The counts of hosts by state and the progress of the rollout."""
    by_state = Counter(s["state"] for s in statuses.values())
    changed = sum(1 for s in statuses.values() if s.get("firmware_changed"))
    not_run = sum(1 for h in rollout["run"] if statuses[h]["state"] == "not-run")
    if stopped:
        progress = " Stopped: %s; %s not run." % (stopped, count(not_run, "host"))
    elif not_run:
        progress = " %s not run yet: the rollout goes on, or was cut short." % count(not_run, "host")
    else:
        progress = ""
    return ["%s: %s; firmware changed on %d.\n"
            % (count(len(statuses), "host"), ", ".join("%d %s" % (n, s) for s, n in sorted(by_state.items())), changed),
            "Batches %s, failure limit %s%%.%s\n" % (json.dumps(rollout["serial"]), rollout["max_fail_percentage"],
                                                     progress)]


def markdown(rows, statuses, rollout, stopped, reboot):
    """The summary for people: the IDs of an adapter on one line, and the
    exit status of a completed run in hexadecimal, where its bits are read.
    In check mode, where nothing ran, each host's plan instead of its
    adapters and result codes."""
    def ids(r):
        return "%s:%s %s:%s" % (r["vendor_id"], r["device_id"], r["subvendor_id"], r["subdevice_id"]) \
            if r.get("vendor_id") else ""

    def exit_status(r):
        return "0x%02x" % r["exit_status"] if r.get("location") else r["exit_status"]

    adapter_rows = [[r["host"], r["state"], r.get("location", ""), ids(r), r.get("display", ""),
                     r.get("installed", ""), r.get("package", ""), r["code"], r["message"],
                     exit_status(r), r["reboot_required"], r["verified"]] for r in rows]
    by_code = Counter((r["code"], r["message"]) for r in rows if r["code"] != "")
    needs_person = [[h, "; ".join(s["needs_person"])] for h, s in statuses.items() if s.get("needs_person")]
    not_verified = [[h, "; ".join(s["not_verified"])] for h, s in statuses.items() if s.get("not_verified")]
    problems = [[h, s["state"], s.get("detail", "")] for h, s in statuses.items()
                if s["state"] not in NOTHING_WRONG]
    if rollout.get("check_mode"):
        results = [plans(statuses)]
    else:
        results = [_table(["host", "state", "location", "IDs", "adapter", "installed", "package", "code",
                           "message", "exit status", "reboot", "verified"], adapter_rows),
                   "## Totals by result code\n",
                   _table(["code", "message", "rows"], [[c, m, n] for (c, m), n in sorted(by_code.items())]),
                   "## Not verified (the run reported success; qik_plan --verify reads otherwise)\n",
                   _table(["host", "what falls short"], not_verified) if not_verified else "none\n"]
    out = ["# Fleet rollout summary\n", *headline(statuses, rollout, stopped),
           "Texts longer than %d characters end in \"...\" here; summary.csv and each HOST/status.json hold "
           "them whole.\n" % CELL_WIDTH, *results,
           "## Hosts that did not end ok\n",
           _table(["host", "state", "detail"], problems) if problems else "none\n",
           "## Needs a person (not run again)\n",
           _table(["host", "why"], needs_person) if needs_person else "none\n",
           "## For a reboot window\n",
           "".join(line + "\n" for line in reboot) or "none\n"]
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
    pending = {}
    if not rollout.get("check_mode"):
        reboots = os.path.join(results_dir, REBOOTS)
        pending = pending_reboots(_read_json(reboots, {}), statuses)
        _write_json(reboots, pending)
    summary = os.path.join(results_dir, "summary.md")
    with open(summary, "w", encoding="utf-8") as f:
        f.write(markdown(rows, statuses, rollout, stopped, reboot_window(statuses, rollout, pending)))
    note = os.environ.get("QIK_SUMMARY_NOTE")
    if note:
        with open(note, "w", encoding="utf-8") as f:
            f.write("".join(headline(statuses, rollout, stopped)) + "Fleet summary: %s\n" % summary)
    print(json.dumps({"summary": summary, "hosts": len(hosts), "rows": len(rows), "stopped": stopped}))


if __name__ == "__main__":
    main(sys.argv)
