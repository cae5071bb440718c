#include "vpd/vpd.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>

#include "common/text.h"
#include "common/version_number.h"
#include "vpd/vpd_image.h"

namespace {

constexpr int NoFamilyVersion = 1;
constexpr std::size_t MaxFamilyData = 16;

// The family version text held in a keyword's data, as it stands there.
std::string_view family_text(std::string_view data) {
    std::string_view text = data.substr(0, data.find('\0'));
    if (!starts_with(text, VpdFamilyPrefix)) return text;
    text.remove_prefix(VpdFamilyPrefix.size());
    return text.substr(0, text.find('V'));
}

// The family version of the image, else the bootcode version standing in.
uint32_t family_or_bootcode(std::span<const uint8_t> vpd, const FirmwareInfoRecord& info,
                            std::span<char> text) {
    int major = 0, minor = 0, build = 0;
    if (parse_family_version(vpd, major, minor, build, text) == 0)
        return version_number(static_cast<uint32_t>(major), static_cast<uint32_t>(minor),
                              static_cast<uint32_t>(build));
    const BootcodeVersion bootcode = bootcode_version(info);
    std::snprintf(text.data(), text.size(), "%u.%02u.0", bootcode.major, bootcode.minor);
    return version_number(bootcode.major, bootcode.minor, 0);
}

}  // namespace

uint32_t read_nvram(const AdpmApi& adpm, uint32_t handle, uint32_t nvramOffset,
                    std::span<uint32_t> words) {
    const DiagnosticAccess access(adpm, handle);
    return adpm.AdpmReadFirmware(handle, nvramOffset, words.data(),
                                 static_cast<uint32_t>(words.size()), AdpmAccessKey);
}

std::optional<VpdBuffer> read_nvram_vpd(const AdpmApi& adpm, uint32_t handle,
                                        uint32_t nvramOffset) {
    try {
        VpdBuffer vpd(VpdAreaWords);
        if (read_nvram(adpm, handle, nvramOffset, vpd) != AdpmSuccess) return std::nullopt;
        const VpdHeader header = read_vpd_header(vpd_bytes(vpd));
        if (header.error != 0) return std::nullopt;
        const auto words = static_cast<uint16_t>(header.identifierLength + header.areaLength + 4);
        // The second read goes over the start of the first, so the buffer
        // keeps the whole area as read even when the image is shorter: the
        // family writer writes all of it back.
        vpd.resize(std::max<std::size_t>(VpdAreaWords, words));
        if (read_nvram(adpm, handle, nvramOffset, std::span(vpd).first(words)) != AdpmSuccess)
            return std::nullopt;
        return vpd;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

bool is_valid_family_text(std::string_view text) {
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.size() < 3 || text.size() > 8 || !is_digit(text[0])) return false;
    std::size_t digitRun = 0;
    char previous = '\0';
    for (const char c : text) {
        if (is_digit(c)) {
            if (++digitRun > 2) return false;
        } else if (c != '.' || previous == '.') {
            return false;
        } else {
            digitRun = 0;
        }
        previous = c;
    }
    return true;
}

int vpd_signature(std::span<const uint8_t> vpd) {
    return walk_vpd_keywords(vpd, [](const VpdKeywordAt& k) -> std::optional<int> {
        if (k.is_vendor() && starts_with(k.data, VpdSignaturePrefix)) return SignaturePresent;
        if (k.name == "RV") return NoSignature;
        return std::nullopt;
    });
}

int family_keyword_offset(std::span<const uint8_t> vpd) {
    const int signature = vpd_signature(vpd);
    if (signature < 0) return signature;
    return walk_vpd_keywords(vpd, [signature](const VpdKeywordAt& k) -> std::optional<int> {
        const bool holdsFamily = signature == SignaturePresent
                                     ? k.is_vendor() && starts_with(k.data, VpdFamilyPrefix)
                                     : k.name == "V0";
        if (holdsFamily) return static_cast<int>(k.offset);
        if (k.name == "RV") return 0;
        return std::nullopt;
    });
}

int parse_family_version(std::span<const uint8_t> vpd, int& major, int& minor, int& build,
                         std::span<char> text) {
    const int offset = family_keyword_offset(vpd);
    if (offset <= 0) return NoFamilyVersion;
    const auto at = static_cast<std::size_t>(offset);
    const std::optional<uint8_t> length = vpd_byte_at(vpd, at + VpdKeywordHeaderSize - 1);
    if (!length || *length > MaxFamilyData) return NoFamilyVersion;
    const auto data = vpd_bytes_at(vpd, at + VpdKeywordHeaderSize, *length);
    if (!data) return NoFamilyVersion;
    const std::string_view version = family_text(vpd_text(*data));
    if (!is_valid_family_text(version)) return NoFamilyVersion;
    copy_text(text, version);
    // Validated: at most two digits a group, so every group fits an int.
    const auto [first, second, third] = version_groups(version);
    major = static_cast<int>(first);
    minor = static_cast<int>(second);
    build = static_cast<int>(third);
    return 0;
}

uint32_t read_installed_family_version(const AdpmApi& adpm, uint32_t handle,
                                       const FirmwareInfoRecord& info, std::span<char> text) {
    if (info.extVpd == 0) {
        const std::optional<VpdBuffer> vpd = read_nvram_vpd(adpm, handle, VpdNvramOffset);
        return family_or_bootcode(vpd ? vpd_bytes(*vpd) : std::span<const uint8_t>{}, info, text);
    }
    std::array<uint8_t, ExtVpdCapacity> ext{};
    auto length = static_cast<uint32_t>(ext.size());
    if (adpm.AdpmGetExtVPD(handle, ext.data(), &length) != AdpmSuccess)
        return FamilyVersionUnavailable;
    // The library may claim more than the buffer holds.
    const std::size_t delivered = std::min<std::size_t>(length, ext.size());
    return family_or_bootcode(std::span(ext).first(delivered), info, text);
}
