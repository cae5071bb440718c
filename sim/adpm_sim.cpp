// The simulated management library. Every call re-reads the bench file only
// when it changed on disk, acts on it, writes it back only when the call
// changed it, and appends one trace line (docs/bench.md).
#include "adpm_sim.h"

#include <signal.h>
#include <unistd.h>

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
    json* settings = nullptr;  // "library" in the state, found again after each read
};

Library& lib() {
    static Library library;
    return library;
}

// Re-reads the state when the file changed. Throws sim::BenchError.
void refresh() {
    Library& l = lib();
    if (l.file.refresh()) {
        l.settings = nullptr;
        l.bench.index(l.file.data());
    }
}

json& library_settings() {
    Library& l = lib();
    if (l.settings == nullptr) {
        json& root = l.file.data();
        if (!root.contains("library") || !root["library"].is_object()) root["library"] = json::object();
        l.settings = &root["library"];
    }
    return *l.settings;
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
            signal_ = static_cast<int>(sim::get_u32(fault, "signal", 0, where));
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
        // The library runs inside the utility: the signal is the utility's,
        // once the call's work (if any) is in the bench file.
        if (signal_ != 0) kill(getpid(), signal_);
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
        if (signal_ != 0) std::fprintf(l.trace, " signal %d", signal_);
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
    int signal_ = 0;
    bool dirty_ = false;
    std::string note_;
    int unwinding_;
};

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

std::string num(uint32_t n) { return std::to_string(n); }

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

// A call that names no function: `body(call)` gives its own result.
template <typename Body>
uint32_t plain_call(const char* name, std::string args, bool needsInitialize, Body body) {
    return guarded(name, [&]() -> uint32_t {
        Call call(name, std::move(args));
        if (!call.begin(needsInitialize) || call.injected()) return call.result();
        return call.end(body(call));
    });
}

// A call on the function that `handle` names now: `body(call, function)`
// runs only when the handle is valid (and the function enabled, if it must be).
template <typename Body>
uint32_t function_call(const char* name, std::string args, uint32_t handle, bool mustBeEnabled, Body body) {
    return guarded(name, [&]() -> uint32_t {
        Call call(name, std::move(args));
        if (!call.begin()) return call.result();
        const std::optional<std::size_t> f = call.bench().by_handle(handle, lib().refreshed);
        call.target(f, handle);
        if (call.injected()) return call.result();
        if (!f) return call.end(AdpmSimInvalidHandle);
        if (mustBeEnabled && !sim::get_bool(call.bench().function(*f), "enabled", true, "functions"))
            return call.end(AdpmSimDisabled);
        return call.end(body(call, *f));
    });
}

// Raw NVRAM access, both directions.
uint32_t raw_access(const char* name, uint32_t handle, uint32_t offset, uint32_t* buffer, uint32_t words,
                    const char* key, bool write) {
    const std::string args = num(handle) + "," + sim::hex_text(offset) + "," + num(words) + "," +
                             (key ? std::string("\"") + key + "\"" : std::string("null"));
    return function_call(name, args, handle, true, [&](Call& call, std::size_t f) -> uint32_t {
        const auto open = lib().diag.find(handle);
        if (open == lib().diag.end() || open->second <= 0) return AdpmSimDiagNotOpen;
        if (key == nullptr || std::strcmp(key, AdpmAccessKey) != 0) return AdpmSimAccessDenied;
        if (buffer == nullptr && words > 0) return AdpmSimInvalidParameter;
        sim::Bench& b = call.bench();
        const std::string& adapter = b.adapter_name(f);
        std::vector<uint8_t>& nvram = b.nvram(adapter);
        const uint64_t bytes = static_cast<uint64_t>(words) * 4;
        if (offset % 4 != 0 || offset > nvram.size() || bytes > nvram.size() - offset) return AdpmSimOutOfRange;
        if (bytes == 0) return AdpmSimOk;
        if (write) {
            std::memcpy(nvram.data() + offset, buffer, bytes);
            b.store_nvram(adapter);
            call.changed();
        } else {
            std::memcpy(buffer, nvram.data() + offset, bytes);
        }
        return AdpmSimOk;
    });
}

