"""Turns what one run of qik_programmer leaves behind, its exit status,
its result document and any NVRAM backup it had to keep, with the plans
qik_plan --json made just before and after it and what qik_plan --verify
found after it, into the facts the rollout acts on and the fleet summary
shows; in check mode, what qik_plan --json says a run would do instead."""

import json
import os
import re
import xml.etree.ElementTree as ET

# The exit status of a completed run is a bit set, one bit per kind of
# adapter failure.
EXIT_BITS = (
    (0x04, "write_protect", "write protect or system lockdown"),
    (0x08, "driver_not_supported", "driver not supported"),
    (0x10, "other_failure", "update failure"),
)
# A person has to lift the lock or change the driver first: running the
# update again would only give the same result.
NEEDS_PERSON = ("write_protect", "driver_not_supported")
# A run that stopped before reporting adapters exits with one of these, which
# are not bit sets (4 would otherwise read as write protect).
WHOLE_RUN_STATUS = {
    1: "invalid usage",
    3: "configuration table unreadable",
    4: "result file or inventory log could not be opened",
}
# No adapter of this server is in the table: nothing to do, not a failure.
NO_SUPPORTED_DEVICES = 12


class MalformedResult(ValueError):
    pass


def decode_exit_bits(rc):
    """The exit status of a completed run, bit by bit."""
    return {name: bool(rc & bit) for bit, name, _ in EXIT_BITS}


def exit_status_of(adapters):
    """The exit status a completed run gives these adapters' codes: for a
    result collected without the run that wrote it."""
    rc = 0
    for a in adapters:
        rc |= {0: 0, 5: 0x04, 18: 0x08}.get(a["code"], 0x10)
    return rc


def _version(text):
    """A version as numbers to compare, without trailing zeros: 7.10 is
    7.10.0."""
    numbers = [int(n) for n in re.findall(r"\d+", text or "")]
    while numbers and numbers[-1] == 0:
        numbers.pop()
    return tuple(numbers)


def family_after(adapter, force):
    """The family version an adapter holds after the run. The document
    gives the one before; a successful run writes the table's when it is
    newer, or whatever it is with -force, and any other result leaves the
    old one."""
    if adapter["code"] == 0 and (force or _version(adapter["package"]) > _version(adapter["installed"])):
        return adapter["package"]
    return adapter["installed"]


def _required(element, path):
    found = element.find(path)
    if found is None:
        raise MalformedResult("%s has no %s" % (element.tag, path))
    return found


def _message(element):
    message = _required(element, "Message")
    try:
        code = int(message.get("id"))
    except (TypeError, ValueError):
        raise MalformedResult("Message id %r is not a number" % message.get("id")) from None
    return code, " ".join((message.text or "").split())


def _adapter(device):
    app = _required(device, "Application")
    code, message = _message(_required(app, "SPStatus"))
    return {
        "location": "%s:%s.%s" % (device.get("bus"), device.get("device"), device.get("function")),
        "vendor_id": device.get("vendorID"),
        "device_id": device.get("deviceID"),
        "subvendor_id": device.get("subVendorID"),
        "subdevice_id": device.get("subDeviceID"),
        "display": device.get("display"),
        "installed": app.get("version"),
        "package": _required(app, "Package").get("version"),
        "code": code,
        "message": message,
    }


def _read(xml_text):
    """(whole-run message or None, adapters, reboot required)."""
    try:
        root = ET.fromstring(xml_text.encode("utf-8"))
    except ET.ParseError as error:
        raise MalformedResult(str(error)) from None
    if root.tag != "SVMExecution":
        raise MalformedResult("root element is %s" % root.tag)
    reboot = (_required(root, "RebootRequired").text or "").strip()
    if reboot not in ("0", "1"):
        raise MalformedResult("RebootRequired is %r" % reboot)
    whole = root.find("SPStatus")
    whole_run = None
    if whole is not None:
        code, message = _message(whole)
        whole_run = {"code": code, "message": message}
    adapters = [_adapter(d) for d in root.findall("Device")]
    if whole_run is None and not adapters:
        raise MalformedResult("neither Device elements nor a whole-run message")
    return whole_run, adapters, reboot == "1"


def _kept(kept_backups):
    return "NVRAM backup kept on the host, the adapter's only copy: " + ", ".join(sorted(kept_backups))


def _plan_document(text):
    try:
        document = json.loads(text or "")
        return document if isinstance(document, dict) else {}
    except ValueError:
        return {}


def _installed_versions(plan):
    """{(service, part): installed version} of a qik_plan --json document."""
    return {(f["service"], part["name"]): part["installed"]
            for f in plan.get("functions", []) for part in [f.get("family")] + f.get("components", [])
            if part and part.get("installed")}


