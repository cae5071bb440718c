// The adapter maker's NIC management library: its records, the table of its
// calls through which the utility reaches them, and the loader that fills
// such a table from the library file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* AdpmLibraryName = "libadpm_x64.so.6";
inline constexpr const char* AdpmAccessKey = "{3F1A9C22-5B7E-4D10-9A6C-2E8B71D04F55}";

inline constexpr uint32_t PhyNicRecordVersion = 11;
inline constexpr uint32_t NicInfoExRecordVersion = 13;
inline constexpr uint32_t FirmwareInfoRecordVersion = 11;

inline constexpr uint32_t AdpmSuccess = 0;
// AdpmEnableDevice answers this when the function was enabled already.
inline constexpr uint32_t AdpmEnableAlreadyOn = 251;
// The one adapter type the utility handles.
inline constexpr uint32_t AdapterTypeHandled = 2;

// Physical NIC function record, version 11. Only the named fields are used;
// the reserved bytes give the library room for the rest of its record.
struct PhyNicRecord {
    uint32_t version;          // +0
    uint8_t reserved4[4];      // +4
    uint32_t adapterType;      // +8
    uint32_t handle;           // +12
    char description[80];      // +16
    uint8_t reserved96[228];   // +96
    uint32_t enabled;          // +324
    uint8_t reserved328[132];  // +328
    uint32_t vendorId;         // +460
    uint32_t deviceId;         // +464
    uint32_t subVendorId;      // +468
    uint32_t subDeviceId;      // +472
    uint8_t reserved476[84];   // +476
    uint32_t bus;              // +560
    uint32_t device;           // +564
    uint32_t function;         // +568
    uint8_t reserved572[452];  // +572
};
static_assert(offsetof(PhyNicRecord, adapterType) == 8);
static_assert(offsetof(PhyNicRecord, handle) == 12);
static_assert(offsetof(PhyNicRecord, description) == 16);
static_assert(offsetof(PhyNicRecord, enabled) == 324);
static_assert(offsetof(PhyNicRecord, vendorId) == 460);
static_assert(offsetof(PhyNicRecord, subDeviceId) == 472);
static_assert(offsetof(PhyNicRecord, bus) == 560);
static_assert(offsetof(PhyNicRecord, function) == 568);
static_assert(sizeof(PhyNicRecord) == 1024);

// Extended NIC information record, version 13.
struct NicInfoExRecord {
    uint32_t version;         // +0
    uint8_t reserved4[60];    // +4
    uint32_t chipRevisionId;  // +64, bits 0-11 used
    uint8_t mac[6];           // +68
    uint8_t reserved74[182];  // +74
};
static_assert(offsetof(NicInfoExRecord, chipRevisionId) == 64);
static_assert(offsetof(NicInfoExRecord, mac) == 68);
static_assert(sizeof(NicInfoExRecord) == 256);

// Firmware information record, version 11, 836 bytes. The version texts are
// NUL-terminated from their offsets; read them with firmware_info_text so a
// text without its NUL ends at the end of the record.
struct FirmwareInfoRecord {
    uint32_t version;          // +0
    uint8_t reserved4[150];    // +4
    uint16_t bootcodeVersion;  // +154, low byte major, high byte minor
    uint8_t reserved156[328];  // +156
    char extPhyVersion[32];    // +484
    char ipmiVersion[16];      // +516
    char btaVersion[24];       // +532
    char iscsiVersion[36];     // +556
    char ncsiVersion[24];      // +592
    uint32_t extVpd;           // +616
    uint8_t reserved620[48];   // +620
    char uefiVersion[32];      // +668
    uint8_t reserved700[104];  // +700
    char cfxVersion[32];       // +804
};
static_assert(offsetof(FirmwareInfoRecord, bootcodeVersion) == 154);
static_assert(offsetof(FirmwareInfoRecord, extPhyVersion) == 484);
static_assert(offsetof(FirmwareInfoRecord, ipmiVersion) == 516);
static_assert(offsetof(FirmwareInfoRecord, btaVersion) == 532);
static_assert(offsetof(FirmwareInfoRecord, iscsiVersion) == 556);
static_assert(offsetof(FirmwareInfoRecord, ncsiVersion) == 592);
static_assert(offsetof(FirmwareInfoRecord, extVpd) == 616);
static_assert(offsetof(FirmwareInfoRecord, uefiVersion) == 668);
static_assert(offsetof(FirmwareInfoRecord, cfxVersion) == 804);
static_assert(sizeof(FirmwareInfoRecord) == 836);

struct BootcodeVersion {
    uint32_t major;
    uint32_t minor;
};

inline BootcodeVersion bootcode_version(const FirmwareInfoRecord& info) {
    return {info.bootcodeVersion & 0xFFu, static_cast<uint32_t>(info.bootcodeVersion >> 8)};
}

// The NUL-terminated text that starts at byte `offset` of the record; it ends
// at its NUL or at the end of the record, never past it.
std::string_view firmware_info_text(const FirmwareInfoRecord& info, std::size_t offset);

