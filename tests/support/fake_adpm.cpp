#include "support/fake_adpm.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"

namespace {

FakeAdpm state;

uint32_t current_handle(const FakeFunction& f) {
    return state.refreshed && f.handleAfterRefresh != 0 ? f.handleAfterRefresh : f.handle;
}

// Logs the call and answers the injected failure for it, if any.
uint32_t answer(const std::string& call, const std::string& args, uint32_t result) {
    const unsigned n = ++state.callCounts[call];
    if (auto it = state.failures.find(call); it != state.failures.end()) {
        if (it->second.occurrence == 0 || it->second.occurrence == n) result = it->second.result;
    }
    state.calls.push_back(call + "(" + args + ")=" + std::to_string(result));
    return result;
}

bool injected(const std::string& call, const std::string& args, uint32_t& result) {
    result = answer(call, args, 0);
    return result != 0;
}

uint32_t GetVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
    *major = state.major;
    *minor = state.minor;
    *build = state.build;
    return answer("AdpmGetVersion", "", 0);
}
uint32_t Initialize() {
    return answer("AdpmInitialize", "", 0);
}
uint32_t Uninitialize() {
    return answer("AdpmUninitialize", "", 0);
}
uint32_t GetNumPhyNic(uint32_t* count) {
    uint32_t r;
    if (injected("AdpmGetNumPhyNic", "", r)) return r;
    *count = static_cast<uint32_t>(state.functions.size());
    return 0;
}
uint32_t GetAllPhyNicHandles(uint32_t* handles, uint32_t count) {
    uint32_t r;
    if (injected("AdpmGetAllPhyNicHandles", std::to_string(count), r)) return r;
    for (uint32_t i = 0; i < count && i < state.functions.size(); ++i)
        handles[i] = current_handle(state.functions[i]);
    return 0;
}
uint32_t GetPhyNic(uint32_t handle, void* out) {
    uint32_t r;
    if (injected("AdpmGetPhyNic", std::to_string(handle), r)) return r;
    FakeFunction* f = state.find(handle);
    auto* rec = static_cast<PhyNicRecord*>(out);
    if (f == nullptr || rec->version != PhyNicRecordVersion) return 2;
    rec->adapterType = f->adapterType;
    rec->handle = handle;
    std::memset(rec->description, 0, sizeof rec->description);
    std::memcpy(rec->description, f->description.data(),
                std::min(f->description.size(), sizeof rec->description));
    rec->enabled = f->enabled;
    rec->vendorId = f->vendorId;
    rec->deviceId = f->deviceId;
    rec->subVendorId = f->subVendorId;
    rec->subDeviceId = f->subDeviceId;
    rec->bus = f->bus;
    rec->device = f->device;
    rec->function = f->function;
    return 0;
}
uint32_t GetServiceName(uint32_t handle, char* buffer, uint32_t size) {
    uint32_t r;
    if (injected("AdpmGetServiceName", std::to_string(handle), r)) return r;
    FakeFunction* f = state.find(handle);
    if (f == nullptr) return 2;
    copy_text(std::span<char>(buffer, size), f->serviceName);
    return 0;
}
uint32_t EnableDevice(uint32_t handle, uint32_t enable) {
    uint32_t r;
    if (injected("AdpmEnableDevice", std::to_string(handle) + "," + std::to_string(enable), r))
        return r;
    FakeFunction* f = state.find(handle);
    if (f == nullptr) return 2;
    f->enabled = enable;
    return 0;
}
uint32_t RefreshData() {
    uint32_t r;
    if (injected("AdpmRefreshData", "", r)) return r;
    state.refreshed = true;
    return 0;
}
uint32_t GetHandleByServiceName(const char* name, uint32_t* handle) {
    uint32_t r;
    if (injected("AdpmGetHandleByServiceName", name, r)) return r;
    for (const FakeFunction& f : state.functions) {
        if (f.serviceName == name) {
            *handle = current_handle(f);
            return 0;
        }
    }
    return 2;
}
uint32_t GetNicInfoEx(uint32_t handle, void* out) {
    uint32_t r;
    if (injected("AdpmGetVXLRNicInfoEx", std::to_string(handle), r)) return r;
    FakeFunction* f = state.find(handle);
    auto* rec = static_cast<NicInfoExRecord*>(out);
    if (f == nullptr || rec->version != NicInfoExRecordVersion) return 2;
    rec->chipRevisionId = f->chipRevisionId;
    std::memcpy(rec->mac, f->mac.data(), sizeof rec->mac);
    return 0;
}
uint32_t GetFirmwareInfo(uint32_t handle, void* out) {
    uint32_t r;
    if (injected("AdpmGetFirmwareInfo", std::to_string(handle), r)) return r;
    FakeFunction* f = state.find(handle);
    auto* rec = static_cast<FirmwareInfoRecord*>(out);
    if (f == nullptr || rec->version != FirmwareInfoRecordVersion) return 2;
    *rec = f->firmware;
    rec->version = FirmwareInfoRecordVersion;
    return 0;
}
uint32_t GetExtVPD(uint32_t handle, uint8_t* buffer, uint32_t* length) {
    uint32_t r;
    if (injected("AdpmGetExtVPD", std::to_string(handle) + "," + std::to_string(*length), r))
        return r;
    FakeFunction* f = state.find(handle);
    if (f == nullptr) return 2;
    const std::size_t n = std::min<std::size_t>(*length, f->extVpd.size());
    if (n > 0) std::memcpy(buffer, f->extVpd.data(), n);
    *length = static_cast<uint32_t>(f->extVpd.size());  // may claim more than fits
    return 0;
}
uint32_t InitDiag(uint32_t handle) {
    ++state.diagOpen[handle];
    return answer("AdpmInitDiag", std::to_string(handle), 0);
}
uint32_t UnInitDiag(uint32_t handle) {
    --state.diagOpen[handle];
    return answer("AdpmUnInitDiag", std::to_string(handle), 0);
}
// Raw access: needs an open bracket, the key, and stays inside the NVRAM.
FakeFunction* raw_target(uint32_t handle, uint32_t offset, uint32_t words, const char* key) {
    FakeFunction* f = state.find(handle);
    if (f == nullptr || state.diagOpen[handle] <= 0 || std::strcmp(key, AdpmAccessKey) != 0)
        return nullptr;
    if (std::size_t{offset} + std::size_t{words} * 4 > f->nvram.size()) return nullptr;
    return f;
}
std::string raw_args(uint32_t handle, uint32_t offset, uint32_t words) {
    return std::to_string(handle) + "," + std::to_string(offset) + "," + std::to_string(words);
}
uint32_t ReadFirmware(uint32_t handle, uint32_t offset, uint32_t* buffer, uint32_t words,
                      const char* key) {
    uint32_t r;
    if (injected("AdpmReadFirmware", raw_args(handle, offset, words), r)) return r;
    FakeFunction* f = raw_target(handle, offset, words, key);
    if (f == nullptr) return 3;
    std::memcpy(buffer, f->nvram.data() + offset, std::size_t{words} * 4);
    return 0;
}
uint32_t WriteFirmware(uint32_t handle, uint32_t offset, uint32_t* buffer, uint32_t words,
                       const char* key) {
    uint32_t r;
    if (injected("AdpmWriteFirmware", raw_args(handle, offset, words), r)) return r;
    FakeFunction* f = raw_target(handle, offset, words, key);
    if (f == nullptr) return 3;
    std::memcpy(f->nvram.data() + offset, buffer, std::size_t{words} * 4);
    return 0;
}

}  // namespace

FakeFunction* FakeAdpm::find(uint32_t handle) {
    for (FakeFunction& f : functions)
        if (current_handle(f) == handle) return &f;
    return nullptr;
}

std::vector<std::string> FakeAdpm::calls_of(const std::string& call) const {
    std::vector<std::string> found;
    for (const std::string& c : calls)
        if (c.compare(0, call.size() + 1, call + "(") == 0) found.push_back(c);
    return found;
}

FakeAdpm& fake_adpm() {
    return state;
}

FakeAdpm& install_fake_adpm() {
    state = FakeAdpm{};
    state.api =
        AdpmApi{GetVersion,   Initialize,      Uninitialize, GetNumPhyNic, GetAllPhyNicHandles,
                GetPhyNic,    GetServiceName,  EnableDevice, RefreshData,  GetHandleByServiceName,
                GetNicInfoEx, GetFirmwareInfo, GetExtVPD,    InitDiag,     UnInitDiag,
                ReadFirmware, WriteFirmware};
    return state;
}
