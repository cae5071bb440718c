// The PCI VPD image: the identifier tag with its text, then the VPD-R tag
// whose area holds keywords (two name characters, a length byte, the data),
// closed by "RV". The family reader and the family writer read an image only
// through these functions: a read that would leave the image yields nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

inline constexpr uint8_t VpdIdentifierTag = 0x82;
inline constexpr uint8_t VpdReadOnlyTag = 0x90;
inline constexpr std::size_t VpdKeywordHeaderSize = 3;
// A vendor keyword whose data begins so holds the family version.
inline constexpr std::string_view VpdFamilyPrefix = "FFV";
// A vendor keyword whose data begins so marks an image whose family version
// is in such an "FFV" keyword rather than in "V0".
inline constexpr std::string_view VpdSignaturePrefix = "ZRW";

// Why an image is unusable: the results of the keyword walk, and of
// vpd_signature and family_keyword_offset.
inline constexpr int NoIdentifierTag = -1;
inline constexpr int NoReadOnlyArea = -2;
inline constexpr int NoChecksumKeyword = -3;

inline std::optional<uint8_t> vpd_byte_at(std::span<const uint8_t> vpd, std::size_t at) {
    if (at >= vpd.size()) return std::nullopt;
    return vpd[at];
}

inline std::optional<uint16_t> vpd_le16_at(std::span<const uint8_t> vpd, std::size_t at) {
    const std::optional<uint8_t> low = vpd_byte_at(vpd, at);
    const std::optional<uint8_t> high = vpd_byte_at(vpd, at + 1);
    if (!low || !high) return std::nullopt;
    return static_cast<uint16_t>(*low | *high << 8);
}

// `count` bytes from `at`, read-only or writable as the image is.
template <typename Byte>
std::optional<std::span<Byte>> vpd_bytes_at(std::span<Byte> vpd, std::size_t at,
                                            std::size_t count) {
    if (at > vpd.size() || count > vpd.size() - at) return std::nullopt;
    return vpd.subspan(at, count);
}

// The bytes from `from` up to `to`.
template <typename Byte>
std::optional<std::span<Byte>> vpd_bytes_between(std::span<Byte> vpd, std::size_t from,
                                                 std::size_t to) {
    if (from > to) return std::nullopt;
    return vpd_bytes_at(vpd, from, to - from);
}

inline std::string_view vpd_text(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The two lengths of the image's header, or the code saying which tag is
// missing.
struct VpdHeader {
    int error = 0;
    uint16_t identifierLength = 0;
    uint16_t areaLength = 0;

    // Where the VPD-R area begins, and where it ends.
    std::size_t area_at() const { return 6 + std::size_t{identifierLength}; }
    std::size_t area_end() const { return area_at() + areaLength; }
};

VpdHeader read_vpd_header(std::span<const uint8_t> vpd);

// A keyword of the VPD-R area, and where its name stands in the image.
struct VpdKeywordAt {
    std::size_t offset;
    std::string_view name;
    std::string_view data;

    bool is_vendor() const { return name.starts_with('V'); }
};

// Hands each keyword of the VPD-R area to `visit` until it returns a result,
// which the walk returns. An image without both tags gives NoIdentifierTag or
// NoReadOnlyArea; an area or keyword that reaches past the image ends the walk
// like an area without "RV": NoChecksumKeyword.
template <typename Visit>
int walk_vpd_keywords(std::span<const uint8_t> vpd, Visit visit) {
    const VpdHeader header = read_vpd_header(vpd);
    if (header.error != 0) return header.error;
    const auto area = vpd_bytes_at(vpd, header.area_at(), header.areaLength);
    if (!area) return NoChecksumKeyword;
    for (std::size_t at = 0; at < area->size();) {
        const auto name = vpd_bytes_at(*area, at, VpdKeywordHeaderSize - 1);
        const std::optional<uint8_t> length = vpd_byte_at(*area, at + VpdKeywordHeaderSize - 1);
        const auto data =
            length ? vpd_bytes_at(*area, at + VpdKeywordHeaderSize, *length) : std::nullopt;
        if (!name || !data) return NoChecksumKeyword;
        const VpdKeywordAt keyword{header.area_at() + at, vpd_text(*name), vpd_text(*data)};
        if (const std::optional<int> result = visit(keyword)) return *result;
        at += VpdKeywordHeaderSize + data->size();
    }
    return NoChecksumKeyword;
}
