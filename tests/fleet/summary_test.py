"""The fleet summary written from the per-host records of a rollout."""

import csv
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples", "fleet",
                                "roles", "qik_update", "files"))
import qik_summary  # noqa: E402


def adapter(location, code, message):
    return {"location": location, "vendor_id": "1f3d", "device_id": "7a01", "subvendor_id": "1c5a",
            "subdevice_id": "5b01", "display": "LOM | quad", "installed": "7.8.2", "package": "7.10.3",
            "code": code, "message": message}


STATUSES = {
    "updated": {"state": "ok", "rc": 0, "reboot_required": True, "needs_person": [],
                "adapters": [adapter("1:0.0", 0, "Update success."), adapter("1:0.1", 0, "Update success.")]},
    "rebooted": {"state": "ok", "rc": 0, "reboot_required": True, "rebooted": True, "needs_person": [],
                 "adapters": [adapter("1:0.0", 0, "Update success.")]},
    "locked": {"state": "needs-person", "rc": 4, "reboot_required": True,
               "needs_person": ["write protect or system lockdown"],
               "adapters": [adapter("1:0.0", 5, "Update failure. Write Protect or System Lockdown enabled.")]},
    "old-library": {"state": "whole-run-error", "rc": 0, "detail": "6: Dependency failure. Library out of date.",
                    "whole_run": {"code": 6, "message": "Dependency failure. Library out of date."}},
    "bad-table": {"state": "bad-table", "detail": "configuration table refused, nothing programmed: " + "x" * 300},
    "cut-short": {"state": "started"},
}


class Summary(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.results = self.dir.name
        self.hosts = list(STATUSES) + ["never-reached"]
        with open(os.path.join(self.results, "rollout.json"), "w", encoding="utf-8") as f:
            json.dump({"hosts": self.hosts}, f)
        for host, status in STATUSES.items():
            os.makedirs(os.path.join(self.results, host))
            with open(os.path.join(self.results, host, "status.json"), "w", encoding="utf-8") as f:
                json.dump(dict(status, host=host), f)
        qik_summary.main(["qik_summary.py", self.results])
        with open(os.path.join(self.results, "summary.csv"), encoding="utf-8") as f:
            self.rows = list(csv.DictReader(f))
        with open(os.path.join(self.results, "summary.md"), encoding="utf-8") as f:
            self.md = f.read()

    def tearDown(self):
        self.dir.cleanup()

    def section(self, title):
        return self.md.split("## " + title + "\n", 1)[1].split("\n## ", 1)[0]

    def table_rows(self, title):
        return [line for line in self.section(title).splitlines() if line.startswith("| ")][1:]

    def test_every_host_appears(self):
        self.assertEqual([(r["host"], r["state"], r["code"]) for r in self.rows], [
            ("updated", "ok", "0"), ("updated", "ok", "0"), ("rebooted", "ok", "0"),
            ("locked", "needs-person", "5"), ("old-library", "whole-run-error", "6"),
            ("bad-table", "bad-table", ""), ("cut-short", "interrupted", ""), ("never-reached", "not-run", "")])
        by_host = {r["host"]: r for r in self.rows}
        self.assertEqual(by_host["old-library"]["message"], "Dependency failure. Library out of date.")
        self.assertEqual(by_host["never-reached"]["message"], "the rollout stopped before this host")
        self.assertEqual(len(by_host["bad-table"]["message"]), len(STATUSES["bad-table"]["detail"]))
        self.assertIn("7 hosts: 1 bad-table, 1 interrupted, 1 needs-person, 1 not-run, 2 ok, 1 whole-run-error.",
                      self.md)

    def test_totals_and_lists(self):
        self.assertEqual(self.table_rows("Totals by result code"), [
            "| 0 | Update success. | 3 |",
            "| 5 | Update failure. Write Protect or System Lockdown enabled. | 1 |",
            "| 6 | Dependency failure. Library out of date. | 1 |"])
        self.assertIn("| locked | write protect or system lockdown |", self.section("Needs a person (not run again)"))
        self.assertEqual(self.section("For a reboot window").split(), ["-", "updated", "-", "locked"])
        self.assertEqual([line.split(" | ")[0] for line in self.table_rows("Hosts that did not end ok")],
                         ["| locked", "| old-library", "| bad-table", "| cut-short", "| never-reached"])

    def test_markdown_cells_stay_in_their_column(self):
        table = [line for line in self.md.splitlines() if line.startswith("| updated |")]
        self.assertEqual(len(table), 2)
        self.assertIn("LOM \\| quad", table[0])
        self.assertIn("0x00", table[0])
        long_cell = [line for line in self.md.splitlines() if line.startswith("| bad-table | bad-table |")]
        self.assertTrue(all(len(line) < 400 and "..." in line for line in long_cell))


if __name__ == "__main__":
    unittest.main()
