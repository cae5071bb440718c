"""The fleet summary written from the per-host records of a rollout."""

import contextlib
import csv
import io
import json
import os
import sys
import tempfile
import unittest
import unittest.mock

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples", "fleet",
                                "roles", "qik_update", "files"))
import qik_summary  # noqa: E402


def adapter(location, code, message):
    return {"location": location, "vendor_id": "1f3d", "device_id": "7a01", "subvendor_id": "1c5a",
            "subdevice_id": "5b01", "display": "LOM | quad", "installed": "7.8.2", "package": "7.10.3",
            "code": code, "message": message}


STATUSES = {
    "updated": {"state": "ok", "rc": 0, "reboot_required": True, "firmware_changed": True, "needs_person": [],
                "adapters": [adapter("1:0.0", 0, "Update success."), adapter("1:0.1", 0, "Update success.")]},
    "rebooted": {"state": "ok", "rc": 0, "reboot_required": True, "firmware_changed": True, "rebooted": True,
                 "needs_person": [], "adapters": [adapter("1:0.0", 0, "Update success.")]},
    "current": {"state": "ok", "rc": 0, "reboot_required": True, "firmware_changed": False, "needs_person": [],
                "adapters": [adapter("1:0.0", 0, "Update success.")]},
    "old-library": {"state": "whole-run-error", "rc": 0, "detail": "6: Dependency failure. Library out of date.",
                    "whole_run": {"code": 6, "message": "Dependency failure. Library out of date."}},
    "bad-table": {"state": "bad-table", "detail": "configuration table refused, nothing programmed: " + "x" * 300},
    "cut-short": {"state": "started"},
}


def write_statuses(results, statuses):
    for host, status in statuses.items():
        os.makedirs(os.path.join(results, host), exist_ok=True)
        with open(os.path.join(results, host, "status.json"), "w", encoding="utf-8") as f:
            json.dump(dict(status, host=host), f)


