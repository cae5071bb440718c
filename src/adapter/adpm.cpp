#include "adapter/adpm.h"

#include <dlfcn.h>

#include <cstring>

#include "common/text.h"

AdpmApi Adpm{};

std::string_view firmware_info_text(const FirmwareInfoRecord& info, std::size_t offset) {
    if (offset >= sizeof info) return {};
    const auto* bytes = reinterpret_cast<const char*>(&info);
    return field_text(std::span<const char>(bytes + offset, sizeof info - offset));
}

namespace {

template <typename Fn>
bool resolve(void* library, const char* name, Fn& slot) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) return false;
    static_assert(sizeof slot == sizeof symbol);
    std::memcpy(&slot, &symbol, sizeof slot);
    return true;
}

bool resolve_all(void* library, AdpmApi& api) {
    return resolve(library, "AdpmGetVersion", api.AdpmGetVersion) &&
           resolve(library, "AdpmInitialize", api.AdpmInitialize) &&
           resolve(library, "AdpmUninitialize", api.AdpmUninitialize) &&
           resolve(library, "AdpmGetNumPhyNic", api.AdpmGetNumPhyNic) &&
           resolve(library, "AdpmGetAllPhyNicHandles", api.AdpmGetAllPhyNicHandles) &&
           resolve(library, "AdpmGetPhyNic", api.AdpmGetPhyNic) &&
           resolve(library, "AdpmGetServiceName", api.AdpmGetServiceName) &&
           resolve(library, "AdpmEnableDevice", api.AdpmEnableDevice) &&
           resolve(library, "AdpmRefreshData", api.AdpmRefreshData) &&
           resolve(library, "AdpmGetHandleByServiceName", api.AdpmGetHandleByServiceName) &&
           resolve(library, "AdpmGetVXLRNicInfoEx", api.AdpmGetVXLRNicInfoEx) &&
           resolve(library, "AdpmGetFirmwareInfo", api.AdpmGetFirmwareInfo) &&
           resolve(library, "AdpmGetExtVPD", api.AdpmGetExtVPD) &&
           resolve(library, "AdpmInitDiag", api.AdpmInitDiag) &&
           resolve(library, "AdpmUnInitDiag", api.AdpmUnInitDiag) &&
           resolve(library, "AdpmReadFirmware", api.AdpmReadFirmware) &&
           resolve(library, "AdpmWriteFirmware", api.AdpmWriteFirmware);
}

}  // namespace

AdpmLibrary::~AdpmLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool AdpmLibrary::load(const char* path) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    AdpmApi api{};
    if (!resolve_all(library, api)) {
        dlclose(library);
        return false;
    }
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = library;
    Adpm = api;
    return true;
}
