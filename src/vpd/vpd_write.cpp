#include <algorithm>
#include <numeric>
#include <optional>
#include <string_view>
#include <vector>

#include "vpd/vpd.h"
#include "vpd/vpd_image.h"

namespace {

constexpr std::string_view ManufacturerId = "1F3D";
constexpr int RvReached = 1;

// The VPD area as it is written back: only its bytes may be rewritten.
using VpdArea = std::span<uint32_t, VpdAreaWords>;

// The keywords of the VPD-R area up to "RV", which comes last; none when the
// image has no such area or a keyword runs past it.
std::optional<std::vector<VpdKeywordAt>> keywords_through_rv(std::span<const uint8_t> image) {
    std::vector<VpdKeywordAt> keywords;
    const int end = walk_vpd_keywords(image, [&](const VpdKeywordAt& k) -> std::optional<int> {
        keywords.push_back(k);
        if (k.name == "RV") return RvReached;
        return std::nullopt;
    });
    if (end != RvReached) return std::nullopt;
    return keywords;
}

void put_keyword(std::vector<uint8_t>& out, std::string_view name, std::string_view prefix,
                 std::string_view data) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(static_cast<uint8_t>(prefix.size() + data.size()));
    out.insert(out.end(), prefix.begin(), prefix.end());
    out.insert(out.end(), data.begin(), data.end());
}

uint8_t byte_sum(std::span<const uint8_t> bytes) {
    return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u) & 0xFF);
}

// Writes the keywords that come before "RV", the family text put in its
// keyword (or in a new "V0" when none holds it) and "MN" set to the maker id.
// How many bytes longer they got; none when "MN" cannot take the id in place.
std::optional<long> put_keywords_with_family(std::span<const VpdKeywordAt> keywords, bool signature,
                                             std::string_view family, std::vector<uint8_t>& out) {
    long delta = 0;
    bool written = false;
    for (const VpdKeywordAt& k : keywords) {
        const long oldLength = static_cast<long>(k.data.size());
        if (k.name == "V0" && !signature) {
            put_keyword(out, k.name, "", family);
            delta += static_cast<long>(family.size()) - oldLength;
            written = true;
        } else if (k.name == "MN") {
            if (k.data.size() != ManufacturerId.size()) return std::nullopt;
            put_keyword(out, k.name, "", ManufacturerId);
        } else if (k.is_vendor() && k.data.starts_with(VpdFamilyPrefix)) {
            put_keyword(out, k.name, VpdFamilyPrefix, family);
            delta += static_cast<long>(VpdFamilyPrefix.size() + family.size()) - oldLength;
            written = true;
        } else {
            put_keyword(out, k.name, "", k.data);
        }
    }
    if (!written) {
        put_keyword(out, "V0", "", family);
        delta += static_cast<long>(VpdKeywordHeaderSize + family.size());
    }
    return delta;
}

// Closes the rebuilt area: "RV" gives up (or takes back) the `delta` bytes the
// keywords grew by, so the area keeps its length, then the checksum over the
// image so far, then the old area's bytes behind the reserved ones given up.
// False when "RV" would lose its checksum byte.
bool put_reserved(std::span<const uint8_t> image, const VpdHeader& header, const VpdKeywordAt& rv,
                  long delta, std::vector<uint8_t>& out) {
    // The whole area fits in 256 bytes, so the new length fits its byte.
    const long newLength = static_cast<long>(rv.data.size()) - delta;
    if (rv.data.empty() || newLength < 1) return false;
    out.insert(out.end(), {'R', 'V', static_cast<uint8_t>(newLength)});
    const auto before = vpd_bytes_at(image, 0, header.area_at());
    if (!before) return false;
    const auto sum = static_cast<uint8_t>(byte_sum(*before) + byte_sum(out));
    out.push_back(static_cast<uint8_t>(0x100 - sum));
    const std::size_t dropped = 1 + static_cast<std::size_t>(std::max(delta, 0L));
    const std::size_t reservedAt = rv.offset + VpdKeywordHeaderSize;
    const auto rest = vpd_bytes_between(image, reservedAt + dropped, header.area_end());
    if (!rest) return false;
    out.insert(out.end(), rest->begin(), rest->end());
    return true;
}

// The VPD-R area rebuilt for `family`, as long as the old one; none when that
// cannot be done inside the area.
std::optional<std::vector<uint8_t>> rebuild_area(std::span<const uint8_t> image,
                                                 const VpdHeader& header, std::string_view family) {
    const auto keywords = keywords_through_rv(image);
    if (!keywords) return std::nullopt;
    const std::span<const VpdKeywordAt> beforeRv = std::span(*keywords).first(keywords->size() - 1);
    const bool signature = vpd_signature(image) == SignaturePresent;
    std::vector<uint8_t> out;
    const auto delta = put_keywords_with_family(beforeRv, signature, family, out);
    if (!delta || !put_reserved(image, header, keywords->back(), *delta, out)) return std::nullopt;
    out.resize(header.areaLength, 0);
    return out;
}

bool write_vpd_area(const AdpmApi& adpm, VpdArea vpd, uint32_t handle, uint32_t nvramOffset) {
    const DiagnosticAccess access(adpm, handle);
    return adpm.AdpmWriteFirmware(handle, nvramOffset, vpd.data(), VpdAreaWords, AdpmAccessKey) ==
           AdpmSuccess;
}

// Puts the rebuilt VPD-R area in place; false when the image has none that
// can take `family`.
bool rewrite_area(VpdArea vpd, std::string_view family) {
    const std::span<uint8_t> image(reinterpret_cast<uint8_t*>(vpd.data()), vpd.size_bytes());
    const VpdHeader header = read_vpd_header(image);
    if (header.error != 0) return false;
    const auto area = vpd_bytes_at(image, header.area_at(), header.areaLength);
    const auto rebuilt = area ? rebuild_area(image, header, family) : std::nullopt;
    if (!rebuilt) return false;
    std::copy(rebuilt->begin(), rebuilt->end(), area->begin());
    return true;
}

}  // namespace

int write_nvram_family_version(const AdpmApi& adpm, std::span<uint32_t> vpd, uint32_t handle,
                               uint32_t nvramOffset, std::string_view familyText) {
    if (vpd.size() < VpdAreaWords) return FamilyNotWritten;
    const VpdArea area = vpd.first<VpdAreaWords>();
    if (!rewrite_area(area, familyText)) return FamilyNotWritten;
    return write_vpd_area(adpm, area, handle, nvramOffset) ? 0 : FamilyNotWritten;
}
