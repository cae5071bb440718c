#include "adpm/adpm.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/text.h"

AdpmApi Adpm{};

std::string_view firmware_info_text(const FirmwareInfoRecord& info, std::size_t offset) {
    if (offset >= sizeof info) return {};
    const auto* bytes = reinterpret_cast<const char*>(&info);
    return field_text(std::span<const char>(bytes + offset, sizeof info - offset));
}

namespace {

// Records the first call that cannot be resolved in `missing`.
template <typename Fn>
bool resolve(void* library, const char* name, Fn& slot, const char*& missing) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        missing = name;
        return false;
    }
    static_assert(sizeof slot == sizeof symbol);
    std::memcpy(&slot, &symbol, sizeof slot);
    return true;
}

// The name of the first call the library lacks, or null.
const char* resolve_all(void* library, AdpmApi& api) {
    const char* missing = nullptr;
    const auto found = [&](const char* name, auto& slot) {
        return resolve(library, name, slot, missing);
    };
    found("AdpmGetVersion", api.AdpmGetVersion) && found("AdpmInitialize", api.AdpmInitialize) &&
        found("AdpmUninitialize", api.AdpmUninitialize) &&
        found("AdpmGetNumPhyNic", api.AdpmGetNumPhyNic) &&
        found("AdpmGetAllPhyNicHandles", api.AdpmGetAllPhyNicHandles) &&
        found("AdpmGetPhyNic", api.AdpmGetPhyNic) &&
        found("AdpmGetServiceName", api.AdpmGetServiceName) &&
        found("AdpmEnableDevice", api.AdpmEnableDevice) &&
        found("AdpmRefreshData", api.AdpmRefreshData) &&
        found("AdpmGetHandleByServiceName", api.AdpmGetHandleByServiceName) &&
        found("AdpmGetVXLRNicInfoEx", api.AdpmGetVXLRNicInfoEx) &&
        found("AdpmGetFirmwareInfo", api.AdpmGetFirmwareInfo) &&
        found("AdpmGetExtVPD", api.AdpmGetExtVPD) && found("AdpmInitDiag", api.AdpmInitDiag) &&
        found("AdpmUnInitDiag", api.AdpmUnInitDiag) &&
        found("AdpmReadFirmware", api.AdpmReadFirmware) &&
        found("AdpmWriteFirmware", api.AdpmWriteFirmware);
    return missing;
}

}  // namespace

AdpmLibrary::~AdpmLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool AdpmLibrary::load(const char* path, std::string& problem) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        problem = access(path, F_OK) != 0
                      ? std::string(path) + " was not found in the working directory"
                      : std::string(path) + " cannot be loaded: " + (why ? why : "unknown error");
        return false;
    }
    AdpmApi api{};
    if (const char* missing = resolve_all(library, api)) {
        problem = std::string(path) + " lacks the call " + missing;
        dlclose(library);
        return false;
    }
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = library;
    Adpm = api;
    return true;
}
