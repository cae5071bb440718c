// Result codes: what the result document reports for each adapter function,
// or for the whole run, and the message each one carries. The numbers are
// the ones the update framework reads.
#pragma once

#include <cstdint>
#include <iterator>

enum class ResultCode : uint32_t {
    Success = 0,
    InvalidUsage = 1,
    UnsupportedOs = 2,
    ConfigUnreadable = 3,
    OutputUnopenable = 4,
    WriteProtect = 5,
    LibraryOutOfDate = 6,
    LibraryInitFailed = 7,
    OutOfMemory = 8,
    ToolErrorRestored = 9,
    // Also an adapter whose firmware information could not be read: it is
    // reported, and never programmed.
    AdapterListFailed = 10,
    DamagedImage = 11,
    NoSupportedDevices = 12,
    FamilyWriteFailed = 13,
    RestoreFailed = 14,
    NvramSettingFailed = 15,
    PhyFailed = 16,
    // An adapter the run did not reach because it was asked to stop.
    UpdateIncomplete = 17,
    DriverNotSupported = 18,
};

// The number an adapter record's status and the documents carry.
constexpr uint32_t code_of(ResultCode code) {
    return static_cast<uint32_t>(code);
}

inline constexpr uint32_t MessageCount = code_of(ResultCode::DriverNotSupported) + 1;

// The message of each code, by its number.
inline constexpr const char* messages[] = {
    "Update success.",
    "Dependency failure. Invalid usage.",
    "Dependency failure. Unsuppported operating system.",
    "Dependency failure. Could not read configuration file.",
    "Dependency failure. Could not open output file.",
    "Update failure. Write Protect or System Lockdown enabled.",
    "Dependency failure. Library out of date.",
    "Update failure. Library could not be initialized.",
    "Update failure. Could not allocate memory.",
    "Update failure. Firmware programming utility returned an error. Original firmware restored",
    "Update failure. Could not acquire network adapter list.",
    "Update failure. Damaged firmware image.",
    "Update failure. No supported devices found.",
    "Update failure. Failed to update family version in NVRAM.",
    "Update failure. Firmware programming utility returned an error. Firmware could not be "
    "restored.",
    "Update failure. NVRAM Configuration Setting change failed.",
    "Update failure. External PHY Firmware update failed.",
    "Update Incomplete!!  Firmware too old.  Reboot, then run this QIK program AGAIN to complete "
    "the update.",
    "Update failure. Driver not supported. See release notes for recommended driver.",
};
static_assert(std::size(messages) == MessageCount, "one message for each result code");
