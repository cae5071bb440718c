// Installed firmware component versions, from the firmware information record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "adpm/adpm.h"

// Fetches the record; false when the call fails.
bool read_firmware_info(const AdpmApi& adpm, uint32_t handle, FirmwareInfoRecord& info);

// Where the firmware information holds a component's installed version.
struct InstalledForm {
    enum Kind {
        BootcodeWord,  // the bootcode word, shown "major.minor" with two minor digits
        NotReported,   // no field: "0", so that any target counts as newer
        InfoText,      // the version at the end of the text at `offset`
    } kind;
    std::size_t offset = 0;
};

// Writes the installed version's text into `text` and returns its number.
uint32_t read_installed_version(InstalledForm form, const FirmwareInfoRecord& info,
                                std::span<char> text);

// The trailing run of digits and dots of `source`, read from the end, as a
// version number; that run (cut to the field) goes into `text`.
uint32_t trailing_version_number(std::string_view source, std::span<char> text);
