#!/usr/bin/env python3
"""Writes the fleet summary (summary.csv, summary.md) from the per-host
status files the rollout left in the results folder. Every host named on the
command line appears, whether or not it produced a result."""

import csv
import json
import os
import sys
from collections import Counter

COLUMNS = ["host", "state", "location", "vendor_id", "device_id", "subvendor_id",
           "subdevice_id", "display", "installed", "package", "code", "message", "exit_status",
           "reboot_required"]

NOT_RUN = {"state": "not-run", "detail": "rollout stopped before this host"}
NO_RESULT = {"state": "unreachable-or-failed-early",
             "detail": "no result: host unreachable or failed before the update ran"}


def host_status(results_dir, host):
    path = os.path.join(results_dir, host, "status.json")
    if not os.path.exists(path):
        return dict(NOT_RUN)
    with open(path, encoding="utf-8") as f:
        status = json.load(f)
    return dict(NO_RESULT) if status.get("state") == "started" else status


def rows_for(host, status):
    base = {"host": host, "state": status.get("state", ""), "exit_status": status.get("rc", ""),
            "reboot_required": int(bool(status.get("reboot_required")))}
    adapters = status.get("adapters") or []
    if not adapters:
        whole = status.get("whole_run") or {}
        return [dict(base, code=whole.get("code", ""),
                     message=whole.get("message") or status.get("detail", ""))]
    return [dict(base, **{k: a.get(k, "") for k in COLUMNS if k in a}) for a in adapters]


def write_markdown(path, rows, totals, reboot):
    with open(path, "w", encoding="utf-8") as f:
        f.write("# Fleet rollout summary\n\n")
        f.write("| " + " | ".join(COLUMNS) + " |\n|" + "---|" * len(COLUMNS) + "\n")
        for row in rows:
            cells = [str(row.get(c, "")).replace("|", "\\|") for c in COLUMNS]
            f.write("| " + " | ".join(cells) + " |\n")
        f.write("\n## Totals by result\n\n| result | count |\n|---|---|\n")
        for key, count in sorted(totals.items()):
            f.write("| %s | %d |\n" % (key, count))
        f.write("\n## Hosts for a reboot window\n\n")
        f.write("".join("- %s\n" % h for h in reboot) or "none\n")


def main(argv):
    results_dir, hosts = argv[1], argv[2:]
    rows, totals, reboot = [], Counter(), []
    for host in hosts:
        status = host_status(results_dir, host)
        host_rows = rows_for(host, status)
        rows.extend(host_rows)
        for row in host_rows:
            code = row.get("code", "")
            totals["code %s" % code if code != "" else row["state"]] += 1
        if status.get("reboot_required"):
            reboot.append(host)
    os.makedirs(results_dir, exist_ok=True)
    with open(os.path.join(results_dir, "summary.csv"), "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=COLUMNS, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)
    write_markdown(os.path.join(results_dir, "summary.md"), rows, totals, reboot)
    print("summary of %d hosts, %d rows: %s" % (len(hosts), len(rows),
                                                 os.path.join(results_dir, "summary.md")))


if __name__ == "__main__":
    main(sys.argv)
