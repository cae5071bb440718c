#include "byte_images.h"

#include <algorithm>

#include "vpd_builder.h"

namespace sim {

namespace {

void put(std::vector<uint8_t>& image, std::size_t offset, const std::vector<uint8_t>& bytes,
         const std::string& where) {
    if (offset > image.size() || bytes.size() > image.size() - offset)
        fail_at(where, "content at " + hex_text(static_cast<uint32_t>(offset)) + " (" +
                           std::to_string(bytes.size()) + " bytes) does not fit into " +
                           std::to_string(image.size()) + " bytes");
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace

std::vector<uint8_t> decode_bytes(const json& value, std::size_t defaultSize,
                                  std::size_t defaultVpdOffset, const std::string& where) {
    if (value.is_null()) return std::vector<uint8_t>(defaultSize, 0);
    if (value.is_string()) {
        std::vector<uint8_t> bytes = from_hex(value.get<std::string>(), where);
        return bytes;
    }
    if (value.is_array()) {
        std::vector<uint8_t> bytes;
        for (const json& b : value) {
            const uint32_t n = to_u32(b, where);
            if (n > 255) fail_at(where, "byte above 255");
            bytes.push_back(static_cast<uint8_t>(n));
        }
        return bytes;
    }
    if (!value.is_object()) fail_at(where, "expected hex text or an object");

    // Gather the pieces first so that a missing size can follow the content.
    std::vector<std::pair<std::size_t, std::vector<uint8_t>>> pieces;
    if (value.contains("vpd")) {
        const std::size_t at =
            get_u32(value, "vpdOffset", static_cast<uint32_t>(defaultVpdOffset), where);
        pieces.emplace_back(at, build_vpd(value["vpd"], where + ".vpd"));
    }
    if (value.contains("segments")) {
        const json& segments = value["segments"];
        if (!segments.is_array()) fail_at(where + ".segments", "expected a list");
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const std::string w = where + ".segments[" + std::to_string(i) + "]";
            const json& s = segments[i];
            const std::size_t at = get_u32(s, "offset", 0, w);
            if (s.contains("text")) {
                const std::string text = get_text(s, "text", "", w);
                pieces.emplace_back(at, std::vector<uint8_t>(text.begin(), text.end()));
            } else {
                pieces.emplace_back(at, from_hex(get_text(s, "hex", "", w), w + ".hex"));
            }
        }
    }
    std::size_t size = get_u32(value, "size", static_cast<uint32_t>(defaultSize), where);
    if (size == 0)
        for (const auto& [at, bytes] : pieces) size = std::max(size, at + bytes.size());
    const uint32_t fill = get_u32(value, "fill", 0, where);
    if (fill > 255) fail_at(where + ".fill", "byte above 255");
    std::vector<uint8_t> image(size, static_cast<uint8_t>(fill));
    for (const auto& [at, bytes] : pieces) put(image, at, bytes, where);
    return image;
}

json encode_bytes(const std::vector<uint8_t>& bytes) {
    json segments = json::array();
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        if (bytes[i] == 0) {
            ++i;
            continue;
        }
        // A run of non-zero bytes, joined with the next run across fewer
        // than 16 zero bytes.
        const std::size_t start = i;
        std::size_t end = i;
        while (end < n) {
            std::size_t j = end;
            while (j < n && bytes[j] != 0) ++j;
            end = j;
            std::size_t k = j;
            while (k < n && bytes[k] == 0 && k - j < 16) ++k;
            if (k < n && bytes[k] != 0 && k - j < 16) {
                end = k;
                continue;
            }
            break;
        }
        segments.push_back({{"offset", hex_text(static_cast<uint32_t>(start))},
                            {"hex", to_hex(bytes.data() + start, end - start)}});
        i = end;
    }
    return {{"size", n}, {"segments", segments}};
}

}  // namespace sim