def summarize(results):
    with contextlib.redirect_stdout(io.StringIO()) as out:
        qik_summary.main(["qik_summary.py", results])
    with open(os.path.join(results, "summary.csv"), encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    with open(os.path.join(results, "summary.md"), encoding="utf-8") as f:
        md = f.read()
    return rows, md, json.loads(out.getvalue())["stopped"]


def reboot_window(md):
    """The hosts listed for a reboot window."""
    return [line.split()[1].rstrip(":") for line in md.split("## For a reboot window\n", 1)[1].splitlines()
            if line.startswith("- ")]


def write_results(results, statuses, limit=20, check_mode=False):
    """A results folder as a run of the rollout leaves it, with a host that
    it never reached, and its summary: (rows, summary.md, why it stopped)."""
    qik_summary.start(results, {"hosts": list(statuses) + ["never-reached"], "limited": False, "serial": [1, 2],
                                "max_fail_percentage": limit, "check_mode": check_mode})
    write_statuses(results, statuses)
    return summarize(results)


class Summary(unittest.TestCase):
    """What the rollouts of tests/fleet do not reach: hosts cut short or
    rebooted, cells that would break the Markdown table, and every way a
    batch can stop a rollout."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.results = self.dir.name
        self.rows, self.md, _ = write_results(self.results, STATUSES)

    def tearDown(self):
        self.dir.cleanup()

    def test_every_host_appears(self):
        self.assertEqual([(r["host"], r["state"], r["code"]) for r in self.rows], [
            ("updated", "ok", "0"), ("updated", "ok", "0"), ("rebooted", "ok", "0"), ("current", "ok", "0"),
            ("old-library", "whole-run-error", "6"), ("bad-table", "bad-table", ""),
            ("cut-short", "interrupted", ""), ("never-reached", "not-run", "")])
        self.assertEqual(self.rows[4]["message"], "Dependency failure. Library out of date.")
        self.assertEqual(self.rows[5]["message"], STATUSES["bad-table"]["detail"])
        self.assertIn("7 hosts: 1 bad-table, 1 interrupted, 1 not-run, 3 ok, 1 whole-run-error; "
                      "firmware changed on 2.\n", self.md)
        self.assertIn("Batches [1, 2], failure limit 20%. 1 host not run yet", self.md)

    def test_reboot_window_only_for_new_firmware_not_yet_started(self):
        self.assertEqual(reboot_window(self.md), ["updated"])

    def test_reboot_window_until_the_host_reboots(self):
        changed = {"state": "ok", "firmware_changed": True, "reboot_required": True, "needs_person": []}
        current = dict(changed, firmware_changed=False)
        runs = [  # the hosts of the run and their statuses, the reboot window after it
            ({"a": dict(changed, boot_id="1"), "b": dict(changed, boot_id="1")},
             ["a: firmware changed in this run", "b: firmware changed in this run"]),
            ({"a": dict(current, boot_id="1"), "b": dict(current, boot_id="1")},
             ["a: firmware changed by an earlier run, not rebooted since",
              "b: firmware changed by an earlier run, not rebooted since"]),
            ({"a": dict(current, boot_id="2"), "b": {"state": "unreachable", "failed": True}},
             ["b: firmware changed by an earlier run, not rebooted since"]),
            ({"b": dict(current, boot_id="2")}, []),
            ({"a": dict(changed, boot_id="2", rebooted=True)}, []),
            ({"a": dict(changed, boot_id="2", reboot_required=False)}, []),
            ({"a": dict(changed, boot_id="3")}, ["a: firmware changed in this run"]),
        ]
        with tempfile.TemporaryDirectory() as results:
            for n, (statuses, window) in enumerate(runs):
                with self.subTest(run=n + 1):
                    qik_summary.start(results, {"hosts": list(statuses), "limited": True, "serial": [1],
                                                "max_fail_percentage": 0})
                    write_statuses(results, statuses)
                    md = summarize(results)[1]
                    self.assertEqual(md.split("## For a reboot window\n", 1)[1].strip().splitlines(),
                                     ["- " + line for line in window] or ["none"])

    def test_verified_column_and_hosts_not_verified(self):
        short = "eth6 bta: 1.5.0 installed after the run, the table asks 1.6.0 (bta_7a0c_150.img)"
        statuses = {
            "verified": dict(STATUSES["updated"], verified="yes", not_verified=[]),
            "short": dict(STATUSES["current"], state="not-verified", verified="no", not_verified=[short]),
            "old-package": dict(STATUSES["current"], verified="unknown",
                                not_verified=['qik_plan --verify exited with status 1: unknown option "--verify"']),
            "old-library": STATUSES["old-library"],
        }
        with tempfile.TemporaryDirectory() as results:
            rows, md, _ = write_results(results, statuses)
        self.assertEqual([(r["host"], r["reboot_required"], r["verified"]) for r in rows], [
            ("verified", "1", "yes"), ("verified", "1", "yes"), ("short", "1", "no"), ("old-package", "1", "unknown"),
            ("old-library", "0", ""), ("never-reached", "0", "")])
        self.assertIn("| short | not-verified | 1:0.0 |", md)
        self.assertIn(" | 0x00 | 1 | no |\n", md)
        self.assertEqual(md.split("## Not verified", 1)[1].split("\n## ", 1)[0].splitlines()[2:], [
            "| host | what falls short |", "|---|---|", "| short | %s |" % short,
            '| old-package | qik_plan --verify exited with status 1: unknown option "--verify" |'])

    def test_rollout_script_told_where_the_summary_is(self):
        note = os.path.join(self.results, "note.txt")
        with unittest.mock.patch.dict(os.environ, {"QIK_SUMMARY_NOTE": note}):
            summarize(self.results)
        with open(note, encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(), [
                "7 hosts: 1 bad-table, 1 interrupted, 1 not-run, 3 ok, 1 whole-run-error; firmware changed on 2.",
                "Batches [1, 2], failure limit 20%. 1 host not run yet: the rollout goes on, or was cut short.",
                "Fleet summary: " + os.path.join(self.results, "summary.md")])

    def test_long_texts_cut_between_words(self):
        words = " ".join(["word%03d" % n for n in range(40)])  # 8 characters a word with its space
        cases = [  # text, cell
            (words[:159], words[:159]),                       # 20 words, 159 characters
            (words, words[:151] + " ..."),                     # 19 words, 151 characters
            (words.replace(" ", "|", 1), words[:151].replace(" ", "\\|", 1) + " ..."),
            ("x" * 200, "x" * 156 + " ..."),                   # one word longer than a cell
            ("a " + "x" * 200, "a ..."),
        ]
        for text, cell in cases:
            with self.subTest(text=text[:20]):
                self.assertEqual(qik_summary._cell(text), cell)

    def test_markdown_cells_stay_in_their_column(self):
        lines = self.md.splitlines()
        updated = [line for line in lines if line.startswith("| updated |")]
        self.assertEqual(len(updated), 2)
        self.assertIn("| LOM \\| quad |", updated[0])
        bad_table = [line for line in lines if line.startswith("| bad-table | bad-table |")]
        self.assertTrue(bad_table)
        self.assertTrue(all(len(line) < 400 and "..." in line for line in bad_table))

    def test_limited_run_keeps_the_other_hosts(self):
        qik_summary.start(self.results, {"hosts": ["new", "current"], "limited": True, "serial": [1],
                                         "max_fail_percentage": 0})
        write_statuses(self.results, {"new": STATUSES["current"]})
        rows, _, _ = summarize(self.results)
        self.assertEqual(rows, self.rows + [dict(self.rows[3], host="new")])
        qik_summary.start(self.results, {"hosts": ["new"], "limited": False, "serial": [1], "max_fail_percentage": 0})
        self.assertEqual([r["host"] for r in summarize(self.results)[0]], ["new"])

    def test_why_a_rollout_stops(self):
        ok, failed = {"state": "ok", "failed": False}, {"state": "update-failure", "failed": True}
        cases = [  # the batches that ended (each host's status), limit, why it stopped
            ([[failed]], 20, "the one host of the batch from h0 failed"),
            ([[ok], [ok, failed]], 20, "1 of 2 hosts of the batch from h1 failed (50%), more than the failure limit of 20%"),
            ([[ok], [ok, failed]], 50, None),
            ([[ok], [ok, ok, failed]], 33, "1 of 3 hosts of the batch from h1 failed (33%), more than the failure limit of 33%"),
            ([[ok], [failed, failed]], 100, "all 2 hosts of the batch from h1 failed"),
        ]
        for batches, limit, why in cases:
            with self.subTest(why=why, limit=limit), tempfile.TemporaryDirectory() as results:
                statuses, n = {}, 0
                for batch in batches:
                    first = "h%d" % n
                    for status in batch:
                        statuses["h%d" % n] = dict(status, batch=first)
                        n += 1
                _, md, stopped = write_results(results, statuses, limit=limit)
                self.assertEqual(stopped, why)
                if why:
                    self.assertIn("Stopped: %s; 1 host not run." % why, md)
        # The last batch: nothing left to stop.
        with tempfile.TemporaryDirectory() as results:
            qik_summary.start(results, {"hosts": ["h0", "h1"], "limited": False, "serial": [1],
                                        "max_fail_percentage": 0})
            write_statuses(results, {"h0": dict(ok, batch="h0"), "h1": dict(failed, batch="h1")})
            self.assertIsNone(summarize(results)[2])

    def test_check_mode_shows_each_host_plan(self):
        def planned(update, current, updates=(), end=None, **more):
            return dict({"state": "planned", "failed": False, "detail": "check mode, nothing done; the plan: ...",
                         "reboot_required": update > 0,
                         "plan": {"update": update, "current": current, "left_alone": 1, "unknown": 0,
                                  "reboot_needed": update > 0, "updates": list(updates), "end": end}}, **more)
        end = {"code": 3, "message": "Dependency failure. Could not read configuration file.",
               "detail": "vxlkqfw.cfg:7: no version"}
        statuses = {
            "updates": planned(2, 0, ["eth0", "eth1"]),
            "current": planned(0, 2),
            "bad-table": planned(0, 0, end=end),
            "kept-backup": planned(1, 0, ["eth4"], needs_person=["NVRAM backup kept on the host: buimage_x"]),
            "no-plan": {"state": "planned", "failed": False, "detail": "check mode, nothing done; no plan: ...",
                        "plan": {"error": "qik_plan exited with status 2: No such file"}},
            "unreachable": {"state": "unreachable", "failed": True, "detail": "Failed to connect"},
        }
        with tempfile.TemporaryDirectory() as results:
            rows, md, _ = write_results(results, statuses, check_mode=True)
        plans = {r["host"]: [r[k] for k in ("plan_update", "plan_current", "plan_left_alone", "plan_unknown",
                                            "plan_updates", "reboot_required", "code")] for r in rows}
        self.assertEqual(plans, {
            "updates": ["2", "0", "1", "0", "eth0 eth1", "1", ""], "current": ["0", "2", "1", "0", "", "0", ""],
            "bad-table": ["0", "0", "1", "0", "", "0", "3"], "kept-backup": ["1", "0", "1", "0", "eth4", "1", ""],
            "no-plan": ["", "", "", "", "", "0", ""], "unreachable": ["", "", "", "", "", "0", ""],
            "never-reached": ["", "", "", "", "", "0", ""]})
        self.assertIn("3 adapter functions on 2 hosts would be updated.\n", md)
        for line in ["| updates | 2 | 0 | 1 | 0 | eth0 eth1 | yes |  |", "| current | 0 | 2 | 1 | 0 |  | no |  |",
                     "| bad-table | 0 | 0 | 1 | 0 |  | no | the run would end at once with 3: Dependency failure. Could "
                     "not read configuration file. (vxlkqfw.cfg:7: no version) |",
                     "| kept-backup | 1 | 0 | 1 | 0 | eth4 | yes | NVRAM backup kept on the host: buimage_x |",
                     "| no-plan |  |  |  |  |  |  | no plan: qik_plan exited with status 2: No such file |",
                     "| unreachable |  |  |  |  |  |  | no plan: unreachable: Failed to connect |",
                     "| never-reached |  |  |  |  |  |  | no plan: not-run: the rollout stopped before this host |"]:
            self.assertIn(line + "\n", md)
        self.assertEqual(reboot_window(md), ["updates", "kept-backup"])
        # Nothing ran: no result codes to total, no adapters, nothing said
        # again on every row. A real run has no plans.
        self.assertNotIn("## Totals by result code", md)
        self.assertNotIn("| updates | planned |", md)
        self.assertNotIn("check mode, nothing done", md)
        self.assertNotIn("## What a run would do", self.md)
        self.assertIn("## Totals by result code", self.md)


if __name__ == "__main__":
    unittest.main()
