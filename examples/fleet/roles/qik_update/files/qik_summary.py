#!/usr/bin/env python3
"""Writes the fleet summary, summary.csv and summary.md, into a results
folder of the rollout: one row per host and adapter, totals by result code,
the hosts that need a person and the hosts for a reboot window. Every host
of the rollout appears, whether or not it was reached.

usage: qik_summary.py RESULTS_DIR
"""

import csv
import json
import os
import sys
from collections import Counter

COLUMNS = ["host", "state", "location", "vendor_id", "device_id", "subvendor_id", "subdevice_id",
           "display", "installed", "package", "code", "message", "exit_status", "reboot_required"]

# The states a host can be left in besides those of its result document.
NOT_RUN = {"state": "not-run", "detail": "the rollout stopped before this host"}
INTERRUPTED = {"state": "interrupted",
               "detail": "started, but no outcome came back: lost midway or the rollout was cut short"}


def host_status(results_dir, host):
    try:
        with open(os.path.join(results_dir, host, "status.json"), encoding="utf-8") as f:
            status = json.load(f)
    except FileNotFoundError:
        return dict(NOT_RUN)
    return dict(INTERRUPTED) if status.get("state") == "started" else status


def rows_for(host, status):
    """One row per adapter; a host without adapters gets one row saying why."""
    base = {"host": host, "state": status["state"], "exit_status": status.get("rc", ""),
            "reboot_required": int(bool(status.get("reboot_required")))}
    adapters = status.get("adapters") or []
    if adapters:
        return [dict(base, **{k: a[k] for k in COLUMNS if k in a}) for a in adapters]
    whole = status.get("whole_run") or {}
    return [dict(base, code=whole.get("code", ""), message=whole.get("message") or status.get("detail", ""))]


# Past this a Markdown cell is cut; summary.csv and status.json keep it all.
CELL_WIDTH = 160


def _cell(value):
    text = " ".join(str(value).split()).replace("|", "\\|")
    return text if len(text) <= CELL_WIDTH else text[:CELL_WIDTH - 3] + "..."


def _table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(_cell(v) for v in row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def markdown(rows, statuses):
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
    reboot = [h for h, s in statuses.items() if s.get("reboot_required") and not s.get("rebooted")]
    problems = [[h, s["state"], s.get("detail", "")] for h, s in statuses.items()
                if s["state"] not in ("ok", "no-supported-adapters")]

    out = ["# Fleet rollout summary\n",
           "%d hosts: %s.\n" % (len(statuses), ", ".join("%d %s" % (n, s) for s, n in sorted(by_state.items()))),
           _table(["host", "state", "location", "IDs", "adapter", "installed", "package", "code",
                   "message", "exit status", "reboot"], adapter_rows),
           "## Totals by result code\n",
           _table(["code", "message", "rows"], [[c, m, n] for (c, m), n in sorted(by_code.items())]),
           "## Hosts that did not end ok\n",
           _table(["host", "state", "detail"], problems) if problems else "none\n",
           "## Needs a person (not run again)\n",
           _table(["host", "why"], needs_person) if needs_person else "none\n",
           "## For a reboot window\n",
           "".join("- %s\n" % h for h in reboot) or "none\n"]
    return "\n".join(out)


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    results_dir = argv[1]
    with open(os.path.join(results_dir, "rollout.json"), encoding="utf-8") as f:
        hosts = json.load(f)["hosts"]
    statuses = {host: host_status(results_dir, host) for host in hosts}
    rows = [row for host in hosts for row in rows_for(host, statuses[host])]
    with open(os.path.join(results_dir, "summary.csv"), "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=COLUMNS)
        writer.writeheader()
        writer.writerows(rows)
    with open(os.path.join(results_dir, "summary.md"), "w", encoding="utf-8") as f:
        f.write(markdown(rows, statuses))
    print("%d hosts, %d rows: %s" % (len(hosts), len(rows), os.path.join(results_dir, "summary.md")))


if __name__ == "__main__":
    main(sys.argv)
