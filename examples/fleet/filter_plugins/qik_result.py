"""Turns the utility's result document and exit status into host facts."""

import xml.etree.ElementTree as ET

EXIT_BITS = {
    0x04: "write protect or system lockdown",
    0x08: "driver not supported",
    0x10: "update failure",
}
# Whole-run exit statuses that are not bit sets.
WHOLE_RUN_STATUS = {1: "invalid usage", 3: "configuration table unreadable",
                    4: "output file could not be opened"}
NO_SUPPORTED_DEVICES = 12


def _adapter(device):
    app = device.find("Application")
    status = app.find("SPStatus") if app is not None else None
    message = status.find("Message") if status is not None else None
    package = app.find("Package") if app is not None else None
    return {
        "location": "%s:%s.%s" % (device.get("bus"), device.get("device"), device.get("function")),
        "vendor_id": device.get("vendorID"),
        "device_id": device.get("deviceID"),
        "subvendor_id": device.get("subVendorID"),
        "subdevice_id": device.get("subDeviceID"),
        "display": device.get("display"),
        "installed": app.get("version") if app is not None else None,
        "package": package.get("version") if package is not None else None,
        "success": status is not None and status.get("result") == "true",
        "code": int(message.get("id")) if message is not None else None,
        "message": (message.text or "").strip() if message is not None else "",
    }


def decode_exit_bits(rc):
    """The exit status bit by bit, for a completed run."""
    return {name: bool(rc & bit) for bit, name in EXIT_BITS.items()}


def qik_parse_result(xml_text, rc):
    rc = int(rc)
    facts = {"rc": rc, "exit_bits": decode_exit_bits(rc), "adapters": [], "whole_run": None,
             "reboot_required": False, "needs_person": [], "failed": True, "state": "", "detail": ""}
    if not xml_text:
        facts.update(state="no-result", detail="no result document (exit status %d)" % rc)
        return facts
    try:
        root = ET.fromstring(xml_text.encode("utf-8") if isinstance(xml_text, str) else xml_text)
    except ET.ParseError as error:
        facts.update(state="malformed-result", detail="result document not well-formed: %s" % error)
        return facts

    reboot = root.find("RebootRequired")
    facts["reboot_required"] = reboot is not None and (reboot.text or "").strip() == "1"
    whole = root.find("SPStatus")
    if whole is not None:
        message = whole.find("Message")
        code = int(message.get("id")) if message is not None else -1
        text = (message.text or "").strip() if message is not None else ""
        facts["whole_run"] = {"code": code, "message": text}
        facts["exit_bits"] = decode_exit_bits(0)
        facts.update(state="whole-run-error", detail="%d: %s" % (code, text),
                     failed=code != NO_SUPPORTED_DEVICES)
        if code == NO_SUPPORTED_DEVICES:
            facts["state"] = "no-supported-adapters"
        if rc in WHOLE_RUN_STATUS:
            facts["detail"] += " (exit status %d: %s)" % (rc, WHOLE_RUN_STATUS[rc])
        return facts

    facts["adapters"] = [_adapter(d) for d in root.findall("Device")]
    bits = facts["exit_bits"]
    if bits["write protect or system lockdown"]:
        facts["needs_person"].append("write protect or system lockdown")
    if bits["driver not supported"]:
        facts["needs_person"].append("driver not supported")
    failed = [a for a in facts["adapters"] if not a["success"]]
    facts["failed"] = bits["update failure"]
    if facts["failed"]:
        facts["state"] = "update-failure"
    elif facts["needs_person"]:
        facts["state"] = "needs-person"
    else:
        facts["state"] = "ok"
    facts["detail"] = "; ".join("%s %s: %s" % (a["location"], a["code"], a["message"])
                                for a in failed) or "all adapters updated or current"
    return facts


class FilterModule:
    def filters(self):
        return {"qik_parse_result": qik_parse_result, "qik_exit_bits": decode_exit_bits}