// A session starts at AdpmInitialize and ends at AdpmUninitialize: handles
// as first numbered, no diagnostic bracket open.
uint32_t start_session(bool initialized) {
    Library& l = lib();
    l.initialized = initialized;
    l.refreshed = false;
    l.diag.clear();
    return AdpmSimOk;
}

uint32_t version_part(const json& version, std::size_t i) {
    return i < version.size() ? sim::to_u32(version[i], "library.version") : 0;
}

}  // namespace

ADPM_SIM_API uint32_t AdpmGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
    for (uint32_t* out : {major, minor, build})
        if (out != nullptr) *out = 0;
    return plain_call("AdpmGetVersion", "", false, [&](Call& call) -> uint32_t {
        const json& settings = library_settings();
        json version = settings.contains("version") ? settings["version"] : json("7.0.0");
        if (version.is_string()) {
            const std::string text = version.get<std::string>();
            uint32_t v[3] = {0, 0, 0};
            if (std::sscanf(text.c_str(), "%u.%u.%u", &v[0], &v[1], &v[2]) < 1)
                throw sim::BenchError("library.version: \"" + text + "\" is not MAJOR.MINOR.BUILD");
            version = json::array({v[0], v[1], v[2]});
        }
        if (major == nullptr || minor == nullptr || build == nullptr) return AdpmSimInvalidParameter;
        *major = version_part(version, 0);
        *minor = version_part(version, 1);
        *build = version_part(version, 2);
        call.note(num(*major) + "." + num(*minor) + "." + num(*build));
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmInitialize(void) {
    return plain_call("AdpmInitialize", "", false, [](Call&) { return start_session(true); });
}

ADPM_SIM_API uint32_t AdpmUninitialize(void) {
    return plain_call("AdpmUninitialize", "", true, [](Call&) { return start_session(false); });
}

ADPM_SIM_API uint32_t AdpmGetNumPhyNic(uint32_t* count) {
    return plain_call("AdpmGetNumPhyNic", "", true, [&](Call& call) -> uint32_t {
        if (count == nullptr) return AdpmSimInvalidParameter;
        *count = static_cast<uint32_t>(call.bench().function_count());
        call.note("count=" + num(*count));
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmGetAllPhyNicHandles(uint32_t* handles, uint32_t count) {
    return plain_call("AdpmGetAllPhyNicHandles", num(count), true, [&](Call& call) -> uint32_t {
        const std::size_t n = call.bench().function_count();
        if (count < n) return AdpmSimBufferTooSmall;
        if (handles == nullptr && n > 0) return AdpmSimInvalidParameter;
        std::string listed;
        for (std::size_t i = 0; i < n; ++i) {
            handles[i] = call.bench().handle(i, lib().refreshed);
            listed += (i ? "," : "") + num(handles[i]);
        }
        call.note("handles=" + listed);
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmGetPhyNic(uint32_t handle, void* record) {
    return function_call("AdpmGetPhyNic", num(handle), handle, false, [&](Call& call, std::size_t i) -> uint32_t {
        if (record == nullptr) return AdpmSimInvalidParameter;
        if (record_version(record) != PhyNicRecordVersion) return AdpmSimBadVersion;
        sim::Bench& b = call.bench();
        put_u32(record, offsetof(PhyNicRecord, adapterType), b.u32(i, "type", 2));
        put_u32(record, offsetof(PhyNicRecord, handle), handle);
        // The description fills its 80 bytes; a NUL follows only when it is shorter.
        const std::string description = b.text(i, "description", "");
        char* field = static_cast<char*>(record) + offsetof(PhyNicRecord, description);
        constexpr std::size_t width = sizeof(PhyNicRecord::description);
        const std::size_t n = description.size() < width ? description.size() : width;
        std::memcpy(field, description.data(), n);
        if (n < width) field[n] = '\0';
        put_u32(record, offsetof(PhyNicRecord, enabled),
                sim::get_bool(b.function(i), "enabled", true, "functions") ? 1 : 0);
        put_u32(record, offsetof(PhyNicRecord, vendorId), b.u32(i, "vendorId", 0));
        put_u32(record, offsetof(PhyNicRecord, deviceId), b.u32(i, "deviceId", 0));
        put_u32(record, offsetof(PhyNicRecord, subVendorId), b.u32(i, "subVendorId", 0));
        put_u32(record, offsetof(PhyNicRecord, subDeviceId), b.u32(i, "subDeviceId", 0));
        put_u32(record, offsetof(PhyNicRecord, bus), b.u32(i, "bus", 0));
        put_u32(record, offsetof(PhyNicRecord, device), b.u32(i, "device", 0));
        put_u32(record, offsetof(PhyNicRecord, function), b.u32(i, "function", 0));
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmGetServiceName(uint32_t handle, char* buffer, uint32_t size) {
    const std::string args = num(handle) + "," + num(size);
    return function_call("AdpmGetServiceName", args, handle, false, [&](Call& call, std::size_t f) -> uint32_t {
        if (buffer == nullptr || size == 0) return AdpmSimInvalidParameter;
        const std::string& name = call.bench().service_name(f);
        put_text(buffer, 0, size, name);
        call.note("name=" + name);
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmEnableDevice(uint32_t handle, uint32_t enable) {
    const std::string args = num(handle) + "," + num(enable);
    return function_call("AdpmEnableDevice", args, handle, false, [&](Call& call, std::size_t f) -> uint32_t {
        json& function = call.bench().function(f);
        const bool enabled = sim::get_bool(function, "enabled", true, "functions");
        if (enable != 0 && enabled) return AdpmSimAlreadyEnabled;
        if ((enable != 0) != enabled) {
            function["enabled"] = enable != 0;
            call.changed();
        }
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmRefreshData(void) {
    return plain_call("AdpmRefreshData", "", true, [](Call&) -> uint32_t {
        lib().refreshed = true;
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmGetHandleByServiceName(const char* name, uint32_t* handle) {
    return guarded("AdpmGetHandleByServiceName", [&]() -> uint32_t {
        Call call("AdpmGetHandleByServiceName", name ? std::string("\"") + name + "\"" : "null");
        if (!call.begin()) return call.result();
        std::optional<std::size_t> f;
        std::optional<uint32_t> current;
        if (name != nullptr) {
            f = call.bench().by_service_name(name);
            call.target_name(name);
            if (f) current = call.bench().handle(*f, lib().refreshed);
        }
        call.target(f, current);
        if (call.injected()) return call.result();
        if (name == nullptr || handle == nullptr) return call.end(AdpmSimInvalidParameter);
        if (!current) return call.end(AdpmSimNotFound);
        *handle = *current;
        call.note("handle=" + num(*handle));
        return call.end(AdpmSimOk);
    });
}

ADPM_SIM_API uint32_t AdpmGetVXLRNicInfoEx(uint32_t handle, void* record) {
    return function_call("AdpmGetVXLRNicInfoEx", num(handle), handle, false, [&](Call& call, std::size_t f) -> uint32_t {
        if (record == nullptr) return AdpmSimInvalidParameter;
        if (record_version(record) != NicInfoExRecordVersion) return AdpmSimBadVersion;
        sim::Bench& b = call.bench();
        put_u32(record, offsetof(NicInfoExRecord, chipRevisionId), b.u32(f, "chipRevisionId", 0));
        const std::array<uint8_t, 6> mac = sim::parse_mac(b.mac(f), "mac");
        std::memcpy(static_cast<char*>(record) + offsetof(NicInfoExRecord, mac), mac.data(), mac.size());
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmGetFirmwareInfo(uint32_t handle, void* record) {
    return function_call("AdpmGetFirmwareInfo", num(handle), handle, true, [&](Call& call, std::size_t f) -> uint32_t {
        if (record == nullptr) return AdpmSimInvalidParameter;
        if (record_version(record) != FirmwareInfoRecordVersion) return AdpmSimBadVersion;
        sim::Bench& b = call.bench();
        const json& adapter = b.adapter_of(f);
        const std::string where = "adapters." + b.adapter_name(f) + ".firmware";
        static const json none = json::object();
        const json& firmware = adapter.contains("firmware") ? adapter["firmware"] : none;
        const uint16_t word = sim::bootcode_word(firmware.contains("bootcode") ? firmware["bootcode"] : json(),
                                                 where + ".bootcode");
        std::memcpy(static_cast<char*>(record) + offsetof(FirmwareInfoRecord, bootcodeVersion), &word, sizeof word);
        struct Text {
            const char* key;
            std::size_t offset, size;
        };
#define ADPM_SIM_TEXT(key, member) \
    { key, offsetof(FirmwareInfoRecord, member), sizeof(FirmwareInfoRecord::member) }
        static const Text texts[] = {
            ADPM_SIM_TEXT("extPhy", extPhyVersion), ADPM_SIM_TEXT("ipmi", ipmiVersion),
            ADPM_SIM_TEXT("bta", btaVersion),       ADPM_SIM_TEXT("iscsi", iscsiVersion),
            ADPM_SIM_TEXT("ncsi", ncsiVersion),     ADPM_SIM_TEXT("uefi", uefiVersion),
            ADPM_SIM_TEXT("cfx", cfxVersion),
        };
#undef ADPM_SIM_TEXT
        for (const Text& t : texts) put_text(record, t.offset, t.size, sim::get_text(firmware, t.key, "", where));
        put_u32(record, offsetof(FirmwareInfoRecord, extVpd),
                sim::get_bool(adapter, "extendedVpd", false, "adapters." + b.adapter_name(f)) ? 1 : 0);
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmGetExtVPD(uint32_t handle, uint8_t* buffer, uint32_t* length) {
    const std::string args = num(handle) + "," + (length ? num(*length) : std::string("null"));
    return function_call("AdpmGetExtVPD", args, handle, true, [&](Call& call, std::size_t f) -> uint32_t {
        if (buffer == nullptr || length == nullptr) return AdpmSimInvalidParameter;
        sim::Bench& b = call.bench();
        const std::string& name = b.adapter_name(f);
        const std::vector<uint8_t>* blob = b.ext_vpd(name);
        if (blob == nullptr) return AdpmSimNoExtVpd;
        const uint32_t capacity = *length;
        const json& adapter = b.adapter(name);
        const bool claims = adapter.contains("extVpdLength") && !adapter["extVpdLength"].is_null();
        if (!claims && blob->size() > capacity) {
            *length = static_cast<uint32_t>(blob->size());
            call.note("length=" + num(*length));
            return AdpmSimBufferTooSmall;
        }
        // With "extVpdLength" the library claims a length of the bench's choice.
        std::memcpy(buffer, blob->data(), blob->size() < capacity ? blob->size() : capacity);
        *length = claims ? sim::get_u32(adapter, "extVpdLength", 0, "adapters." + name)
                         : static_cast<uint32_t>(blob->size());
        call.note("length=" + num(*length));
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmInitDiag(uint32_t handle) {
    return function_call("AdpmInitDiag", num(handle), handle, true, [&](Call&, std::size_t) -> uint32_t {
        ++lib().diag[handle];
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmUnInitDiag(uint32_t handle) {
    return function_call("AdpmUnInitDiag", num(handle), handle, false, [&](Call&, std::size_t) -> uint32_t {
        auto it = lib().diag.find(handle);
        if (it == lib().diag.end() || it->second <= 0) return AdpmSimDiagNotOpen;
        if (--it->second == 0) lib().diag.erase(it);
        return AdpmSimOk;
    });
}

ADPM_SIM_API uint32_t AdpmReadFirmware(uint32_t handle, uint32_t offset, uint32_t* buffer, uint32_t words,
                                       const char* key) {
    return raw_access("AdpmReadFirmware", handle, offset, buffer, words, key, false);
}

ADPM_SIM_API uint32_t AdpmWriteFirmware(uint32_t handle, uint32_t offset, uint32_t* buffer, uint32_t words,
                                        const char* key) {
    return raw_access("AdpmWriteFirmware", handle, offset, buffer, words, key, true);
}
