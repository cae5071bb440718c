// The simulated management library. Every call re-reads the bench file only
// when it changed on disk, acts on it, writes it back only when the call
// changed it, and appends one trace line (docs/bench.md).
#include "adpm_sim.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <string>

#include "bench.h"

namespace {

using sim::json;

struct Library {
    sim::StateFile file;
    sim::Bench bench;
    bool initialized = false;
    bool refreshed = false;
    std::map<uint32_t, int> diag;  // handle -> open AdpmInitDiag brackets
    std::FILE* trace = nullptr;
    std::string lastProblem;  // the last bench problem reported on stderr
};

Library& lib() {
    static Library library;
    return library;
}

// Re-reads the state when the file changed. Throws sim::BenchError.
void refresh() {
    Library& l = lib();
    if (l.file.refresh()) l.bench.index(l.file.data());
}

json& library_settings() {
    json& root = lib().file.data();
    if (!root.contains("library") || !root["library"].is_object()) root["library"] = json::object();
    return root["library"];
}

// One library call from entry to trace line.
class Call {
public:
    Call(const char* name, std::string args)
        : name_(name), args_(std::move(args)), unwinding_(std::uncaught_exceptions()) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Loads the state and checks AdpmInitialize. False: return result().
    bool begin(bool needsInitialize = true) {
        try {
            refresh();
        } catch (const sim::BenchError& e) {
            report(e.what());
            result_ = AdpmSimBenchUnusable;
            return false;
        }
        if (needsInitialize && !lib().initialized) {
            result_ = AdpmSimNotInitialized;
            return false;
        }
        return true;
    }

    // The call names this function (for faults by adapter and for the checks).
    void target(std::optional<std::size_t> function, std::optional<uint32_t> handle) {
        function_ = function;
        handle_ = handle;
    }
    void target_name(const std::string& serviceName) { serviceName_ = serviceName; }

    // Applies the first fault that fires. True when the call must stop here
    // with result(): the fault does not let the call do its work.
    bool injected() {
        json& settings = library_settings();
        if (!settings.contains("faults")) return false;
        json& faults = settings["faults"];
        if (!faults.is_array()) return false;
        for (std::size_t i = 0; i < faults.size(); ++i) {
            json& fault = faults[i];
            const std::string where = "library.faults[" + std::to_string(i) + "]";
            if (!matches(fault, where)) continue;
            bool changed = false;
            const bool fires = sim::fault_fires(fault, changed);
            if (changed) dirty_ = true;
            if (!fires || fault_) continue;
            fault_ = sim::get_u32(fault, "result", AdpmSimFailure, where);
            perform_ = sim::get_bool(fault, "perform", false, where);
        }
        if (fault_ && !perform_) {
            result_ = *fault_;
            return true;
        }
        return false;
    }

    // The call's own result; a "perform" fault replaces it.
    uint32_t end(uint32_t result) {
        result_ = fault_ ? *fault_ : result;
        return result_;
    }
    uint32_t result() const { return result_; }

    void changed() { dirty_ = true; }
    void note(std::string text) { note_ = std::move(text); }

    sim::Bench& bench() { return lib().bench; }

    ~Call() {
        Library& l = lib();
        if (std::uncaught_exceptions() > unwinding_) {
            // guarded() reports the problem; the trace shows the call failed.
            result_ = AdpmSimBenchUnusable;
            note_ = "(bench problem, see stderr)";
            fault_.reset();
        }
        if (dirty_) {
            try {
                l.file.save();
            } catch (const sim::BenchError& e) {
                report(e.what());
            }
        }
        trace();
    }

private:
    bool matches(const json& fault, const std::string& where) {
        const std::string call = sim::get_text(fault, "call", "*", where);
        if (call != "*" && call != name_) return false;
        if (fault.contains("handle")) {
            if (!handle_ || *handle_ != sim::get_u32(fault, "handle", 0, where)) return false;
        }
        if (fault.contains("serviceName")) {
            const std::string wanted = sim::get_text(fault, "serviceName", "", where);
            if (serviceName_) {
                if (*serviceName_ != wanted) return false;
            } else if (!function_ || bench().service_name(*function_) != wanted) {
                return false;
            }
        }
        if (fault.contains("adapter")) {
            if (!function_ || bench().adapter_name(*function_) != sim::get_text(fault, "adapter", "", where))
                return false;
        }
        return true;
    }

