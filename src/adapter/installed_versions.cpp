#include "adapter/installed_versions.h"

#include <cstddef>
#include <cstdio>

#include "common/text.h"
#include "common/version_number.h"

namespace {

// The firmware information has no field for the qmx and FCoE versions; "0"
// makes any target of the table count as newer.
constexpr std::string_view AbsentVersion = "0";

bool is_version_char(char c) {
    return (c >= '0' && c <= '9') || c == '.';
}

uint32_t text_version(const FirmwareInfoRecord& info, std::size_t offset, std::span<char> text) {
    return version_str_to_no(firmware_info_text(info, offset), text);
}

}  // namespace

int get_adpm_fwinfo(uint32_t adapterType, uint32_t handle, FirmwareInfoRecord& info) {
    info = FirmwareInfoRecord{};
    info.version = FirmwareInfoRecordVersion;
    if (Adpm.AdpmGetFirmwareInfo(handle, &info) != AdpmSuccess) return -1;
    return static_cast<int>(adapterType);
}

uint32_t get_fw_ver(uint32_t, uint32_t, const FirmwareInfoRecord& info, std::span<char> text) {
    const BootcodeVersion bootcode = bootcode_version(info);
    std::snprintf(text.data(), text.size(), "%u.%02u", bootcode.major, bootcode.minor);
    return version_number(bootcode.major, bootcode.minor, 0);
}

uint32_t get_bta_ver(uint32_t, uint32_t, const FirmwareInfoRecord& info, std::span<char> text) {
    return text_version(info, offsetof(FirmwareInfoRecord, btaVersion), text);
}

uint32_t get_ncsi_ver(uint32_t, uint32_t, const FirmwareInfoRecord& info, std::span<char> text) {
    return text_version(info, offsetof(FirmwareInfoRecord, ncsiVersion), text);
}

uint32_t get_qmx_ver(uint32_t, uint32_t, const FirmwareInfoRecord&, std::span<char> text) {
    return version_str_to_no(AbsentVersion, text);
}

uint32_t get_ipmi_ver(uint32_t, uint32_t, const FirmwareInfoRecord& info, std::span<char> text) {
    return text_version(info, offsetof(FirmwareInfoRecord, ipmiVersion), text);
}

uint32_t get_iscsi_ver(uint32_t, uint32_t, const FirmwareInfoRecord& info, std::span<char> text) {
    return text_version(info, offsetof(FirmwareInfoRecord, iscsiVersion), text);
}

uint32_t get_uefi_ver(uint32_t, uint32_t, const FirmwareInfoRecord& info, std::span<char> text) {
    return text_version(info, offsetof(FirmwareInfoRecord, uefiVersion), text);
}

uint32_t get_fcoe_ver(uint32_t, uint32_t, const FirmwareInfoRecord&, std::span<char> text) {
    return version_str_to_no(AbsentVersion, text);
}

uint32_t get_cfx_ver(uint32_t, uint32_t, const FirmwareInfoRecord& info, std::span<char> text) {
    return text_version(info, offsetof(FirmwareInfoRecord, cfxVersion), text);
}

uint32_t version_str_to_no(std::string_view source, std::span<char> text) {
    std::size_t start = source.size();
    while (start > 0 && is_version_char(source[start - 1])) --start;
    const std::string_view run = source.substr(start);
    copy_text(text, run);
    const auto [major, minor, build] = version_groups(run);
    return version_number(major, minor, build);
}
