"""The recipe rolled out with Ansible over simulated hosts (simfleet.py),
each reached with ansible_connection local in a working directory of its
own on the bench."""

import csv
import os
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


class Rollout(unittest.TestCase):
    fleet = None

    @classmethod
    def setUpClass(cls):
        cls.out = os.path.join(OUT, cls.fleet)
        simfleet.lay_out(BUILD, cls.out, cls.fleet)
        cls.tool_log_before = {h: read_lines(cls.tool_log(h)) for h in simfleet.FLEETS[cls.fleet]["hosts"]}
        tmp = os.path.join(cls.out, "ansible-tmp")
        env = dict(os.environ, ANSIBLE_LOCAL_TEMP=tmp, ANSIBLE_REMOTE_TEMP=tmp, ANSIBLE_NOCOLOR="1")
        run = subprocess.run([os.path.join(FLEET, "rollout"), "-i", os.path.join(cls.out, "inventory.yml"),
                              "-e", "@" + os.path.join(cls.out, "vars.json")],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
        cls.status, cls.output = run.returncode, run.stdout
        with open(os.path.join(cls.out, "rollout.log"), "w", encoding="utf-8") as f:
            f.write(cls.output)
        cls.rows = defaultdict(list)
        try:
            with open(cls.result("summary.csv"), encoding="utf-8") as f:
                for row in csv.DictReader(f):
                    cls.rows[row["host"]].append(row)
            cls.summary_md = "\n".join(read_lines(cls.result("summary.md")))
        except FileNotFoundError:
            raise AssertionError("no fleet summary; the rollout said:\n" + cls.output) from None

    @classmethod
    def result(cls, *parts):
        return os.path.join(cls.out, "results", *parts)

    @classmethod
    def tool_log(cls, host):
        return os.path.join(cls.out, "hosts", host, "nicflsh_log.txt")

    def states(self):
        return {host: {r["state"] for r in rows} for host, rows in self.rows.items()}

    def codes(self, host):
        return [r["code"] for r in self.rows[host]]

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
    fleet = "mixed"

    def test_every_host_in_the_summary(self):
        self.assertEqual(self.status, 2, self.output)
        self.assertEqual(self.states(), {
            "canary": {"ok"}, "lom-only": {"ok"}, "tool-fails": {"update-failure"}, "locked": {"needs-person"},
            "current": {"ok"}, "bad-table": {"bad-table"}, "old-library": {"whole-run-error"},
            "no-adapters": {"no-supported-adapters"}, "unreachable": {"unreachable"}})
        expected_codes = {
            "canary": ["0"] * 6, "lom-only": ["0"] * 4, "tool-fails": ["9"] * 4 + ["0"] * 2,
            "locked": ["5"] * 4 + ["18"] * 2, "current": ["0"] * 6, "bad-table": [""],
            "old-library": ["6"], "no-adapters": ["12"], "unreachable": [""]}
        self.assertEqual({h: self.codes(h) for h in self.rows}, expected_codes)
        self.assertEqual({r["exit_status"] for r in self.rows["tool-fails"] + self.rows["locked"]}, {"16", "12"})
        self.assertIn("Failed to create temporary directory", self.rows["unreachable"][0]["message"])

    def test_summary_matches_each_result_document(self):
        reached = [h for h in self.rows if h not in ("unreachable", "bad-table")]
        for host in reached:
            with self.subTest(host):
                self.assertSummaryMatchesDocument(host)
        self.assertEqual(self.rows["old-library"][0]["message"], "Dependency failure. Library out of date.")

    def test_bad_table_programs_nothing(self):
        self.assertIn('token "bc_7a01_0710.bin" has no ",version"', self.rows["bad-table"][0]["message"])
        self.assertFalse(os.path.exists(self.tool_log("bad-table")))
        self.assertFalse(os.path.exists(self.result("bad-table", "vxlrfwprgmr.xml")))
        self.assertTrue(os.path.exists(os.path.join(self.out, "hosts", "bad-table", "qik_programmer")))

    def test_second_run_finds_everything_current(self):
        rows = self.rows["current"]
        self.assertEqual([r["installed"] for r in rows], [r["package"] for r in rows])
        commands = read_lines(self.tool_log("current"))[len(self.tool_log_before["current"]):]
        self.assertTrue(commands)
        programmed = [c for c in commands if " upgrade " in c and not any(o in c for o in (" -m_pn ", " -vpd "))]
        self.assertEqual(programmed, [])

    def test_totals_and_lists_for_people(self):
        for line in ["| 0 | Update success. | 18 |", "| 5 | Update failure. Write Protect or System Lockdown enabled. | 4 |",
                     "| 6 | Dependency failure. Library out of date. | 1 |", "| 12 | Update failure. No supported devices "
                     "found. | 1 |", "| 18 | Update failure. Driver not supported. See release notes for recommended "
                     "driver. | 2 |"]:
            self.assertIn(line, self.summary_md)
        self.assertIn("| locked | write protect or system lockdown; driver not supported |", self.summary_md)
        reboot = self.summary_md.split("## For a reboot window\n", 1)[1].split()
        self.assertEqual(reboot, ["-", "canary", "-", "lom-only", "-", "tool-fails", "-", "current"])


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


if __name__ == "__main__":
    unittest.main()