    void report(const std::string& problem) {
        Library& l = lib();
        if (problem != l.lastProblem) std::fprintf(stderr, "libadpm_x64 (simulated): %s\n", problem.c_str());
        l.lastProblem = problem;
        note_ = problem;
    }

    void trace() {
        Library& l = lib();
        bool on = true;
        if (l.file.loaded()) {
            try {
                on = sim::get_bool(library_settings(), "trace", true, "library");
            } catch (const sim::BenchError&) {
            }
        }
        if (!on) return;
        if (l.trace == nullptr) {
            l.trace = std::fopen(sim::LibraryTraceName, "a");
            if (l.trace == nullptr) return;
        }
        std::fprintf(l.trace, "%s(%s)=%u", name_, args_.c_str(), result_);
        if (fault_) std::fputs(perform_ ? " (injected, performed)" : " (injected)", l.trace);
        if (!note_.empty()) std::fprintf(l.trace, " %s", note_.c_str());
        std::fputc('\n', l.trace);
        std::fflush(l.trace);
    }

    const char* name_;
    std::string args_;
    uint32_t result_ = AdpmSimOk;
    std::optional<std::size_t> function_;
    std::optional<uint32_t> handle_;
    std::optional<std::string> serviceName_;
    std::optional<uint32_t> fault_;
    bool perform_ = false;
    bool dirty_ = false;
    std::string note_;
    int unwinding_;
};

// Looks up the function of a handle call; false (result set) when the
// handle names none or the function must be enabled and is not.
bool resolve(Call& call, uint32_t handle, std::optional<std::size_t>& function, bool mustBeEnabled,
             uint32_t& result) {
    function = call.bench().by_handle(handle, lib().refreshed);
    call.target(function, handle);
    if (call.injected()) {
        result = call.result();
        return false;
    }
    if (!function) {
        result = call.end(AdpmSimInvalidHandle);
        return false;
    }
    if (mustBeEnabled &&
        !sim::get_bool(call.bench().function(*function), "enabled", true, "functions")) {
        result = call.end(AdpmSimDisabled);
        return false;
    }
    return true;
}

// Copies text into a field of `size` bytes, cut to size - 1, NUL-terminated.
void put_text(void* record, std::size_t offset, std::size_t size, const std::string& text) {
    char* field = static_cast<char*>(record) + offset;
    const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

void put_u32(void* record, std::size_t offset, uint32_t value) {
    std::memcpy(static_cast<char*>(record) + offset, &value, sizeof value);
}

uint32_t record_version(const void* record) {
    uint32_t version = 0;
    std::memcpy(&version, record, sizeof version);
    return version;
}

std::string firmware_text(const json& adapter, const char* key, const std::string& where) {
    if (!adapter.contains("firmware")) return {};
    return sim::get_text(adapter["firmware"], key, "", where + ".firmware");
}

// Catches whatever escapes a call: nothing may cross the C boundary.
template <typename Body>
uint32_t guarded(const char* name, Body body) {
    try {
        return body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "libadpm_x64 (simulated): %s: %s\n", name, e.what());
        return AdpmSimBenchUnusable;
    }
}

std::string num(uint32_t n) { return std::to_string(n); }

}  // namespace

