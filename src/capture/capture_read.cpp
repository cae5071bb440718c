// Reading the server: only calls that report, the raw NVRAM reads the
// utility itself makes, and with "--nvram" the tool's "dir" and "dumpnvram"
// into a file outside the working directory. Nothing is enabled or written.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "capture/capture.h"
#include "engine/tool_command.h"
#include "vpd/vpd.h"

namespace {

FunctionCapture read_function(const AdpmApi& adpm, uint32_t handle) {
    FunctionCapture f;
    f.handle = handle;
    f.nameResult = adpm.AdpmGetServiceName(handle, f.serviceName.data(), ServiceNameSize);
    f.phyNic.version = PhyNicRecordVersion;
    f.phyNicResult = adpm.AdpmGetPhyNic(handle, &f.phyNic);
    f.info.version = NicInfoExRecordVersion;
    f.infoResult = adpm.AdpmGetVXLRNicInfoEx(handle, &f.info);
    return f;
}

std::vector<FunctionCapture> read_functions(const AdpmApi& adpm, Capture& capture) {
    std::vector<uint32_t> handles(std::min(capture.count, MaxCapturedFunctions));
    capture.handlesResult =
        adpm.AdpmGetAllPhyNicHandles(handles.data(), static_cast<uint32_t>(handles.size()));
    std::vector<FunctionCapture> functions;
    if (capture.handlesResult != AdpmSuccess) return functions;
    for (const uint32_t handle : handles) functions.push_back(read_function(adpm, handle));
    return functions;
}

// The blob as the utility asks for it; one that does not fit its buffer is
// asked for again in full, so that the replay answers as the library did.
void read_ext_vpd(const AdpmApi& adpm, AdapterCapture& a, uint32_t handle) {
    std::vector<uint8_t> buffer(ExtVpdCapacity);
    uint32_t length = ExtVpdCapacity;
    a.extVpdResult = adpm.AdpmGetExtVPD(handle, buffer.data(), &length);
    constexpr uint32_t BufferTooSmall = 11;
    if (a.extVpdResult == BufferTooSmall && length > ExtVpdCapacity && length <= MaxExtVpdBytes) {
        buffer.assign(length, 0);
        a.extVpdResult = adpm.AdpmGetExtVPD(handle, buffer.data(), &length);
    }
    a.extVpdClaimed = length;
    if (a.extVpdResult != AdpmSuccess) return;
    buffer.resize(std::min<std::size_t>(length, buffer.size()));
    a.extVpd = std::move(buffer);
}

std::vector<uint8_t> bytes_of(const std::vector<uint32_t>& words) {
    const auto* first = reinterpret_cast<const uint8_t*>(words.data());
    return {first, first + words.size() * sizeof(uint32_t)};
}

// The VPD area as the utility reads it; when that read gives nothing, the
// area's first 64 words as they are, so that the replay finds them unusable
// too.
void read_vpd_area(const AdpmApi& adpm, AdapterCapture& a, uint32_t handle) {
    if (const std::optional<VpdBuffer> vpd = read_nvram_vpd(adpm, handle, VpdNvramOffset)) {
        a.vpd = bytes_of(*vpd);
        return;
    }
    std::vector<uint32_t> words(VpdAreaWords);
    a.vpdResult = read_nvram(adpm, handle, VpdNvramOffset, words);
    if (a.vpdResult == AdpmSuccess) a.vpd = bytes_of(words);
}

bool word_readable(const AdpmApi& adpm, uint32_t handle, uint32_t offset) {
    uint32_t word = 0;
    return adpm.AdpmReadFirmware(handle, offset, &word, 1, AdpmAccessKey) == AdpmSuccess;
}

// The NVRAM ends where a one-word read first fails: the last readable word
// is looked for by halving, inside one diagnostic bracket.
uint32_t nvram_size(const AdpmApi& adpm, uint32_t handle) {
    const DiagnosticAccess access(adpm, handle);
    if (!word_readable(adpm, handle, 0)) return 0;
    uint32_t readable = 0, unreadable = MaxNvramBytes / 4;  // in words
    while (unreadable - readable > 1) {
        const uint32_t middle = readable + (unreadable - readable) / 2;
        (word_readable(adpm, handle, middle * 4) ? readable : unreadable) = middle;
    }
    return (readable + 1) * 4;
}

std::string mac_digits(const NicInfoExRecord& info) {
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", info.mac[0], info.mac[1],
                  info.mac[2], info.mac[3], info.mac[4], info.mac[5]);
    return text;
}