// Every call the utility makes, by the library's own name, in the order a
// loader resolves them: one line per member of AdpmApi.
#define ADPM_CALLS(CALL)             \
    CALL(AdpmGetVersion)             \
    CALL(AdpmInitialize)             \
    CALL(AdpmUninitialize)           \
    CALL(AdpmGetNumPhyNic)           \
    CALL(AdpmGetAllPhyNicHandles)    \
    CALL(AdpmGetPhyNic)              \
    CALL(AdpmGetServiceName)         \
    CALL(AdpmEnableDevice)           \
    CALL(AdpmRefreshData)            \
    CALL(AdpmGetHandleByServiceName) \
    CALL(AdpmGetVXLRNicInfoEx)       \
    CALL(AdpmGetFirmwareInfo)        \
    CALL(AdpmGetExtVPD)              \
    CALL(AdpmInitDiag)               \
    CALL(AdpmUnInitDiag)             \
    CALL(AdpmReadFirmware)           \
    CALL(AdpmWriteFirmware)

// The calls, each under its own name. Tests put an in-process fake in place
// of the loaded library.
struct AdpmApi {
    uint32_t (*AdpmGetVersion)(uint32_t* major, uint32_t* minor, uint32_t* build);
    uint32_t (*AdpmInitialize)();
    uint32_t (*AdpmUninitialize)();
    uint32_t (*AdpmGetNumPhyNic)(uint32_t* count);
    uint32_t (*AdpmGetAllPhyNicHandles)(uint32_t* handles, uint32_t count);
    uint32_t (*AdpmGetPhyNic)(uint32_t handle, void* record);
    uint32_t (*AdpmGetServiceName)(uint32_t handle, char* buffer, uint32_t size);
    uint32_t (*AdpmEnableDevice)(uint32_t handle, uint32_t enable);
    uint32_t (*AdpmRefreshData)();
    uint32_t (*AdpmGetHandleByServiceName)(const char* name, uint32_t* handle);
    uint32_t (*AdpmGetVXLRNicInfoEx)(uint32_t handle, void* record);
    uint32_t (*AdpmGetFirmwareInfo)(uint32_t handle, void* record);
    uint32_t (*AdpmGetExtVPD)(uint32_t handle, uint8_t* buffer, uint32_t* length);
    uint32_t (*AdpmInitDiag)(uint32_t handle);
    uint32_t (*AdpmUnInitDiag)(uint32_t handle);
    uint32_t (*AdpmReadFirmware)(uint32_t handle, uint32_t offset, uint32_t* buffer, uint32_t words,
                                 const char* key);
    uint32_t (*AdpmWriteFirmware)(uint32_t handle, uint32_t offset, uint32_t* buffer,
                                  uint32_t words, const char* key);
};

#define ADPM_COUNT_CALL(name) +1
inline constexpr std::size_t AdpmCallCount = 0 ADPM_CALLS(ADPM_COUNT_CALL);
#undef ADPM_COUNT_CALL
static_assert(sizeof(AdpmApi) == AdpmCallCount * sizeof(AdpmApi::AdpmGetVersion),
              "ADPM_CALLS names every member of AdpmApi");

// The library's session for as long as it lives: AdpmInitialize when it
// begins, AdpmUninitialize when it ends, whatever the first answered.
class AdpmSession {
  public:
    explicit AdpmSession(const AdpmApi& adpm) : adpm_(adpm), result_(adpm.AdpmInitialize()) {}
    AdpmSession(const AdpmSession&) = delete;
    AdpmSession& operator=(const AdpmSession&) = delete;
    ~AdpmSession() { adpm_.AdpmUninitialize(); }

    // What AdpmInitialize answered.
    uint32_t result() const { return result_; }

  private:
    const AdpmApi& adpm_;
    uint32_t result_;
};

// Diagnostic access to one function's NVRAM for as long as it lives.
class DiagnosticAccess {
  public:
    DiagnosticAccess(const AdpmApi& adpm, uint32_t handle) : adpm_(adpm), handle_(handle) {
        adpm.AdpmInitDiag(handle);
    }
    DiagnosticAccess(const DiagnosticAccess&) = delete;
    DiagnosticAccess& operator=(const DiagnosticAccess&) = delete;
    ~DiagnosticAccess() { adpm_.AdpmUnInitDiag(handle_); }

  private:
    const AdpmApi& adpm_;
    uint32_t handle_;
};

// Keeps the loaded library open for as long as it lives.
class AdpmLibrary {
  public:
    AdpmLibrary() = default;
    AdpmLibrary(const AdpmLibrary&) = delete;
    AdpmLibrary& operator=(const AdpmLibrary&) = delete;
    ~AdpmLibrary();

    // Opens the library at `path` and resolves every call into `api`. False,
    // with `api` untouched and `problem` saying why, when the file is
    // missing, cannot be loaded or lacks a call.
    bool load(const char* path, AdpmApi& api, std::string& problem);

  private:
    void* handle_ = nullptr;
};

// Where the utility looks for the library: the working directory only.
inline constexpr const char* AdpmLibraryPath = "./libadpm_x64.so.6";

// True for a library older than 6.23.6.
bool library_out_of_date(uint32_t major, uint32_t minor, uint32_t build);

// The version the loaded library reports, with the status of its call.
struct LibraryVersion {
    uint32_t status = AdpmSuccess;
    uint32_t major = 0, minor = 0, build = 0;
    // "MAJOR.MINOR.BUILD"; none when the call failed and told no version.
    std::optional<std::string> text() const;
};

LibraryVersion library_version(const AdpmApi& adpm);

// What is wrong with the library at `version`, or none when it is recent
// enough.
std::optional<std::string> library_version_problem(const LibraryVersion& version);
