#include "adapter/installed_versions.h"

#include <cstddef>
#include <cstdio>

#include "common/text.h"
#include "common/version_number.h"

namespace {

// What a component the firmware information does not report reads as.
constexpr std::string_view AbsentVersion = "0";

bool is_version_char(char c) {
    return (c >= '0' && c <= '9') || c == '.';
}

uint32_t bootcode_text(const FirmwareInfoRecord& info, std::span<char> text) {
    const BootcodeVersion bootcode = bootcode_version(info);
    std::snprintf(text.data(), text.size(), "%u.%02u", bootcode.major, bootcode.minor);
    return version_number(bootcode.major, bootcode.minor, 0);
}

}  // namespace

bool read_firmware_info(const AdpmApi& adpm, uint32_t handle, FirmwareInfoRecord& info) {
    info = FirmwareInfoRecord{};
    info.version = FirmwareInfoRecordVersion;
    return adpm.AdpmGetFirmwareInfo(handle, &info) == AdpmSuccess;
}

uint32_t read_installed_version(InstalledForm form, const FirmwareInfoRecord& info,
                                std::span<char> text) {
    switch (form.kind) {
        case InstalledForm::BootcodeWord:
            return bootcode_text(info, text);
        case InstalledForm::NotReported:
            return trailing_version_number(AbsentVersion, text);
        case InstalledForm::InfoText:
            break;
    }
    return trailing_version_number(firmware_info_text(info, form.offset), text);
}

uint32_t trailing_version_number(std::string_view source, std::span<char> text) {
    std::size_t start = source.size();
    while (start > 0 && is_version_char(source[start - 1])) --start;
    const std::string_view run = source.substr(start);
    copy_text(text, run);
    const auto [major, minor, build] = version_groups(run);
    return version_number(major, minor, build);
}