// A directory of its own for the dump, removed with it.
class DumpDirectory {
  public:
    DumpDirectory() {
        const char* tmp = getenv("TMPDIR");
        std::string base = tmp != nullptr && safe_in_shell(tmp) ? tmp : "/tmp";
        std::string pattern = base + "/qik_capture.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    }
    ~DumpDirectory() {
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    DumpDirectory(const DumpDirectory&) = delete;
    DumpDirectory& operator=(const DumpDirectory&) = delete;

    const std::string& dir() const { return dir_; }

  private:
    // The path goes into a shell command line unquoted, as the utility's
    // own file names do.
    static bool safe_in_shell(std::string_view path) {
        return !path.empty() && path.find_first_not_of(
                                    "abcdefghijklmnopqrstuvwxyz"
                                    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789/._-") == std::string_view::npos;
    }
    std::string dir_;
};

std::vector<uint8_t> read_and_remove(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    in.close();
    std::remove(path.c_str());
    return bytes;
}

// The tool's view of the adapter: whether its driver is supported, and the
// whole NVRAM image.
void read_with_tool(const ToolRunner& tools, AdapterCapture& a, const FunctionCapture& through,
                    const DumpDirectory& dump) {
    if (through.infoResult != AdpmSuccess) {
        a.toolProblem = "no MAC address is known to name the adapter to the tool";
        return;
    }
    const std::string mac = mac_digits(through.info);
    a.probeExit = tools.probe(mac.c_str());
    if (*a.probeExit != 0) return;
    if (dump.dir().empty()) {
        a.toolProblem = "no temporary directory could be made for the dump";
        return;
    }
    const std::string path = dump.dir() + "/nvram";
    // The dump takes no force prefix.
    const std::optional<std::string> line =
        tool_command_line(mac.c_str(), BackupOption, path.c_str(), 0, false);
    if (!line) {
        a.toolProblem = "the dump command does not fit the tool's command line";
        return;
    }
    a.dumpExit = tools.exit_code_of(*line);
    std::vector<uint8_t> image = read_and_remove(path);
    if (*a.dumpExit != 0) return;
    if (a.nvramSize != 0 && image.size() > a.nvramSize) image.resize(a.nvramSize);
    if (image.size() < a.nvramSize)
        a.toolProblem = "the dump holds " + std::to_string(image.size()) +
                        " bytes, fewer than the NVRAM the library reads";
    a.nvram = std::move(image);
}

void read_adapter(const AdpmApi& adpm, const ToolRunner& tools, AdapterCapture& a,
                  const std::vector<FunctionCapture>& functions, const DumpDirectory* dump) {
    for (const std::size_t i : a.functions)
        if (functions[i].phyNicResult == AdpmSuccess && functions[i].phyNic.enabled != 0) {
            a.readThrough = i;
            break;
        }
    if (!a.readThrough) return;
    const FunctionCapture& through = functions[*a.readThrough];
    a.firmware.version = FirmwareInfoRecordVersion;
    a.firmwareResult = adpm.AdpmGetFirmwareInfo(through.handle, &a.firmware);
    read_ext_vpd(adpm, a, through.handle);
    read_vpd_area(adpm, a, through.handle);
    a.nvramSize = nvram_size(adpm, through.handle);
    if (dump != nullptr) read_with_tool(tools, a, through, *dump);
}

}  // namespace

std::vector<AdapterCapture> group_functions(const std::vector<FunctionCapture>& functions) {
    std::vector<AdapterCapture> adapters;
    std::map<std::pair<uint32_t, uint32_t>, std::size_t> byLocation;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        const FunctionCapture& f = functions[i];
        if (f.phyNicResult != AdpmSuccess) {
            adapters.emplace_back().functions.push_back(i);
            continue;
        }
        const auto [at, added] =
            byLocation.try_emplace({f.phyNic.bus, f.phyNic.device}, adapters.size());
        if (added) adapters.emplace_back();
        adapters[at->second].functions.push_back(i);
    }
    return adapters;
}

Capture read_server(const AdpmApi& adpm, const ToolRunner& tools, bool withNvram) {
    Capture capture;
    capture.withNvram = withNvram;
    adpm.AdpmGetVersion(&capture.major, &capture.minor, &capture.build);
    const AdpmSession session(adpm);
    capture.initResult = session.result();
    if (capture.initResult == AdpmSuccess) {
        capture.countResult = adpm.AdpmGetNumPhyNic(&capture.count);
        if (capture.countResult == AdpmSuccess) capture.functions = read_functions(adpm, capture);
        capture.adapters = group_functions(capture.functions);
        std::optional<DumpDirectory> dump;
        if (withNvram) dump.emplace();
        for (AdapterCapture& a : capture.adapters)
            read_adapter(adpm, tools, a, capture.functions, dump ? &*dump : nullptr);
    }
    return capture;
}
