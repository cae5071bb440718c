// The bench file from what was read. Whatever the library answered, the
// result is a document the simulated bench loads: every text escaped, every
// gap left out and named in a "comment" of the object it belongs to.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "capture/capture.h"
#include "capture/json_writer.h"
#include "common/text.h"
#include "engine/tool_command.h"
#include "vpd/vpd.h"

namespace {

// What a comment says about one object; problems also go to the caller.
class Notes {
  public:
    Notes(std::vector<std::string>& problems, std::string where)
        : problems_(problems), where_(std::move(where)) {}

    void note(std::string text) { comments_.push_back(std::move(text)); }
    void problem(std::string text) {
        problems_.push_back(where_ + ": " + text);
        note(std::move(text));
    }
    void add_to(JsonObject& object) const {
        std::string joined;
        for (const std::string& c : comments_) joined += (joined.empty() ? "" : "; ") + c;
        if (!joined.empty()) object.text("comment", joined);
    }

  private:
    std::vector<std::string>& problems_;
    std::string where_;
    std::vector<std::string> comments_;
};

std::string hex_number(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string hex_bytes(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

std::string answered(const char* call, uint32_t result) {
    return std::string(call) + " answered " + std::to_string(result);
}

// A text the library handed over, with a note when it held bytes a JSON
// text cannot carry as they are.
void put_text(JsonObject& o, std::string_view key, std::string_view text, Notes& notes) {
    bool replaced = false;
    o.raw(key, json_string(text, &replaced));
    if (replaced)
        notes.problem(std::string(key) + " holds bytes that are not UTF-8, written as Latin-1");
}

// A fixed text field; one that fills its field without a NUL is cut there.
std::string_view field(std::span<const char> bytes, std::string_view key, Notes& notes) {
    const std::string_view text = field_text(bytes);
    if (text.size() == bytes.size())
        notes.problem(std::string(key) + " fills its " + std::to_string(bytes.size()) +
                      " bytes without a NUL; kept up to the end of its field");
    return text;
}

std::string adapter_name(const std::vector<FunctionCapture>& functions, const AdapterCapture& a) {
    const std::size_t first = a.functions.front();
    const FunctionCapture& f = functions[first];
    if (f.phyNicResult != AdpmSuccess) return "function-" + std::to_string(first);
    return "bus" + std::to_string(f.phyNic.bus) + "-dev" + std::to_string(f.phyNic.device);
}

void put_record(JsonObject& o, const FunctionCapture& f, Notes& notes) {
    const PhyNicRecord& r = f.phyNic;
    if (r.handle != f.handle)
        notes.problem("its record names handle " + std::to_string(r.handle) + ", the handle list " +
                      std::to_string(f.handle));
    o.number("type", r.adapterType);
    put_text(o, "description", field_text(r.description), notes);
    o.boolean("enabled", r.enabled != 0);
    o.text("vendorId", hex_number(r.vendorId));
    o.text("deviceId", hex_number(r.deviceId));
    o.text("subVendorId", hex_number(r.subVendorId));
    o.text("subDeviceId", hex_number(r.subDeviceId));
    o.number("bus", r.bus);
    o.number("device", r.device);
    o.number("function", r.function);
}

std::string mac_text(const uint8_t (&mac)[6]) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string function_json(const FunctionCapture& f, const std::string& adapter,
                          std::vector<std::string>& problems) {
    Notes notes(problems, "handle " + std::to_string(f.handle));
    JsonObject o;
    if (f.nameResult == AdpmSuccess)
        put_text(o, "serviceName", field(f.serviceName, "serviceName", notes), notes);
    else
        notes.problem(answered("AdpmGetServiceName", f.nameResult) + ": no service name");
    o.text("adapter", adapter);
    o.number("handle", f.handle);
    if (f.phyNicResult == AdpmSuccess)
        put_record(o, f, notes);
    else
        notes.problem(answered("AdpmGetPhyNic", f.phyNicResult) +
                      ": type, description, state, IDs and location left out");
    if (f.infoResult == AdpmSuccess) {
        o.text("chipRevisionId", hex_number(f.info.chipRevisionId));
        o.text("mac", mac_text(f.info.mac));
    } else {
        notes.problem(answered("AdpmGetVXLRNicInfoEx", f.infoResult) +
                      ": chip revision and MAC left out (the bench then makes up a MAC)");
    }
    notes.add_to(o);
    return o.line();
}

struct FirmwareText {
    const char* key;
    std::size_t offset, size;
};

#define FIRMWARE_TEXT(key, member)                                                    \
    FirmwareText {                                                                    \
        key, offsetof(FirmwareInfoRecord, member), sizeof(FirmwareInfoRecord::member) \
    }
constexpr FirmwareText FirmwareTexts[] = {
    FIRMWARE_TEXT("extPhy", extPhyVersion), FIRMWARE_TEXT("ipmi", ipmiVersion),
    FIRMWARE_TEXT("bta", btaVersion),       FIRMWARE_TEXT("iscsi", iscsiVersion),
    FIRMWARE_TEXT("ncsi", ncsiVersion),     FIRMWARE_TEXT("uefi", uefiVersion),
    FIRMWARE_TEXT("cfx", cfxVersion),
};
#undef FIRMWARE_TEXT

std::string firmware_json(const FirmwareInfoRecord& info, Notes& notes) {
    JsonObject o;
    const BootcodeVersion bootcode = bootcode_version(info);
    o.text("bootcode", std::to_string(bootcode.major) + "." + std::to_string(bootcode.minor));
    const auto* bytes = reinterpret_cast<const char*>(&info);
    for (const FirmwareText& t : FirmwareTexts)
        put_text(o, t.key, field(std::span(bytes + t.offset, t.size), t.key, notes), notes);
    return o.line();
}

// The non-zero runs of the image; zero gaps shorter than a segment's own
// overhead stay inside it.
std::string segments_json(std::span<const uint8_t> image) {
    constexpr std::size_t ShortGap = 16;
    std::vector<std::string> segments;
    std::size_t at = 0;
    while (at < image.size()) {
        if (image[at] == 0) {
            ++at;
            continue;
        }
        std::size_t end = at, zeros = 0;
        for (std::size_t i = at; i < image.size() && zeros < ShortGap; ++i) {
            zeros = image[i] == 0 ? zeros + 1 : 0;
            if (zeros == 0) end = i + 1;
        }
        segments.push_back(JsonObject()
                               .text("offset", hex_number(static_cast<uint32_t>(at)))
                               .text("hex", hex_bytes(image.subspan(at, end - at)))
                               .line());
        at = end;
    }
    return json_array_line(segments);
}

std::vector<uint8_t> nvram_image(const Capture& capture, const AdapterCapture& a, Notes& notes) {
    if (!a.nvram.empty()) return a.nvram;
    std::size_t size = a.nvramSize;
    if (size == 0) {
        size = VpdNvramOffset + a.vpd.size();
        notes.problem("the NVRAM's size could not be read; the image ends after its VPD area");
    }
    std::vector<uint8_t> image(size);
    if (VpdNvramOffset < size) {
        const std::size_t n = std::min(a.vpd.size(), size - VpdNvramOffset);
        std::copy_n(a.vpd.begin(), n, image.begin() + VpdNvramOffset);
    }
    if (!capture.withNvram)
        notes.note("of the NVRAM only the VPD area was read (qik_capture --nvram dumps it whole)");
    return image;
}

void put_nvram(JsonObject& o, const Capture& capture, const AdapterCapture& a, Notes& notes) {
    if (a.vpd.empty())
        notes.problem(answered("AdpmReadFirmware", a.vpdResult) + " for the VPD area");
    if (a.vpd.empty() && a.nvram.empty()) return;
    const std::vector<uint8_t> image = nvram_image(capture, a, notes);
    o.raw("nvram",
          JsonObject().number("size", image.size()).raw("segments", segments_json(image)).line());
}

void put_ext_vpd(JsonObject& o, const AdapterCapture& a, Notes& notes) {
    constexpr uint32_t NoExtVpd = 10;
    if (a.extVpdResult == NoExtVpd) return;
    if (a.extVpdResult != AdpmSuccess) {
        notes.problem(answered("AdpmGetExtVPD", a.extVpdResult) + " (length " +
                      std::to_string(a.extVpdClaimed) + "): the extended VPD is left out");
        return;
    }
    o.text("extVpd", hex_bytes(a.extVpd));
    if (a.extVpdClaimed != a.extVpd.size()) o.number("extVpdLength", a.extVpdClaimed);
}

void put_tool_view(JsonObject& o, const AdapterCapture& a, Notes& notes) {
    if (!a.toolProblem.empty()) notes.problem(a.toolProblem);
    if (!a.probeExit || *a.probeExit == 0) {
        if (a.dumpExit && *a.dumpExit != 0)
            notes.problem("the tool's dumpnvram exited " + std::to_string(*a.dumpExit) +
                          "; the NVRAM outside the VPD area is left out");
        return;
    }
    if (*a.probeExit == ToolExitDriverNotSupported) {
        o.boolean("driverSupported", false);
        notes.note("the tool's dir says the driver is not supported; the NVRAM was not dumped");
    } else {
        notes.problem("the tool's dir exited " + std::to_string(*a.probeExit) +
                      "; the NVRAM was not dumped");
    }
}

std::string adapter_json(const Capture& capture, const AdapterCapture& a, const std::string& name,
                         std::vector<std::string>& problems) {
    Notes notes(problems, "adapter " + name);
    JsonObject o;
    if (!a.readThrough) {
        notes.note(
            "no function of it is enabled, or none has its record: the library reports "
            "firmware and VPD only through an enabled function, and qik_capture enables "
            "none, so firmware, VPD and NVRAM are left out");
        notes.add_to(o);
        return o.line();
    }
    if (a.firmwareResult == AdpmSuccess) {
        o.raw("firmware", firmware_json(a.firmware, notes));
        o.boolean("extendedVpd", a.firmware.extVpd != 0);
    } else {
        notes.problem(answered("AdpmGetFirmwareInfo", a.firmwareResult) +
                      ": installed components and the extended-VPD flag left out");
    }
    put_nvram(o, capture, a, notes);
    put_ext_vpd(o, a, notes);
    put_tool_view(o, a, notes);
    notes.add_to(o);
    return o.line();
}

std::string library_json(const Capture& c, Notes& notes) {
    if (c.initResult != AdpmSuccess)
        notes.problem(answered("AdpmInitialize", c.initResult) + ": nothing was enumerated");
    else if (c.countResult != AdpmSuccess)
        notes.problem(answered("AdpmGetNumPhyNic", c.countResult) + ": no function was read");
    else if (c.handlesResult != AdpmSuccess)
        notes.problem(answered("AdpmGetAllPhyNicHandles", c.handlesResult) +
                      ": no function was read");
    if (c.count > MaxCapturedFunctions)
        notes.problem("the library reports " + std::to_string(c.count) +
                      " functions; only the first " + std::to_string(MaxCapturedFunctions) +
                      " were read");
    JsonObject o;
    o.text("version",
           std::to_string(c.major) + "." + std::to_string(c.minor) + "." + std::to_string(c.build));
    notes.add_to(o);
    return o.line();
}

std::string header_comment(const Capture& c) {
    std::string text = "What " + std::string(AdpmLibraryPath) +
                       " reported, captured read-only by qik_capture. Not known to it: faults, "
                       "write protection, handles after a refresh, and the qmx and fcoe "
                       "versions, which the firmware record does not carry";
    if (!c.withNvram) text += "; NVRAM outside the VPD area not read";
    if (c.anonymized) text += "; MAC addresses and VPD serial numbers replaced by stand-ins";
    return text;
}

}  // namespace

BenchText write_bench(const Capture& capture) {
    BenchText out;
    Notes libraryNotes(out.problems, "library");
    JsonObject adapters, root;
    std::vector<std::string> functions(capture.functions.size());
    for (const AdapterCapture& a : capture.adapters) {
        if (a.functions.empty()) continue;
        const std::string name = adapter_name(capture.functions, a);
        adapters.raw(name, adapter_json(capture, a, name, out.problems));
        for (const std::size_t i : a.functions)
            if (i < functions.size())
                functions[i] = function_json(capture.functions[i], name, out.problems);
    }
    std::erase(functions, std::string());
    root.text("comment", header_comment(capture));
    root.raw("library", library_json(capture, libraryNotes));
    root.raw("adapters", adapters.lines(4));
    root.raw("functions", json_array_lines(functions, 4));
    out.json = root.lines(2) + "\n";
    return out;
}
