#include "vpd/vpd.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr uint8_t IdentifierTag = 0x82;
constexpr uint8_t ReadOnlyTag = 0x90;
constexpr std::size_t KeywordHeader = 3;  // two name characters, one length byte
constexpr std::size_t VpdAreaBytes = VpdAreaWords * sizeof(uint32_t);
constexpr std::string_view FamilyPrefix = "FFV";
constexpr std::string_view SignaturePrefix = "ZRW";
constexpr std::string_view ManufacturerId = "1F3D";

struct Keyword {
    std::string_view name;
    std::span<const uint8_t> data;
};

std::string_view as_text(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool data_begins(const Keyword& k, std::string_view prefix) {
    return as_text(k.data).substr(0, prefix.size()) == prefix;
}

bool is_vendor(const Keyword& k) {
    return k.name[0] == 'V';
}

// Where the VPD-R area lies in the image.
struct ReadOnlyArea {
    std::size_t start;
    std::size_t length;
};

uint16_t read16(std::span<const uint8_t> bytes, std::size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// The VPD-R area, when the image has both tags and the area ends inside the
// part of the image that is written back.
std::optional<ReadOnlyArea> find_read_only_area(std::span<const uint8_t> image) {
    if (image[0] != IdentifierTag) return std::nullopt;
    const std::size_t tagAt = std::size_t{3} + read16(image, 1);
    if (tagAt + 3 > VpdAreaBytes || image[tagAt] != ReadOnlyTag) return std::nullopt;
    const ReadOnlyArea area{tagAt + 3, read16(image, tagAt + 1)};
    if (area.start + area.length > VpdAreaBytes) return std::nullopt;
    return area;
}

// The keywords before "RV", and "RV" itself last; none when a keyword runs
// past the area or no "RV" closes it.
std::optional<std::vector<Keyword>> read_keywords(std::span<const uint8_t> area) {
    std::vector<Keyword> keywords;
    for (std::size_t at = 0; at + KeywordHeader <= area.size();) {
        const std::size_t length = area[at + 2];
        if (at + KeywordHeader + length > area.size()) return std::nullopt;
        keywords.push_back(
            {as_text(area.subspan(at, 2)), area.subspan(at + KeywordHeader, length)});
        if (keywords.back().name == "RV") return keywords;
        at += KeywordHeader + length;
    }
    return std::nullopt;
}

bool has_signature(std::span<const Keyword> keywords) {
    return std::any_of(keywords.begin(), keywords.end(), [](const Keyword& k) {
        return is_vendor(k) && data_begins(k, SignaturePrefix);
    });
}

void put_keyword(std::vector<uint8_t>& out, std::string_view name, std::string_view prefix,
                 std::string_view data) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(static_cast<uint8_t>(prefix.size() + data.size()));
    out.insert(out.end(), prefix.begin(), prefix.end());
    out.insert(out.end(), data.begin(), data.end());
}

void put_keyword(std::vector<uint8_t>& out, const Keyword& k) {
    put_keyword(out, k.name, "", as_text(k.data));
}

uint8_t byte_sum(std::span<const uint8_t> bytes) {
    return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u) & 0xFF);
}

// Writes the keywords that come before "RV", the family text put in its
// keyword (or in a new "V0" when none holds it) and "MN" set to the maker id.
// How many bytes longer they got; none when "MN" cannot take the id in place.
std::optional<long> put_keywords_with_family(std::span<const Keyword> keywords,
                                             std::string_view family, std::vector<uint8_t>& out) {
    const bool signature = has_signature(keywords);
    long delta = 0;
    bool written = false;
    for (const Keyword& k : keywords) {
        const long oldLength = static_cast<long>(k.data.size());
        if (k.name == "V0" && !signature) {
            put_keyword(out, k.name, "", family);
            delta += static_cast<long>(family.size()) - oldLength;
            written = true;
        } else if (k.name == "MN") {
            if (k.data.size() != ManufacturerId.size()) return std::nullopt;
            put_keyword(out, k.name, "", ManufacturerId);
        } else if (is_vendor(k) && data_begins(k, FamilyPrefix)) {
            put_keyword(out, k.name, FamilyPrefix, family);
            delta += static_cast<long>(FamilyPrefix.size() + family.size()) - oldLength;
            written = true;
        } else {
            put_keyword(out, k);
        }
    }
    if (!written) {
        put_keyword(out, "V0", "", family);
        delta += static_cast<long>(KeywordHeader + family.size());
    }
    return delta;
}

// Closes the rebuilt area: "RV" gives up (or takes back) the `delta` bytes the
// keywords grew by, so the area keeps its length, then the checksum over the
// image so far, then the old area's bytes behind the reserved ones given up.
// False when "RV" would lose its checksum byte.
bool put_reserved(std::span<const uint8_t> header, std::span<const uint8_t> old,
                  std::span<const uint8_t> reserved, long delta, std::vector<uint8_t>& out) {
    // The whole area fits in 256 bytes, so the new length fits its byte.
    const long newLength = static_cast<long>(reserved.size()) - delta;
    if (reserved.empty() || newLength < 1) return false;
    out.insert(out.end(), {'R', 'V', static_cast<uint8_t>(newLength)});
    const uint8_t sum = static_cast<uint8_t>(byte_sum(header) + byte_sum(out));
    out.push_back(static_cast<uint8_t>(0x100 - sum));
    const std::size_t dropped = 1 + static_cast<std::size_t>(std::max(delta, 0L));
    const auto rest = old.subspan(static_cast<std::size_t>(reserved.data() - old.data()) + dropped);
    out.insert(out.end(), rest.begin(), rest.end());
    return true;
}

// The VPD-R area rebuilt for `family`, as long as the old one; none when that
// cannot be done inside the area.
std::optional<std::vector<uint8_t>> rebuild_area(std::span<const uint8_t> image, ReadOnlyArea area,
                                                 std::string_view family) {
    const std::span<const uint8_t> old = image.subspan(area.start, area.length);
    const auto keywords = read_keywords(old);
    if (!keywords) return std::nullopt;
    std::vector<uint8_t> out;
    const std::span<const Keyword> beforeRv = std::span(*keywords).first(keywords->size() - 1);
    const auto delta = put_keywords_with_family(beforeRv, family, out);
    if (!delta || !put_reserved(image.first(area.start), old, keywords->back().data, *delta, out))
        return std::nullopt;
    out.resize(area.length, 0);
    return out;
}

bool write_vpd_area(std::span<uint32_t> vpd, uint32_t handle, uint32_t nvramOffset) {
    Adpm.AdpmInitDiag(handle);
    const uint32_t result =
        Adpm.AdpmWriteFirmware(handle, nvramOffset, vpd.data(), VpdAreaWords, AdpmAccessKey);
    Adpm.AdpmUnInitDiag(handle);
    return result == AdpmSuccess;
}

}  // namespace

int UpdateFWFamVer(std::span<uint32_t> vpd, uint32_t handle, uint32_t /*type*/,
                   uint32_t nvramOffset, std::string_view familyText) {
    if (vpd.size() < VpdAreaWords) return FamilyNotWritten;
    const std::span<uint8_t> image(reinterpret_cast<uint8_t*>(vpd.data()), vpd.size_bytes());
    const auto area = find_read_only_area(image);
    if (!area) return FamilyNotWritten;
    const auto rebuilt = rebuild_area(image, *area, familyText);
    if (!rebuilt) return FamilyNotWritten;
    std::copy(rebuilt->begin(), rebuilt->end(), image.subspan(area->start).begin());
    return write_vpd_area(vpd, handle, nvramOffset) ? 0 : FamilyNotWritten;
}
