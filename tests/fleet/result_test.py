"""The rollout's reading of one run: result document and exit status; in
check mode, the plan of a run."""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples", "fleet",
                                "roles", "qik_update", "filter_plugins"))
from qik_result import qik_add_plan, qik_parse_result  # noqa: E402

MESSAGES = {0: "Update success.", 5: "Update failure. Write Protect or System Lockdown enabled.",
            9: "Update failure. Firmware programming utility returned an error. Original firmware restored",
            18: "Update failure. Driver not supported. See release notes for recommended driver."}
HEADER = '<?xml version="1.0" encoding="UTF-8"?>\n<SVMExecution lang="en">\n'


def device(bus, function, code, display="Quad Port LOM", installed="7.8.2", package="7.10.3"):
    return ('\t<Device vendorID="1f3d" deviceID="7a01" subVendorID="1c5a" subDeviceID="5b01" bus="%d" '
            'device="0" function="%d" display="%s">\n'
            '\t\t<Application componentType="FRMW" version="%s" display="%s">\n'
            '\t\t\t<Package version="%s"/>\n\t\t\t<SPStatus result="%s">\n'
            '\t\t\t\t<Message id="%d">%s</Message>\n\t\t\t</SPStatus>\n\t\t</Application>\n\t</Device>\n'
            % (bus, function, display, installed, display, package, "true" if code == 0 else "false", code,
               MESSAGES[code]))


def report(*devices, reboot=None):
    if reboot is None:
        reboot = 0 if any('<Message id="18">' in d for d in devices) else 1
    return HEADER + "".join(devices) + "\t<RebootRequired>%d</RebootRequired>\n</SVMExecution>\n" % reboot


def error_form(code, text):
    return (HEADER + '\t<SPStatus result="false" code="1">\n\t\t<Message id="%d">\n\t\t\t%s\n'
            '\t\t</Message>\n\t</SPStatus>\n\t<RebootRequired>0</RebootRequired>\n</SVMExecution>\n' % (code, text))