def run_changes(plan_before, plan_after, adapters):
    """What the run changed, from the plans made in the working directory
    just before and just after it (qik_plan --json's output, empty when
    none was made): every installed version that moved, and the functions
    the first plan would update that the run reported as a success (with
    -force a component is written again at the version it had)."""
    before, after = _plan_document(plan_before), _plan_document(plan_after)
    old, new = _installed_versions(before), _installed_versions(after)
    moved = ["%s %s %s -> %s" % (service, part, version, new[service, part])
             for (service, part), version in old.items() if new.get((service, part), version) != version]
    succeeded = {a["location"] for a in adapters if a["code"] == 0}
    programmed = [f["service"] for f in before.get("functions", []) if f.get("outcome") == "update"
                  and "%s:%s.%s" % (f.get("bus"), f.get("device"), f.get("function")) in succeeded]
    if moved:
        return moved
    return ["%s programmed" % " ".join(programmed)] if programmed else []


def _miss_line(function, miss):
    return "%s %s: %s installed after the run, the table asks %s%s" % (
        function["service"] or function["address"], miss["component"], miss["installed"] or "nothing",
        miss["target"], " (%s)" % miss["image"] if miss["image"] else "")


def verification(adapters, verify):
    """Whether what the run reports as updated reads as the table asks:
    ("yes", []), ("no", what is missing), ("", []) when the run reports no
    success, or ("unknown", [why]) when qik_plan --verify could not say.
    `verify` is the registered result of qik_plan --verify --json, or None
    when it was not run."""
    if not any(a["code"] == 0 for a in adapters):
        return "", []
    if verify is None:
        return "unknown", []
    try:
        functions = json.loads(verify.get("stdout") or "")["verification"]["functions"]
    except (ValueError, KeyError, TypeError):
        why = (verify.get("stderr") or "").strip() or "it printed no verification"
        return "unknown", ["qik_plan --verify exited with status %s: %s" % (verify.get("rc"), " ".join(why.split()))]
    missed = []
    for f in functions:
        if not f["verified"]:
            missed += [_miss_line(f, m) for m in f["misses"]]
            missed += ["%s: %s" % (f["service"] or f["address"], f["why"])] if f["why"] else []
    return ("no", missed) if missed else ("yes", [])


def qik_parse_result(xml_text, rc, force=False, kept_backups=(), plans=("", ""), verify=None):
    """Facts for one host from its result document (empty when none came
    back), the utility's exit status (None when the result was collected
    without running it), whether it ran with -force, the names of the
    NVRAM backups it had to keep in its working directory, the plans
    made just before and after the run, and what qik_plan --verify found
    after it."""
    facts = _parse(xml_text, None if rc is None else int(rc), bool(force))
    changes = run_changes(*plans, facts["adapters"])
    if changes:
        facts.update(changes=changes, firmware_changed=True)
    facts["verified"], facts["not_verified"] = verification(facts["adapters"], verify)
    if facts["verified"] == "no" and facts["state"] == "ok":
        facts.update(state="not-verified", detail="the run reported success, but qik_plan --verify reads "
                     "otherwise: " + "; ".join(facts["not_verified"]))
    if kept_backups:
        facts["needs_person"].append(_kept(kept_backups))
        if facts["state"] in ("ok", "no-supported-adapters"):
            facts["state"] = "needs-person"
    return facts


def _parse(xml_text, rc, force):
    facts = {"rc": rc, "exit_bits": decode_exit_bits(0), "adapters": [], "whole_run": None,
             "reboot_required": False, "firmware_changed": False, "changes": [], "needs_person": [], "failed": True}
    if not xml_text:
        if rc is None:
            detail = "no result document on the host"
        else:
            detail = "no result document; exit status %d: %s" % (rc, WHOLE_RUN_STATUS.get(rc, "no result document"))
        facts.update(state="no-result", detail=detail)
        return facts
    try:
        whole_run, adapters, reboot = _read(xml_text)
    except MalformedResult as error:
        facts.update(state="malformed-result", detail="result document not well-formed: %s" % error)
        return facts

    if whole_run is not None:
        code = whole_run["code"]
        detail = "%d: %s" % (code, whole_run["message"])
        if rc in WHOLE_RUN_STATUS:
            detail += " (exit status %d: %s)" % (rc, WHOLE_RUN_STATUS[rc])
        no_adapters = code == NO_SUPPORTED_DEVICES
        facts.update(whole_run=whole_run, detail=detail, failed=not no_adapters,
                     state="no-supported-adapters" if no_adapters else "whole-run-error")
        return facts

    if rc is None:
        facts["rc"] = rc = exit_status_of(adapters)
    for a in adapters:
        a["after"] = family_after(a, force)
    bits = decode_exit_bits(rc)
    # Without the plans of the run, only a family version that moved shows.
    changes = ["%s family %s -> %s" % (a["location"], a["installed"], a["after"])
               for a in adapters if _version(a["after"]) != _version(a["installed"])]
    facts.update(exit_bits=bits, adapters=adapters, reboot_required=reboot,
                 firmware_changed=bool(changes), changes=changes,
                 needs_person=[text for _, name, text in EXIT_BITS if name in NEEDS_PERSON and bits[name]],
                 failed=bits["other_failure"])
    if facts["failed"]:
        facts["state"] = "update-failure"
    elif facts["needs_person"]:
        facts["state"] = "needs-person"
    else:
        facts["state"] = "ok"
    unsuccessful = {}
    for a in adapters:
        if a["code"] != 0:
            unsuccessful.setdefault((a["code"], a["message"]), []).append(a["location"])
    facts["detail"] = "; ".join("%d on %s: %s" % (code, " ".join(where), message)
                                for (code, message), where in unsuccessful.items()) \
        or "every adapter updated or already current"
    return facts


