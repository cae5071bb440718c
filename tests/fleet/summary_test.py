"""The fleet summary written from the per-host records of a rollout."""

import contextlib
import csv
import io
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
    "old-library": {"state": "whole-run-error", "rc": 0, "detail": "6: Dependency failure. Library out of date.",
                    "whole_run": {"code": 6, "message": "Dependency failure. Library out of date."}},
    "bad-table": {"state": "bad-table", "detail": "configuration table refused, nothing programmed: " + "x" * 300},
    "cut-short": {"state": "started"},
}


class Summary(unittest.TestCase):
    """What the rollouts of tests/fleet do not reach: hosts cut short or
    rebooted, and cells that would break the Markdown table."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        results = self.dir.name
        with open(os.path.join(results, "rollout.json"), "w", encoding="utf-8") as f:
            json.dump({"hosts": list(STATUSES) + ["never-reached"]}, f)
        for host, status in STATUSES.items():
            os.makedirs(os.path.join(results, host))
            with open(os.path.join(results, host, "status.json"), "w", encoding="utf-8") as f:
                json.dump(dict(status, host=host), f)
        with contextlib.redirect_stdout(io.StringIO()):
            qik_summary.main(["qik_summary.py", results])
        with open(os.path.join(results, "summary.csv"), encoding="utf-8") as f:
            self.rows = list(csv.DictReader(f))
        with open(os.path.join(results, "summary.md"), encoding="utf-8") as f:
            self.md = f.read()

    def tearDown(self):
        self.dir.cleanup()

    def test_every_host_appears(self):
        self.assertEqual([(r["host"], r["state"], r["code"]) for r in self.rows], [
            ("updated", "ok", "0"), ("updated", "ok", "0"), ("rebooted", "ok", "0"),
            ("old-library", "whole-run-error", "6"), ("bad-table", "bad-table", ""),
            ("cut-short", "interrupted", ""), ("never-reached", "not-run", "")])
        self.assertEqual(self.rows[3]["message"], "Dependency failure. Library out of date.")
        self.assertEqual(self.rows[4]["message"], STATUSES["bad-table"]["detail"])
        self.assertIn("6 hosts: 1 bad-table, 1 interrupted, 1 not-run, 2 ok, 1 whole-run-error.", self.md)

    def test_reboot_window_leaves_out_rebooted_hosts(self):
        self.assertEqual(self.md.split("## For a reboot window\n", 1)[1].split(), ["-", "updated"])

    def test_markdown_cells_stay_in_their_column(self):
        lines = self.md.splitlines()
        updated = [line for line in lines if line.startswith("| updated |")]
        self.assertEqual(len(updated), 2)
        self.assertIn("| LOM \\| quad |", updated[0])
        bad_table = [line for line in lines if line.startswith("| bad-table | bad-table |")]
        self.assertTrue(bad_table)
        self.assertTrue(all(len(line) < 400 and "..." in line for line in bad_table))


if __name__ == "__main__":
    unittest.main()
