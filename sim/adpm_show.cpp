// adpm_show: asks the management library in the working directory
// ("./libadpm_x64.so.6") what it reports, the way the utility would, and
// prints it. For people looking at a bench, the demo, and the bench's own
// tests (it is a second process that reads what the tool wrote).
//
//   adpm_show            every function as JSON
//   adpm_show --summary  one line per function with the installed versions
//   adpm_show --enable SERVICE | --disable SERVICE
//                           AdpmEnableDevice on that function
//
// It loads the library and reads its records through the utility's own
// definitions (src/adpm/adpm.h).
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adpm/adpm.h"
#include "common/text.h"
#include "vpd/vpd.h"

namespace {

using json = nlohmann::json;

constexpr int ExitFailed = 1;
constexpr int ExitNoLibrary = 2;

std::string hex(const uint8_t* bytes, std::size_t size) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

std::string service_name(const AdpmApi& a, uint32_t handle, bool& found) {
    char name[16] = {};
    found = a.AdpmGetServiceName(handle, name, sizeof name) == AdpmSuccess;
    return name;
}

// --enable and --disable: the exit status.
int enable(const AdpmApi& a, const std::vector<uint32_t>& handles, const std::string& wanted,
           bool on) {
    for (const uint32_t h : handles) {
        bool found = false;
        const std::string name = service_name(a, h, found);
        if (!found || name != wanted) continue;
        const uint32_t r = a.AdpmEnableDevice(h, on ? 1 : 0);
        std::printf("AdpmEnableDevice(%s)=%u\n", name.c_str(), r);
        a.AdpmUninitialize();
        return r == AdpmSuccess || r == AdpmEnableAlreadyOn ? 0 : ExitFailed;
    }
    std::fprintf(stderr, "adpm_show: no function %s\n", wanted.c_str());
    return ExitFailed;
}

void describe_phy_nic(const AdpmApi& a, uint32_t h, json& f) {
    PhyNicRecord phy{};
    phy.version = PhyNicRecordVersion;
    if (a.AdpmGetPhyNic(h, &phy) != AdpmSuccess) return;
    f["type"] = phy.adapterType;
    f["description"] = std::string(field_text(phy.description));
    f["enabled"] = phy.enabled != 0;
    char text[64];
    std::snprintf(text, sizeof text, "%04x:%04x %04x:%04x", phy.vendorId, phy.deviceId,
                  phy.subVendorId, phy.subDeviceId);
    f["ids"] = text;
    std::snprintf(text, sizeof text, "%u:%u.%u", phy.bus, phy.device, phy.function);
    f["location"] = text;
}

void describe_nic_info(const AdpmApi& a, uint32_t h, json& f) {
    NicInfoExRecord info{};
    info.version = NicInfoExRecordVersion;
    if (a.AdpmGetVXLRNicInfoEx(h, &info) != AdpmSuccess) return;
    f["chipRevisionId"] = info.chipRevisionId;
    f["mac"] = hex(info.mac, sizeof info.mac);
}

json firmware_of(const FirmwareInfoRecord& fw) {
    const BootcodeVersion bootcode = bootcode_version(fw);
    char bc[16];
    std::snprintf(bc, sizeof bc, "%u.%02u", bootcode.major, bootcode.minor);
    const auto text = [](const auto& field) { return std::string(field_text(field)); };
    return {{"bootcode", bc},
            {"extPhy", text(fw.extPhyVersion)},
            {"ipmi", text(fw.ipmiVersion)},
            {"bta", text(fw.btaVersion)},
            {"iscsi", text(fw.iscsiVersion)},
            {"ncsi", text(fw.ncsiVersion)},
            {"uefi", text(fw.uefiVersion)},
            {"cfx", text(fw.cfxVersion)},
            {"extendedVpd", fw.extVpd != 0}};
}

void describe_vpd(const AdpmApi& a, uint32_t h, bool extended, json& f) {
    if (extended) {
        uint8_t blob[ExtVpdCapacity] = {};
        uint32_t length = sizeof blob;
        if (a.AdpmGetExtVPD(h, blob, &length) == AdpmSuccess)
            f["extVpd"] = hex(blob, length < sizeof blob ? length : sizeof blob);
    }
    uint32_t words[VpdAreaWords] = {};
    if (a.AdpmInitDiag(h) != AdpmSuccess) return;
    if (a.AdpmReadFirmware(h, VpdNvramOffset, words, VpdAreaWords, AdpmAccessKey) == AdpmSuccess)
        f["vpd"] = hex(reinterpret_cast<const uint8_t*>(words), sizeof words);
    a.AdpmUnInitDiag(h);
}

json describe_function(const AdpmApi& a, uint32_t h) {
    json f = {{"handle", h}};
    describe_phy_nic(a, h, f);
    bool named = false;
    const std::string name = service_name(a, h, named);
    if (named) f["serviceName"] = name;
    describe_nic_info(a, h, f);
    FirmwareInfoRecord fw{};
    fw.version = FirmwareInfoRecordVersion;
    if (a.AdpmGetFirmwareInfo(h, &fw) == AdpmSuccess) {
        f["firmware"] = firmware_of(fw);
        describe_vpd(a, h, fw.extVpd != 0, f);
    }
    return f;
}

constexpr char SummaryForm[] = "%-8s %-9s %-13s %-7s %-8s %-8s %-8s %-8s %-8s %-8s %-8s %s\n";

void print_summary(const json& out) {
    std::printf(SummaryForm, "service", "location", "mac", "enabled", "bootcode", "bta", "ncsi",
                "ipmi", "iscsi", "uefi", "cfx", "extPhy");
    for (const json& f : out["functions"]) {
        const json fw = f.value("firmware", json::object());
        const auto v = [&](const char* key) {
            const std::string s = fw.value(key, std::string());
            return s.empty() ? std::string("-") : s;
        };
        std::printf(SummaryForm, f.value("serviceName", std::string("?")).c_str(),
                    f.value("location", std::string("?")).c_str(),
                    f.value("mac", std::string("-")).c_str(),
                    f.value("enabled", false) ? "yes" : "no", v("bootcode").c_str(),
                    v("bta").c_str(), v("ncsi").c_str(), v("ipmi").c_str(), v("iscsi").c_str(),
                    v("uefi").c_str(), v("cfx").c_str(), v("extPhy").c_str());
    }
}

bool failed(const char* call) {
    std::fprintf(stderr, "adpm_show: %s failed\n", call);
    return false;
}

// The handles of every function; false, said on standard error, when the
// library cannot give them.
bool list_functions(const AdpmApi& a, std::vector<uint32_t>& handles) {
    if (a.AdpmInitialize() != AdpmSuccess) return failed("AdpmInitialize");
    uint32_t count = 0;
    if (a.AdpmGetNumPhyNic(&count) != AdpmSuccess) return failed("AdpmGetNumPhyNic");
    handles.resize(count);
    if (a.AdpmGetAllPhyNicHandles(handles.data(), count) != AdpmSuccess)
        return failed("AdpmGetAllPhyNicHandles");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    AdpmLibrary library;
    AdpmApi a{};
    std::string problem;
    if (!library.load(AdpmLibraryPath, a, problem)) {
        std::fprintf(stderr, "adpm_show: %s\n", problem.c_str());
        return ExitNoLibrary;
    }
    uint32_t major = 0, minor = 0, build = 0;
    a.AdpmGetVersion(&major, &minor, &build);
    std::vector<uint32_t> handles;
    if (!list_functions(a, handles)) return ExitFailed;
    if (mode == "--enable" || mode == "--disable")
        return enable(a, handles, argc > 2 ? argv[2] : "", mode == "--enable");

    json out = {{"version",
                 std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build)},
                {"functions", json::array()}};
    for (const uint32_t h : handles) out["functions"].push_back(describe_function(a, h));
    a.AdpmUninitialize();
    if (mode == "--summary")
        print_summary(out);
    else
        std::printf("%s\n", out.dump(2).c_str());
    return 0;
}
