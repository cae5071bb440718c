// adpm_show: asks the management library in the working directory
// ("./libadpm_x64.so.6") what it reports, the way the utility would, and
// prints it. For people looking at a bench, the demo, and the bench's own
// tests (it is a second process that reads what the tool wrote).
//
//   adpm_show            every function as JSON
//   adpm_show --summary  one line per function with the installed versions
//   adpm_show --enable SERVICE | --disable SERVICE
//                           AdpmEnableDevice on that function
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adpm/adpm.h"

namespace {

using json = nlohmann::json;

template <typename Fn>
Fn symbol(void* library, const char* name) {
    void* s = dlsym(library, name);
    if (s == nullptr) {
        std::fprintf(stderr, "adpm_show: the library lacks %s\n", name);
        std::exit(2);
    }
    Fn fn;
    std::memcpy(&fn, &s, sizeof fn);
    return fn;
}

std::string text_at(const void* record, std::size_t offset, std::size_t size) {
    const char* p = static_cast<const char*>(record) + offset;
    std::size_t n = 0;
    while (n < size && p[n] != '\0') ++n;
    return std::string(p, n);
}

std::string hex(const uint8_t* bytes, std::size_t size) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    void* library = dlopen("./libadpm_x64.so.6", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "adpm_show: %s\n", dlerror());
        return 2;
    }
    AdpmApi a{};
    a.AdpmGetVersion = symbol<decltype(a.AdpmGetVersion)>(library, "AdpmGetVersion");
    a.AdpmInitialize = symbol<decltype(a.AdpmInitialize)>(library, "AdpmInitialize");
    a.AdpmUninitialize = symbol<decltype(a.AdpmUninitialize)>(library, "AdpmUninitialize");
    a.AdpmGetNumPhyNic = symbol<decltype(a.AdpmGetNumPhyNic)>(library, "AdpmGetNumPhyNic");
    a.AdpmGetAllPhyNicHandles = symbol<decltype(a.AdpmGetAllPhyNicHandles)>(library, "AdpmGetAllPhyNicHandles");
    a.AdpmGetPhyNic = symbol<decltype(a.AdpmGetPhyNic)>(library, "AdpmGetPhyNic");
    a.AdpmGetServiceName = symbol<decltype(a.AdpmGetServiceName)>(library, "AdpmGetServiceName");
    a.AdpmEnableDevice = symbol<decltype(a.AdpmEnableDevice)>(library, "AdpmEnableDevice");
    a.AdpmGetVXLRNicInfoEx = symbol<decltype(a.AdpmGetVXLRNicInfoEx)>(library, "AdpmGetVXLRNicInfoEx");
    a.AdpmGetFirmwareInfo = symbol<decltype(a.AdpmGetFirmwareInfo)>(library, "AdpmGetFirmwareInfo");
    a.AdpmGetExtVPD = symbol<decltype(a.AdpmGetExtVPD)>(library, "AdpmGetExtVPD");
    a.AdpmInitDiag = symbol<decltype(a.AdpmInitDiag)>(library, "AdpmInitDiag");
    a.AdpmUnInitDiag = symbol<decltype(a.AdpmUnInitDiag)>(library, "AdpmUnInitDiag");
    a.AdpmReadFirmware = symbol<decltype(a.AdpmReadFirmware)>(library, "AdpmReadFirmware");

    uint32_t major = 0, minor = 0, build = 0;
    a.AdpmGetVersion(&major, &minor, &build);
    if (a.AdpmInitialize() != 0) {
        std::fprintf(stderr, "adpm_show: AdpmInitialize failed\n");
        return 1;
    }
    uint32_t count = 0;
    if (a.AdpmGetNumPhyNic(&count) != 0) {
        std::fprintf(stderr, "adpm_show: AdpmGetNumPhyNic failed\n");
        return 1;
    }
    std::vector<uint32_t> handles(count);
    if (a.AdpmGetAllPhyNicHandles(handles.data(), count) != 0) {
        std::fprintf(stderr, "adpm_show: AdpmGetAllPhyNicHandles failed\n");
        return 1;
    }

    if (mode == "--enable" || mode == "--disable") {
        const std::string wanted = argc > 2 ? argv[2] : "";
        for (const uint32_t h : handles) {
            char name[16] = {};
            if (a.AdpmGetServiceName(h, name, sizeof name) == 0 && wanted == name) {
                const uint32_t r = a.AdpmEnableDevice(h, mode == "--enable" ? 1 : 0);
                std::printf("AdpmEnableDevice(%s)=%u\n", name, r);
                a.AdpmUninitialize();
                return r == 0 || r == 251 ? 0 : 1;
            }
        }
        std::fprintf(stderr, "adpm_show: no function %s\n", wanted.c_str());
        return 1;
    }

    json out = {{"version", std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build)},
                {"functions", json::array()}};
    for (const uint32_t h : handles) {
        json f = {{"handle", h}};
        PhyNicRecord phy{};
        phy.version = PhyNicRecordVersion;
        if (a.AdpmGetPhyNic(h, &phy) == 0) {
            f["type"] = phy.adapterType;
            f["description"] = text_at(&phy, offsetof(PhyNicRecord, description), 80);
            f["enabled"] = phy.enabled != 0;
            char ids[64];
            std::snprintf(ids, sizeof ids, "%04x:%04x %04x:%04x", phy.vendorId, phy.deviceId, phy.subVendorId,
                          phy.subDeviceId);
            f["ids"] = ids;
            std::snprintf(ids, sizeof ids, "%u:%u.%u", phy.bus, phy.device, phy.function);
            f["location"] = ids;
        }
        char name[16] = {};
        if (a.AdpmGetServiceName(h, name, sizeof name) == 0) f["serviceName"] = name;
        NicInfoExRecord info{};
        info.version = NicInfoExRecordVersion;
        if (a.AdpmGetVXLRNicInfoEx(h, &info) == 0) {
            f["chipRevisionId"] = info.chipRevisionId;
            f["mac"] = hex(info.mac, 6);
        }
        FirmwareInfoRecord fw{};
        fw.version = FirmwareInfoRecordVersion;
        if (a.AdpmGetFirmwareInfo(h, &fw) == 0) {
            const unsigned word = fw.bootcodeVersion;
            char bc[16];
            std::snprintf(bc, sizeof bc, "%u.%02u", word & 0xFF, word >> 8);
            f["firmware"] = {{"bootcode", bc},
                             {"extPhy", text_at(&fw, 484, 32)},
                             {"ipmi", text_at(&fw, 516, 16)},
                             {"bta", text_at(&fw, 532, 24)},
                             {"iscsi", text_at(&fw, 556, 36)},
                             {"ncsi", text_at(&fw, 592, 24)},
                             {"uefi", text_at(&fw, 668, 32)},
                             {"cfx", text_at(&fw, 804, 32)},
                             {"extendedVpd", fw.extVpd != 0}};
            if (fw.extVpd != 0) {
                uint8_t blob[512] = {};
                uint32_t length = sizeof blob;
                if (a.AdpmGetExtVPD(h, blob, &length) == 0)
                    f["extVpd"] = hex(blob, length < sizeof blob ? length : sizeof blob);
            }
            uint32_t words[64] = {};
            if (a.AdpmInitDiag(h) == 0) {
                if (a.AdpmReadFirmware(h, 0x100, words, 64, AdpmAccessKey) == 0)
                    f["vpd"] = hex(reinterpret_cast<const uint8_t*>(words), sizeof words);
                a.AdpmUnInitDiag(h);
            }
        }
        out["functions"].push_back(f);
    }
    a.AdpmUninitialize();

    if (mode == "--summary") {
        std::printf("%-8s %-9s %-13s %-7s %-8s %-8s %-8s %-8s %-8s %-8s %-8s %s\n", "service", "location", "mac",
                    "enabled", "bootcode", "bta", "ncsi", "ipmi", "iscsi", "uefi", "cfx", "extPhy");
        for (const json& f : out["functions"]) {
            const json fw = f.value("firmware", json::object());
            auto v = [&](const char* key) {
                const std::string s = fw.value(key, std::string());
                return s.empty() ? std::string("-") : s;
            };
            std::printf("%-8s %-9s %-13s %-7s %-8s %-8s %-8s %-8s %-8s %-8s %-8s %s\n",
                        f.value("serviceName", std::string("?")).c_str(),
                        f.value("location", std::string("?")).c_str(), f.value("mac", std::string("-")).c_str(),
                        f.value("enabled", false) ? "yes" : "no", v("bootcode").c_str(), v("bta").c_str(),
                        v("ncsi").c_str(), v("ipmi").c_str(), v("iscsi").c_str(), v("uefi").c_str(),
                        v("cfx").c_str(), v("extPhy").c_str());
        }
        return 0;
    }
    std::printf("%s\n", out.dump(2).c_str());
    return 0;
}
