#include "vpd_builder.h"

#include <algorithm>

namespace sim {

namespace {

struct Keyword {
    std::string name;
    std::vector<uint8_t> data;
};

Keyword keyword_of(const json& k, const std::string& where) {
    Keyword kw;
    if (k.is_array() && k.size() == 2 && k[0].is_string() && k[1].is_string()) {
        kw.name = k[0].get<std::string>();
        const std::string data = k[1].get<std::string>();
        kw.data.assign(data.begin(), data.end());
    } else if (k.is_object()) {
        kw.name = get_text(k, "name", "", where);
        if (k.contains("hex")) {
            kw.data = from_hex(get_text(k, "hex", "", where), where + ".hex");
        } else {
            const std::string data = get_text(k, "data", "", where);
            kw.data.assign(data.begin(), data.end());
        }
    } else {
        fail_at(where, "a keyword is [\"NAME\", \"data\"] or {\"name\", \"data\"|\"hex\"}");
    }
    if (kw.name.size() != 2) fail_at(where, "keyword name \"" + kw.name + "\" is not 2 characters");
    if (kw.data.size() > 255) fail_at(where, "keyword " + kw.name + " holds more than 255 bytes");
    return kw;
}

}  // namespace

std::vector<uint8_t> build_vpd(const json& layout, const std::string& where) {
    if (!layout.is_object()) fail_at(where, "a VPD description is an object");
    const std::string identifier = get_text(layout, "identifier", "Vexlor Ethernet Adapter", where);
    std::vector<Keyword> keywords;
    if (layout.contains("keywords")) {
        const json& list = layout["keywords"];
        if (!list.is_array()) fail_at(where + ".keywords", "expected a list");
        for (std::size_t i = 0; i < list.size(); ++i)
            keywords.push_back(keyword_of(list[i], where + ".keywords[" + std::to_string(i) + "]"));
    }
    const std::size_t length = get_u32(layout, "length", static_cast<uint32_t>(VpdAreaSize), where);
    if (identifier.size() > 0xFFFF) fail_at(where, "identifier too long");

    std::size_t keywordBytes = 0;
    for (const Keyword& k : keywords) keywordBytes += 3 + k.data.size();
    const std::size_t head = 3 + identifier.size() + 3;

    // "rv": data bytes of the RV keyword (checksum + reserved); absent: fill
    // the image up to `length`; negative or false: no RV keyword at all.
    bool withRv = true;
    std::size_t rv = 0;
    const auto it = layout.find("rv");
    if (it != layout.end() &&
        (it->is_boolean() || (it->is_number_integer() && it->get<int64_t>() < 0))) {
        withRv = it->is_boolean() && it->get<bool>();
    } else if (it != layout.end() && !it->is_null()) {
        rv = to_u32(*it, where + ".rv");
    }
    if (withRv && (it == layout.end() || it->is_null() || it->is_boolean())) {
        const std::size_t used = head + keywordBytes + 3;
        rv = length > used ? std::min<std::size_t>(length - used, 255) : 1;
    }
    if (withRv && (rv < 1 || rv > 255)) fail_at(where + ".rv", "RV holds 1 to 255 bytes");

    const std::size_t r = keywordBytes + (withRv ? 3 + rv : 0);
    if (r > 0xFFFF) fail_at(where, "VPD-R area too long");
    std::vector<uint8_t> image;
    image.push_back(0x82);
    image.push_back(static_cast<uint8_t>(identifier.size() & 0xFF));
    image.push_back(static_cast<uint8_t>(identifier.size() >> 8));
    image.insert(image.end(), identifier.begin(), identifier.end());
    image.push_back(0x90);
    image.push_back(static_cast<uint8_t>(r & 0xFF));
    image.push_back(static_cast<uint8_t>(r >> 8));
    for (const Keyword& k : keywords) {
        image.insert(image.end(), k.name.begin(), k.name.end());
        image.push_back(static_cast<uint8_t>(k.data.size()));
        image.insert(image.end(), k.data.begin(), k.data.end());
    }
    if (withRv) {
        image.push_back('R');
        image.push_back('V');
        image.push_back(static_cast<uint8_t>(rv));
        unsigned sum = 0;
        for (const uint8_t b : image) sum += b;
        const uint8_t checksum = static_cast<uint8_t>(0x100 - (sum & 0xFF));
        image.push_back(layout.contains("checksum")
                            ? static_cast<uint8_t>(get_u32(layout, "checksum", 0, where) & 0xFF)
                            : checksum);
        image.insert(image.end(), rv - 1, 0);
    }
    if (image.size() > length)
        fail_at(where, "the VPD takes " + std::to_string(image.size()) +
                           " bytes, more than its length " + std::to_string(length));
    image.resize(length, 0);
    return image;
}

bool vpd_set_keywords(std::vector<uint8_t>& image, std::size_t offset, std::size_t areaSize,
                      const std::vector<std::pair<std::string, std::string>>& updates,
                      std::string& error) {
    const std::size_t limit = std::min(image.size(), offset + areaSize);
    if (offset + 3 > limit || image[offset] != 0x82) {
        error = "no identifier tag";
        return false;
    }
    const std::size_t l = image[offset + 1] | (static_cast<std::size_t>(image[offset + 2]) << 8);
    const std::size_t rTag = offset + 3 + l;
    if (rTag + 3 > limit || image[rTag] != 0x90) {
        error = "no VPD-R tag";
        return false;
    }
    const std::size_t r = image[rTag + 1] | (static_cast<std::size_t>(image[rTag + 2]) << 8);
    const std::size_t start = rTag + 3;
    const std::size_t end = start + r;
    if (end > limit) {
        error = "VPD-R area runs past the VPD";
        return false;
    }
    std::vector<Keyword> keywords;
    bool rvFound = false;
    for (std::size_t p = start; p + 3 <= end;) {
        Keyword k;
        k.name.assign(reinterpret_cast<const char*>(&image[p]), 2);
        const std::size_t n = image[p + 2];
        if (k.name == "RV") {
            rvFound = true;
            break;
        }
        if (p + 3 + n > end) {
            error = "keyword " + k.name + " runs past the VPD-R area";
            return false;
        }
        k.data.assign(image.begin() + static_cast<std::ptrdiff_t>(p + 3),
                      image.begin() + static_cast<std::ptrdiff_t>(p + 3 + n));
        keywords.push_back(std::move(k));
        p += 3 + n;
    }
    if (!rvFound) {
        error = "no RV keyword";
        return false;
    }
    for (const auto& [name, data] : updates) {
        if (name.size() != 2 || data.size() > 255) {
            error = "bad keyword " + name;
            return false;
        }
        auto it = std::find_if(keywords.begin(), keywords.end(),
                               [&](const Keyword& k) { return k.name == name; });
        if (it == keywords.end()) it = keywords.insert(keywords.end(), Keyword{name, {}});
        it->data.assign(data.begin(), data.end());
    }
    std::size_t keywordBytes = 0;
    for (const Keyword& k : keywords) keywordBytes += 3 + k.data.size();
    if (keywordBytes + 4 > r || r - keywordBytes - 3 > 255) {
        error = "the keywords do not fit the VPD-R area of " + std::to_string(r) + " bytes";
        return false;
    }
    const std::size_t rv = r - keywordBytes - 3;
    std::size_t p = start;
    for (const Keyword& k : keywords) {
        image[p++] = static_cast<uint8_t>(k.name[0]);
        image[p++] = static_cast<uint8_t>(k.name[1]);
        image[p++] = static_cast<uint8_t>(k.data.size());
        for (const uint8_t b : k.data) image[p++] = b;
    }
    image[p++] = 'R';
    image[p++] = 'V';
    image[p++] = static_cast<uint8_t>(rv);
    unsigned sum = 0;
    for (std::size_t i = offset; i < p; ++i) sum += image[i];
    image[p++] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(p),
              image.begin() + static_cast<std::ptrdiff_t>(end), 0);
    return true;
}

}  // namespace sim