class ResultDocument(unittest.TestCase):
    def test_completed_run(self):
        cases = [  # document, exit status, state, failed, needs a person, reboot
            (report(device(1, 0, 0), device(1, 1, 0)), 0, "ok", False, [], True),
            (report(device(1, 0, 9), device(4, 0, 0)), 0x10, "update-failure", True, [], True),
            (report(device(1, 0, 5), device(4, 0, 18)), 0x0c, "needs-person", False,
             ["write protect or system lockdown", "driver not supported"], False),
            (report(device(1, 0, 5), device(4, 0, 9)), 0x14, "update-failure", True,
             ["write protect or system lockdown"], True),
        ]
        for xml, rc, state, failed, person, reboot in cases:
            with self.subTest(rc=rc):
                facts = qik_parse_result(xml, rc)
                self.assertEqual((facts["state"], facts["failed"], facts["needs_person"], facts["reboot_required"]),
                                 (state, failed, person, reboot))

    def test_detail_names_what_did_not_succeed(self):
        facts = qik_parse_result(report(device(1, 0, 9), device(1, 1, 9), device(4, 0, 0)), "16")
        self.assertEqual([(a["location"], a["code"]) for a in facts["adapters"]], [("1:0.0", 9), ("1:0.1", 9), ("4:0.0", 0)])
        self.assertEqual(facts["detail"], "9 on 1:0.0 1:0.1: " + MESSAGES[9])

    def test_whole_run_error_form(self):
        cases = [  # code, text, exit status, state, failed, detail ends with
            (3, "Dependency failure. Could not read configuration file.", 3, "whole-run-error", True,
             "(exit status 3: configuration table unreadable)"),
            (6, "Dependency failure. Library out of date.", 0, "whole-run-error", True, "Library out of date."),
            (4, "Dependency failure. Could not open output file.", 0, "whole-run-error", True, "output file."),
            (12, "Update failure. No supported devices found.", 0, "no-supported-adapters", False, "found."),
        ]
        for code, text, rc, state, failed, ending in cases:
            with self.subTest(code=code):
                facts = qik_parse_result(error_form(code, text), rc)
                self.assertEqual(facts["whole_run"], {"code": code, "message": text})
                self.assertEqual((facts["state"], facts["failed"], facts["adapters"]), (state, failed, []))
                self.assertTrue(facts["detail"].startswith("%d: %s" % (code, text)), facts["detail"])
                self.assertTrue(facts["detail"].endswith(ending), facts["detail"])
                self.assertFalse(any(facts["exit_bits"].values()))

    def test_no_document_is_not_read_as_bits(self):
        # Exit status 4 without a document: the output file could not be
        # opened, not a write-protected adapter.
        facts = qik_parse_result("", 4)
        self.assertEqual((facts["state"], facts["failed"], facts["needs_person"]), ("no-result", True, []))
        self.assertFalse(any(facts["exit_bits"].values()))
        self.assertIn("could not be opened", facts["detail"])

    def test_firmware_changed_only_when_a_family_version_moved(self):
        cases = [  # installed, package, code, -force, changed
            ("7.8.2", "7.10.3", 0, False, True),
            ("7.10.3", "7.10.3", 0, False, False),
            ("7.10.3", "7.10.3", 0, True, False),
            ("7.10.3", "7.8.2", 0, False, False),   # a newer installed version is left alone
            ("7.10.3", "7.8.2", 0, True, True),     # unless forced
            ("7.10.0", "7.10", 0, True, False),     # the same version, written otherwise
            ("7.8.2", "7.10.3", 9, False, False),   # restored
        ]
        for installed, package, code, force, changed in cases:
            with self.subTest(installed=installed, package=package, code=code, force=force):
                facts = qik_parse_result(report(device(1, 0, code, installed=installed, package=package)),
                                         0 if code == 0 else 0x10, force)
                self.assertEqual(facts["firmware_changed"], changed)
        facts = qik_parse_result(report(device(1, 0, 0), device(1, 1, 9)), 0x10)
        self.assertEqual([a["after"] for a in facts["adapters"]], ["7.10.3", "7.8.2"])

    def test_changed_when_the_run_programmed_something(self):
        def plan(outcome, **installed):  # qik_plan --json of eth0 at 1:0.0
            return json.dumps({"functions": [{
                "service": "eth0", "bus": 1, "device": 0, "function": 0, "outcome": outcome,
                "family": {"name": "family version", "installed": "7.10.3"},
                "components": [{"name": name, "installed": v} for name, v in installed.items()]}]})
        raise_ncsi = (plan("update", ncsi="1.4.6", bc="7.10"), plan("current", ncsi="1.5.0", bc="7.10"))
        same = plan("update", ncsi="1.5.0")
        cases = [  # plans before and after, code, changes
            (raise_ncsi, 0, ["eth0 ncsi 1.4.6 -> 1.5.0"]),   # the family version kept
            ((same, same), 0, ["eth0 programmed"]),            # -force: written again at the same version
            ((same, same), 9, []),                             # restored
            ((plan("current", ncsi="1.5.0"),) * 2, 0, []),
            (("", ""), 0, []),                                 # no plans: the family version, unchanged
            (("", raise_ncsi[1]), 0, []),
        ]
        for plans, code, changes in cases:
            with self.subTest(plans=plans, code=code):
                facts = qik_parse_result(report(device(1, 0, code, installed="7.10.3")), 0 if code == 0 else 0x10,
                                         False, [], plans)
                self.assertEqual((facts["changes"], facts["firmware_changed"]), (changes, bool(changes)))

    def test_verified_by_qik_plan_after_the_run(self):
        def verify(*functions, rc=None):  # the registered result of qik_plan --verify --json
            document = {"verification": {"resultFile": "vxlrfwprgmr.xml", "functions": list(functions),
                                         "allVerified": all(f["verified"] for f in functions)}}
            return {"rc": rc if rc is not None else (0 if document["verification"]["allVerified"] else 5),
                    "stdout": json.dumps(document), "stderr": ""}

        def function(service, *misses, why=None):
            return {"service": service, "address": "1:0.0", "verified": not misses and not why, "why": why,
                    "misses": [dict(zip(("component", "installed", "target", "image"), m)) for m in misses]}
        short = ("bta", "1.5.0", "1.6.0", "bta_7a0c_150.img")
        cases = [  # document, verification, state, verified, not verified
            (report(device(1, 0, 0)), verify(function("eth0")), "ok", "yes", []),
            (report(device(1, 0, 0)), verify(function("eth6", short)), "not-verified", "no",
             ["eth6 bta: 1.5.0 installed after the run, the table asks 1.6.0 (bta_7a0c_150.img)"]),
            (report(device(1, 0, 0)), verify(function(None, why="the adapters list no function with its IDs")),
             "not-verified", "no", ["1:0.0: the adapters list no function with its IDs"]),
            # A failure is already a failure; the check adds nothing to it.
            (report(device(1, 0, 9), device(4, 0, 0)), verify(function("eth6", short)), "update-failure", "no",
             ["eth6 bta: 1.5.0 installed after the run, the table asks 1.6.0 (bta_7a0c_150.img)"]),
            (report(device(1, 0, 9)), verify(), "update-failure", "", []),
            (report(device(1, 0, 0)), {"rc": 1, "stdout": "", "stderr": 'qik_plan: unknown option "--verify"'},
             "ok", "unknown", ['qik_plan --verify exited with status 1: qik_plan: unknown option "--verify"']),
            (report(device(1, 0, 0)), None, "ok", "unknown", []),
        ]
        for xml, verification, state, verified, missed in cases:
            with self.subTest(state=state, verified=verified, missed=missed):
                rc = 0x10 if 'id="9"' in xml else 0
                facts = qik_parse_result(xml, rc, False, [], ("", ""), verification)
                self.assertEqual((facts["state"], facts["verified"], facts["not_verified"]), (state, verified, missed))
        facts = qik_parse_result(report(device(1, 0, 0)), 0, False, [], ("", ""), verify(function("eth6", short)))
        self.assertIn("eth6 bta: 1.5.0 installed after the run", facts["detail"])

    def test_kept_backup_needs_a_person(self):
        backup = "/var/tmp/qik_update/buimage_001c5a400000"
        cases = [  # document, exit status, state
            (report(device(1, 0, 0)), 0, "needs-person"),
            (report(device(1, 0, 9)), 0x10, "update-failure"),
            (error_form(12, "Update failure. No supported devices found."), 0, "needs-person"),
            ("", 4, "no-result"),
        ]
        for xml, rc, state in cases:
            with self.subTest(state=state):
                facts = qik_parse_result(xml, rc, False, [backup])
                self.assertEqual(facts["state"], state)
                self.assertIn(backup, facts["needs_person"][-1])

    def test_collected_without_the_run(self):
        # The exit status the run would have given is worked out from the
        # codes, so the state is the same as when the run was watched.
        cases = [(report(device(1, 0, 0)), "ok", 0), (report(device(1, 0, 5), device(4, 0, 18)), "needs-person", 0x0c),
                 (report(device(1, 0, 9), device(4, 0, 5)), "update-failure", 0x14)]
        for xml, state, rc in cases:
            with self.subTest(state=state):
                facts = qik_parse_result(xml, None)
                self.assertEqual((facts["state"], facts["rc"]), (state, rc))
        self.assertEqual(qik_parse_result("", None)["detail"], "no result document on the host")

    def test_malformed_documents(self):
        good = report(device(1, 0, 0))
        cases = {
            "unescaped ampersand": report(device(1, 0, 0, display="LOM & more")),
            "cut short": good[:len(good) // 2],
            "message id not a number": good.replace('<Message id="0">', '<Message id="x">'),
            "no SPStatus": good.replace("SPStatus", "Status"),
            "no RebootRequired": good.replace("\t<RebootRequired>1</RebootRequired>\n", ""),
            "other root": good.replace("SVMExecution", "Execution"),
            "neither adapters nor message": report(),
        }
        for name, xml in cases.items():
            with self.subTest(name):
                facts = qik_parse_result(xml, 0)
                self.assertEqual((facts["state"], facts["failed"]), ("malformed-result", True))
                self.assertEqual(facts["adapters"], [])


def plan_run(outcomes, end=None, rc=None):
    """The registered result of qik_plan --json on a host whose functions
    eth0, eth1, ... have these outcomes."""
    functions = [{"service": "eth%d" % n, "outcome": o} for n, o in enumerate(outcomes)]
    counts = {key: outcomes.count(o) for key, o in
              (("update", "update"), ("current", "current"), ("leftAlone", "left alone"), ("unknown", "unknown"))}
    document = {"end": end, "functions": functions, "summary": dict(counts, rebootNeeded="update" in outcomes)}
    return {"rc": (2 if end else 0) if rc is None else rc, "stdout": json.dumps(document), "stderr": ""}


PLANNED = {"state": "planned", "failed": False, "detail": "check mode, nothing done"}


class Plan(unittest.TestCase):
    def test_what_a_run_would_do(self):
        facts = qik_add_plan(PLANNED, plan_run(["update", "update", "current", "left alone", "unknown"]))
        self.assertEqual(facts["plan"], {"update": 2, "current": 1, "left_alone": 1, "unknown": 1,
                                         "reboot_needed": True, "updates": ["eth0", "eth1"], "end": None})
        self.assertEqual((facts["state"], facts["failed"], facts["reboot_required"], facts["needs_person"]),
                         ("planned", False, True, []))
        self.assertEqual(facts["detail"], "check mode, nothing done; the plan: 2 functions would be updated "
                                          "(eth0 eth1), 1 current, 1 left alone, 1 unknown; a reboot window is needed")
        current = qik_add_plan(PLANNED, plan_run(["current", "left alone"]))
        self.assertFalse(current["reboot_required"])
        self.assertEqual(qik_add_plan(dict(PLANNED, detail=""), plan_run(["update"]))["detail"],
                         "the plan: 1 function would be updated (eth0), 0 current, 0 left alone, 0 unknown; "
                         "a reboot window is needed")
        self.assertTrue(current["detail"].endswith("0 functions would be updated, 1 current, 1 left alone, 0 unknown; "
                                                   "no reboot window needed"), current["detail"])

    def test_run_that_would_end_at_once(self):
        end = {"code": 3, "message": "Dependency failure. Could not read configuration file.",
               "detail": 'vxlkqfw.cfg:7: token "bc_7a01_0710.bin" has no ",version"'}
        facts = qik_add_plan(PLANNED, plan_run([], end=end))
        self.assertEqual(facts["plan"]["end"], end)
        self.assertEqual(facts["detail"], "check mode, nothing done; the plan: the run would end at once with 3: "
                                          "Dependency failure. Could not read configuration file. (%s)" % end["detail"])

    def test_no_plan_says_why(self):
        cases = {  # what the command module registered: why
            "package without qik_plan": ({"rc": 2, "stdout": "", "stderr": "",
                                          "msg": "[Errno 2] No such file or directory: b'./qik_plan'"},
                                         "qik_plan exited with status 2: [Errno 2] No such file or directory"),
            "refused command line": ({"rc": 1, "stdout": "", "stderr": 'qik_plan: unknown option "--json"\nusage: ...'},
                                     'qik_plan exited with status 1: qik_plan: unknown option "--json" usage: ...'),
            "cut short": (dict(plan_run(["update"]), rc=-9, stdout='{"force": false, "functions": ['),
                          "qik_plan exited with status -9: no plan printed"),
        }
        for name, (run, why) in cases.items():
            with self.subTest(name):
                facts = qik_add_plan(PLANNED, run)
                self.assertTrue(facts["plan"]["error"].startswith(why), facts["plan"])
                self.assertEqual((facts["state"], facts["failed"], facts["reboot_required"]), ("planned", False, False))
                self.assertTrue(facts["detail"].endswith("; no plan: " + facts["plan"]["error"]))

    def test_kept_backup_the_plan_cannot_see(self):
        backup = "/var/tmp/qik_update/buimage_001c5a100000"
        facts = qik_add_plan(PLANNED, plan_run(["update"]), [backup])
        self.assertEqual(len(facts["needs_person"]), 1)
        self.assertIn(backup, facts["needs_person"][0])
        self.assertTrue(facts["detail"].endswith(facts["needs_person"][0]))

    def test_what_earlier_runs_left_the_plan_cannot_see(self):
        def found(name, isdir=False):  # as the find module lists it
            return {"path": "/var/tmp/qik_update/" + name, "isdir": isdir, "isreg": not isdir}
        cases = {  # files found: (what a person is told, what the detail also says)
            "backup of a run cut short": ([found("buimage"), found("buimage.mac")],
                                          ["/var/tmp/qik_update/buimage: a run keeps it as buimage_<MAC"], []),
            "note of the backup a directory": ([found("buimage.mac", isdir=True)],
                                               ["buimage.mac is a directory: a run ends with 4"], []),
            "note of no backup": ([found("buimage.mac")], [], ["buimage.mac names no backup: a run removes it"]),
            "ports an earlier run enabled": ([found("qik_enabled.txt")], [],
                                             ["noted in /var/tmp/qik_update/qik_enabled.txt: a run disables them"]),
            "all of them": ([found("qik_enabled.txt"), found("buimage_001c5a400000"), found("buimage"),
                             found("buimage.mac")],
                            ["only copy: /var/tmp/qik_update/buimage_001c5a400000", "buimage: a run keeps it"],
                            ["qik_enabled.txt: a run disables them"]),
        }
        for name, (files, person, told) in cases.items():
            with self.subTest(name):
                facts = qik_add_plan(PLANNED, plan_run(["update"]), files)
                self.assertEqual(len(facts["needs_person"]), len(person), facts["needs_person"])
                for line, expected in zip(facts["needs_person"], person):
                    self.assertIn(expected, line)
                for expected in person + told:
                    self.assertIn(expected, facts["detail"])

    def test_run_that_would_end_after_updating(self):
        end = {"code": 4, "message": "Update failure. Could not open output file.", "detail": "eth4: cannot write buimage.mac: it is a directory"}
        facts = qik_add_plan(PLANNED, plan_run(["update", "left alone", "left alone"], end=end))
        self.assertIn("the plan: the run would update eth0, then end with 4: ", facts["detail"])


if __name__ == "__main__":
    unittest.main()