ADPM_SIM_API uint32_t AdpmGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
    return guarded("AdpmGetVersion", [&]() -> uint32_t {
        Call call("AdpmGetVersion", "");
        uint32_t v[3] = {0, 0, 0};
        if (!call.begin(false)) {
            if (major) *major = 0;
            if (minor) *minor = 0;
            if (build) *build = 0;
            return call.result();
        }
        if (call.injected()) return call.result();
        const json& settings = library_settings();
        const json version = settings.contains("version") ? settings["version"] : json("7.0.0");
        if (version.is_array()) {
            for (std::size_t i = 0; i < 3 && i < version.size(); ++i)
                v[i] = sim::to_u32(version[i], "library.version");
        } else {
            const std::string text = version.get<std::string>();
            if (std::sscanf(text.c_str(), "%u.%u.%u", &v[0], &v[1], &v[2]) < 1)
                throw sim::BenchError("library.version: \"" + text + "\" is not MAJOR.MINOR.BUILD");
        }
        if (major == nullptr || minor == nullptr || build == nullptr)
            return call.end(AdpmSimInvalidParameter);
        *major = v[0];
        *minor = v[1];
        *build = v[2];
        call.note(num(v[0]) + "." + num(v[1]) + "." + num(v[2]));
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmInitialize(void) {
    return guarded("AdpmInitialize", [&]() -> uint32_t {
        Call call("AdpmInitialize", "");
        if (!call.begin(false)) return call.result();
        if (call.injected()) return call.result();
        Library& l = lib();
        l.initialized = true;
        l.refreshed = false;
        l.diag.clear();
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmUninitialize(void) {
    return guarded("AdpmUninitialize", [&]() -> uint32_t {
        Call call("AdpmUninitialize", "");
        if (!call.begin()) return call.result();
        if (call.injected()) return call.result();
        Library& l = lib();
        l.initialized = false;
        l.refreshed = false;
        l.diag.clear();
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetNumPhyNic(uint32_t* count) {
    return guarded("AdpmGetNumPhyNic", [&]() -> uint32_t {
        Call call("AdpmGetNumPhyNic", "");
        if (!call.begin()) return call.result();
        if (call.injected()) return call.result();
        if (count == nullptr) return call.end(AdpmSimInvalidParameter);
        *count = static_cast<uint32_t>(call.bench().function_count());
        call.note("count=" + num(*count));
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetAllPhyNicHandles(uint32_t* handles, uint32_t count) {
    return guarded("AdpmGetAllPhyNicHandles", [&]() -> uint32_t {
        Call call("AdpmGetAllPhyNicHandles", num(count));
        if (!call.begin()) return call.result();
        if (call.injected()) return call.result();
        const std::size_t n = call.bench().function_count();
        if (count < n) return call.end(AdpmSimBufferTooSmall);
        if (handles == nullptr && n > 0) return call.end(AdpmSimInvalidParameter);
        std::string listed;
        for (std::size_t i = 0; i < n; ++i) {
            handles[i] = call.bench().handle(i, lib().refreshed);
            listed += (i ? "," : "") + num(handles[i]);
        }
        call.note("handles=" + listed);
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetPhyNic(uint32_t handle, void* record) {
    return guarded("AdpmGetPhyNic", [&]() -> uint32_t {
        Call call("AdpmGetPhyNic", num(handle));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, false, result)) return result;
        if (record == nullptr) return call.end(AdpmSimInvalidParameter);
        if (record_version(record) != PhyNicRecordVersion) return call.end(AdpmSimBadVersion);
        sim::Bench& b = call.bench();
        const std::size_t i = *f;
        put_u32(record, offsetof(PhyNicRecord, adapterType), b.u32(i, "type", 2));
        put_u32(record, offsetof(PhyNicRecord, handle), handle);
        // The description fills its 80 bytes; a NUL follows only when it is shorter.
        const std::string description = b.text(i, "description", "");
        char* field = static_cast<char*>(record) + offsetof(PhyNicRecord, description);
        const std::size_t n = description.size() < 80 ? description.size() : 80;
        std::memcpy(field, description.data(), n);
        if (n < 80) field[n] = '\0';
        put_u32(record, offsetof(PhyNicRecord, enabled),
                sim::get_bool(b.function(i), "enabled", true, "functions") ? 1 : 0);
        put_u32(record, offsetof(PhyNicRecord, vendorId), b.u32(i, "vendorId", 0));
        put_u32(record, offsetof(PhyNicRecord, deviceId), b.u32(i, "deviceId", 0));
        put_u32(record, offsetof(PhyNicRecord, subVendorId), b.u32(i, "subVendorId", 0));
        put_u32(record, offsetof(PhyNicRecord, subDeviceId), b.u32(i, "subDeviceId", 0));
        put_u32(record, offsetof(PhyNicRecord, bus), b.u32(i, "bus", 0));
        put_u32(record, offsetof(PhyNicRecord, device), b.u32(i, "device", 0));
        put_u32(record, offsetof(PhyNicRecord, function), b.u32(i, "function", 0));
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetServiceName(uint32_t handle, char* buffer, uint32_t size) {
    return guarded("AdpmGetServiceName", [&]() -> uint32_t {
        Call call("AdpmGetServiceName", num(handle) + "," + num(size));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, false, result)) return result;
        if (buffer == nullptr || size == 0) return call.end(AdpmSimInvalidParameter);
        const std::string& name = call.bench().service_name(*f);
        put_text(buffer, 0, size, name);
        call.note("name=" + name);
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmEnableDevice(uint32_t handle, uint32_t enable) {
    return guarded("AdpmEnableDevice", [&]() -> uint32_t {
        Call call("AdpmEnableDevice", num(handle) + "," + num(enable));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, false, result)) return result;
        json& function = call.bench().function(*f);
        const bool enabled = sim::get_bool(function, "enabled", true, "functions");
        if (enable != 0 && enabled) return call.end(AdpmSimAlreadyEnabled);
        if ((enable != 0) != enabled) {
            function["enabled"] = enable != 0;
            call.changed();
        }
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmRefreshData(void) {
    return guarded("AdpmRefreshData", [&]() -> uint32_t {
        Call call("AdpmRefreshData", "");
        if (!call.begin()) return call.result();
        if (call.injected()) return call.result();
        lib().refreshed = true;
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetHandleByServiceName(const char* name, uint32_t* handle) {
    return guarded("AdpmGetHandleByServiceName", [&]() -> uint32_t {
        Call call("AdpmGetHandleByServiceName", name ? std::string("\"") + name + "\"" : "null");
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        if (name != nullptr) {
            f = call.bench().by_service_name(name);
            call.target_name(name);
        }
        call.target(f, f ? std::optional<uint32_t>(call.bench().handle(*f, lib().refreshed)) : std::nullopt);
        if (call.injected()) return call.result();
        if (name == nullptr || handle == nullptr) return call.end(AdpmSimInvalidParameter);
        if (!f) return call.end(AdpmSimNotFound);
        *handle = call.bench().handle(*f, lib().refreshed);
        call.note("handle=" + num(*handle));
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetVXLRNicInfoEx(uint32_t handle, void* record) {
    return guarded("AdpmGetVXLRNicInfoEx", [&]() -> uint32_t {
        Call call("AdpmGetVXLRNicInfoEx", num(handle));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, true, result)) return result;
        if (record == nullptr) return call.end(AdpmSimInvalidParameter);
        if (record_version(record) != NicInfoExRecordVersion) return call.end(AdpmSimBadVersion);
        sim::Bench& b = call.bench();
        put_u32(record, offsetof(NicInfoExRecord, chipRevisionId), b.u32(*f, "chipRevisionId", 0));
        const std::array<uint8_t, 6> mac = sim::parse_mac(b.mac(*f), "mac");
        std::memcpy(static_cast<char*>(record) + offsetof(NicInfoExRecord, mac), mac.data(), 6);
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetFirmwareInfo(uint32_t handle, void* record) {
    return guarded("AdpmGetFirmwareInfo", [&]() -> uint32_t {
        Call call("AdpmGetFirmwareInfo", num(handle));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, true, result)) return result;
        if (record == nullptr) return call.end(AdpmSimInvalidParameter);
        if (record_version(record) != FirmwareInfoRecordVersion) return call.end(AdpmSimBadVersion);
        sim::Bench& b = call.bench();
        const json& adapter = b.adapter_of(*f);
        const std::string where = "adapters." + b.adapter_name(*f);
        const json firmware = adapter.contains("firmware") ? adapter["firmware"] : json::object();
        const uint16_t word = sim::bootcode_word(
            firmware.contains("bootcode") ? firmware["bootcode"] : json(), where + ".firmware.bootcode");
        std::memcpy(static_cast<char*>(record) + offsetof(FirmwareInfoRecord, bootcodeVersion), &word,
                    sizeof word);
        struct Text {
            const char* key;
            std::size_t offset, size;
        };
        static const Text texts[] = {
            {"extPhy", 484, 32}, {"ipmi", 516, 16}, {"bta", 532, 24},  {"iscsi", 556, 36},
            {"ncsi", 592, 24},   {"uefi", 668, 32}, {"cfx", 804, 32},
        };
        for (const Text& t : texts) put_text(record, t.offset, t.size, firmware_text(adapter, t.key, where));
        put_u32(record, offsetof(FirmwareInfoRecord, extVpd),
                sim::get_bool(adapter, "extendedVpd", false, where) ? 1 : 0);
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetExtVPD(uint32_t handle, uint8_t* buffer, uint32_t* length) {
    return guarded("AdpmGetExtVPD", [&]() -> uint32_t {
        Call call("AdpmGetExtVPD", num(handle) + "," + (length ? num(*length) : std::string("null")));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, true, result)) return result;
        if (buffer == nullptr || length == nullptr) return call.end(AdpmSimInvalidParameter);
        sim::Bench& b = call.bench();
        const std::string& name = b.adapter_name(*f);
        const std::vector<uint8_t>* blob = b.ext_vpd(name);
        if (blob == nullptr) return call.end(AdpmSimNoExtVpd);
        const uint32_t capacity = *length;
        const json& adapter = b.adapter(name);
        if (adapter.contains("extVpdLength") && !adapter["extVpdLength"].is_null()) {
            // The bench makes the library claim a length of its choice.
            const std::size_t n = blob->size() < capacity ? blob->size() : capacity;
            std::memcpy(buffer, blob->data(), n);
            *length = sim::get_u32(adapter, "extVpdLength", 0, "adapters." + name);
        } else {
            if (blob->size() > capacity) {
                *length = static_cast<uint32_t>(blob->size());
                call.note("length=" + num(*length));
                return call.end(AdpmSimBufferTooSmall);
            }
            std::memcpy(buffer, blob->data(), blob->size());
            *length = static_cast<uint32_t>(blob->size());
        }
        call.note("length=" + num(*length));
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmInitDiag(uint32_t handle) {
    return guarded("AdpmInitDiag", [&]() -> uint32_t {
        Call call("AdpmInitDiag", num(handle));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, true, result)) return result;
        ++lib().diag[handle];
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmUnInitDiag(uint32_t handle) {
    return guarded("AdpmUnInitDiag", [&]() -> uint32_t {
        Call call("AdpmUnInitDiag", num(handle));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, false, result)) return result;
        auto it = lib().diag.find(handle);
        if (it == lib().diag.end() || it->second <= 0) return call.end(AdpmSimDiagNotOpen);
        if (--it->second == 0) lib().diag.erase(it);
        return call.end(AdpmSimOk);
    });
}

namespace {

// Raw NVRAM access, both directions.
uint32_t raw_access(const char* name, uint32_t handle, uint32_t offset, uint32_t* buffer,
                    uint32_t words, const char* key, bool write) {
    return guarded(name, [&]() -> uint32_t {
        Call call(name, num(handle) + "," + sim::hex_text(offset) + "," + num(words) + "," +
                            (key ? std::string("\"") + key + "\"" : std::string("null")));
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        uint32_t result = 0;
        if (!resolve(call, handle, f, true, result)) return result;
        const auto open = lib().diag.find(handle);
        if (open == lib().diag.end() || open->second <= 0) return call.end(AdpmSimDiagNotOpen);
        if (key == nullptr || std::strcmp(key, AdpmAccessKey) != 0) return call.end(AdpmSimAccessDenied);
        if (buffer == nullptr && words > 0) return call.end(AdpmSimInvalidParameter);
        sim::Bench& b = call.bench();
        const std::string& adapter = b.adapter_name(*f);
        std::vector<uint8_t>& nvram = b.nvram(adapter);
        const uint64_t bytes = static_cast<uint64_t>(words) * 4;
        if (offset % 4 != 0 || offset > nvram.size() || bytes > nvram.size() - offset)
            return call.end(AdpmSimOutOfRange);
        if (bytes == 0) return call.end(AdpmSimOk);
        if (write) {
            std::memcpy(nvram.data() + offset, buffer, bytes);
            b.store_nvram(adapter);
            call.changed();
        } else {
            std::memcpy(buffer, nvram.data() + offset, bytes);
        }
        return call.end(AdpmSimOk);
    });
}

}  // namespace

ADPM_SIM_API uint32_t AdpmReadFirmware(uint32_t handle, uint32_t offset, uint32_t* buffer,
                                       uint32_t words, const char* key) {
    return raw_access("AdpmReadFirmware", handle, offset, buffer, words, key, false);
}

ADPM_SIM_API uint32_t AdpmWriteFirmware(uint32_t handle, uint32_t offset, uint32_t* buffer,
                                        uint32_t words, const char* key) {
    return raw_access("AdpmWriteFirmware", handle, offset, buffer, words, key, true);
}