# What qik_plan's summary counts, under the names the rollout's facts use.
PLAN_COUNTS = {"update": "update", "current": "current", "leftAlone": "left_alone", "unknown": "unknown"}


def _read_plan(run):
    """The plan's facts from the registered result of the qik_plan command;
    when it printed no plan, only why ("error")."""
    try:
        document = json.loads(run.get("stdout") or "")
        summary = document["summary"]
        facts = {name: int(summary[key]) for key, name in PLAN_COUNTS.items()}
        facts.update(reboot_needed=bool(summary["rebootNeeded"]), end=document["end"],
                     updates=[f["service"] for f in document["functions"] if f["outcome"] == "update"])
    except (ValueError, KeyError, TypeError):
        # A package without qik_plan, a command line it refuses, a crash.
        why = (run.get("stderr") or "").strip() or run.get("msg") or "no plan printed"
        return {"error": "qik_plan exited with status %s: %s" % (run.get("rc"), " ".join(why.split()))}
    return facts


def _describe(plan):
    if "error" in plan:
        return "no plan: " + plan["error"]
    end = plan["end"]
    if end:
        return "the plan: the run would %s with %d: %s%s" % (
            "update %s, then end" % " ".join(plan["updates"]) if plan["updates"] else "end at once",
            end["code"], end["message"], " (%s)" % end["detail"] if end.get("detail") else "")
    return "the plan: %d function%s would be updated%s, %d current, %d left alone, %d unknown; %s" % (
        plan["update"], "" if plan["update"] == 1 else "s", " (%s)" % " ".join(plan["updates"]) if plan["updates"] else "", plan["current"],
        plan["left_alone"], plan["unknown"],
        "a reboot window is needed" if plan["reboot_needed"] else "no reboot window needed")


def _left_behind(files):
    """What earlier runs left in the host's working directory and a run
    acts on, which the plan, made elsewhere, cannot see: (lines for a person,
    lines to tell). Each file is a path, or what the find module gives."""
    found = {}
    for f in files:
        path = f["path"] if isinstance(f, dict) else f
        found[os.path.basename(path)] = (path, isinstance(f, dict) and bool(f.get("isdir")))
    person, told = [], []
    kept = sorted(path for name, (path, _) in found.items() if name.startswith("buimage_"))
    if kept:
        person.append(_kept(kept) + ": a run leaves its adapter alone, which the plan cannot see")
    if "buimage" in found:
        person.append("NVRAM backup of a run that was cut short on the host: %s: a run keeps it as "
                      "buimage_<MAC of the adapter buimage.mac names> and leaves that adapter alone (14), "
                      "which the plan cannot see" % found["buimage"][0])
    note = found.get("buimage.mac")
    if note and note[1]:
        person.append("%s is a directory: a run ends with 4 at its first NVRAM backup, which the plan "
                      "cannot see" % note[0])
    elif note and "buimage" not in found:
        told.append("%s names no backup: a run removes it" % note[0])
    if "qik_enabled.txt" in found:
        told.append("ports an earlier run enabled are noted in %s: a run disables them again at its end, "
                    "which the plan cannot see" % found["qik_enabled.txt"][0])
    return person, told


def qik_add_plan(result, run, left_behind=()):
    """The check-mode facts of a host with its plan added: the plan itself,
    its reboot window as the host's reboot_required, and what it says at the
    end of the detail. The plan is made away from the host's working
    directory and cannot see what earlier runs left there (the files found
    are given): NVRAM backups kept, or left by a run cut short, whose
    adapters a run leaves alone and a person has to see to, and the note of
    ports an earlier run enabled, which a run disables."""
    plan = _read_plan(run)
    needs_person, told = _left_behind(left_behind)
    return dict(result, plan=plan, reboot_required=plan.get("reboot_needed", False), needs_person=needs_person,
                detail="; ".join(filter(None, [result["detail"], _describe(plan)] + needs_person + told)))


class FilterModule:
    def filters(self):
        return {"qik_parse_result": qik_parse_result, "qik_add_plan": qik_add_plan}
