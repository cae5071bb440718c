#include "adpm/adpm.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/text.h"

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

// The name of the first call the library lacks, or null.
const char* resolve_all(void* library, AdpmApi& api) {
#define ADPM_RESOLVE(name) \
    if (!resolve(library, #name, api.name)) return #name;
    ADPM_CALLS(ADPM_RESOLVE)
#undef ADPM_RESOLVE
    return nullptr;
}

}  // namespace

AdpmLibrary::~AdpmLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool AdpmLibrary::load(const char* path, AdpmApi& api, std::string& problem) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        problem = access(path, F_OK) != 0
                      ? std::string(path) + " was not found in the working directory"
                      : std::string(path) + " cannot be loaded: " + (why ? why : "unknown error");
        return false;
    }
    AdpmApi resolved{};
    if (const char* missing = resolve_all(library, resolved)) {
        problem = std::string(path) + " lacks the call " + missing;
        dlclose(library);
        return false;
    }
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = library;
    api = resolved;
    return true;
}

bool library_out_of_date(uint32_t major, uint32_t minor, uint32_t build) {
    if (major != 6) return major < 6;
    return minor < 23 || (minor == 23 && build <= 5);
}

std::optional<std::string> LibraryVersion::text() const {
    if (status != AdpmSuccess) return std::nullopt;
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

LibraryVersion library_version(const AdpmApi& adpm) {
    LibraryVersion version;
    version.status = adpm.AdpmGetVersion(&version.major, &version.minor, &version.build);
    return version;
}

std::optional<std::string> library_version_problem(const LibraryVersion& version) {
    // A call that fails tells no version: saying "version 0.0.0" would send
    // the reader after a library that may well be current.
    const std::optional<std::string> text = version.text();
    if (!text)
        return std::string(AdpmLibraryPath) +
               " did not tell its version: AdpmGetVersion returned " +
               std::to_string(version.status) +
               " (the library's own message, if it wrote one, is on standard error)";
    if (!library_out_of_date(version.major, version.minor, version.build)) return std::nullopt;
    return std::string(AdpmLibraryPath) + " is version " + *text + "; 6.23.6 or later is needed";
}
