// The family firmware version kept in the adapter's PCI VPD: reading it out
// of a VPD image and writing a new one back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "adpm/adpm.h"

// A VPD image, allocated in zero-filled 32-bit words.
using VpdBuffer = std::vector<uint32_t>;

inline constexpr uint32_t VpdNvramOffset = 0x100;
inline constexpr uint32_t VpdAreaWords = 64;
inline constexpr std::size_t ExtVpdCapacity = 512;

inline std::span<const uint8_t> vpd_bytes(const VpdBuffer& vpd) {
    return {reinterpret_cast<const uint8_t*>(vpd.data()), vpd.size() * sizeof(uint32_t)};
}
inline std::span<uint8_t> vpd_bytes(VpdBuffer& vpd) {
    return {reinterpret_cast<uint8_t*>(vpd.data()), vpd.size() * sizeof(uint32_t)};
}

// --- reading ---

// Reads `words` from `nvramOffset` inside a diagnostic bracket on `handle`;
// the read's result.
uint32_t read_nvram(const AdpmApi& adpm, uint32_t handle, uint32_t nvramOffset,
                    std::span<uint32_t> words);

// The VPD image at `nvramOffset`, or none when it cannot be read or is not a
// VPD. Holds at least the 64 words of the VPD area.
std::optional<VpdBuffer> read_nvram_vpd(const AdpmApi& adpm, uint32_t handle, uint32_t nvramOffset);

// Whether `text` can be a family version: 3 to 8 characters, digits and
// single dots, a digit first, at most two digits in a group.
bool is_valid_family_text(std::string_view text);

inline constexpr int NoSignature = 0;
inline constexpr int SignaturePresent = 1;

// -1 no identifier tag, -2 no VPD-R tag, -3 no "RV" (vpd/vpd_image.h);
// NoSignature or SignaturePresent.
int vpd_signature(std::span<const uint8_t> vpd);

// -1, -2, -3 as above, 0 when "RV" comes first, else the keyword's byte offset.
int family_keyword_offset(std::span<const uint8_t> vpd);

// 0 with the three numbers and the text set; 1 when the VPD holds no usable
// family version (outputs untouched). `text` receives at most size - 1 bytes.
int parse_family_version(std::span<const uint8_t> vpd, int& major, int& minor, int& build,
                         std::span<char> text);

// read_installed_family_version's answer when the extended VPD cannot be fetched; no version
// number comes near it.
inline constexpr uint32_t FamilyVersionUnavailable = static_cast<uint32_t>(-3);

// The installed family version number (or the bootcode fallback);
// FamilyVersionUnavailable when the extended VPD cannot be fetched. `text` is
// the 16-byte family text field.
uint32_t read_installed_family_version(const AdpmApi& adpm, uint32_t handle,
                                       const FirmwareInfoRecord& info, std::span<char> text);

// --- writing ---

// What the family writers answer when the family version was not written.
inline constexpr int FamilyNotWritten = 1;

// Rewrites the VPD-R area for `familyText` and writes the 64-word VPD area
// back; 0 on success, FamilyNotWritten on failure (nothing written when
// refused).
int write_nvram_family_version(const AdpmApi& adpm, std::span<uint32_t> vpd, uint32_t handle,
                               uint32_t nvramOffset, std::string_view familyText);
