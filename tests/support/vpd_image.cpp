#include "support/vpd_image.h"

#include <cstring>

namespace {

void put16(std::vector<uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void put_keyword(std::vector<uint8_t>& out, const std::string& name, const std::string& data) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

}  // namespace

std::vector<uint8_t> make_vpd(const std::string& identifier,
                              const std::vector<VpdKeyword>& keywords, int rvReserved,
                              std::size_t size) {
    std::vector<uint8_t> area;
    for (const VpdKeyword& k : keywords) put_keyword(area, k.name, k.data);
    std::size_t rvAt = 0;
    if (rvReserved >= 0) {
        rvAt = area.size();
        put_keyword(area, "RV", std::string(static_cast<std::size_t>(rvReserved), '\0'));
    }
    std::vector<uint8_t> out;
    out.push_back(0x82);
    put16(out, identifier.size());
    out.insert(out.end(), identifier.begin(), identifier.end());
    out.push_back(0x90);
    put16(out, area.size());
    const std::size_t areaStart = out.size();
    out.insert(out.end(), area.begin(), area.end());
    if (rvReserved > 0) {
        const std::size_t checksumAt = areaStart + rvAt + 3;
        out[checksumAt] = static_cast<uint8_t>(0x100 - vpd_sum(out, checksumAt));
    }
    if (out.size() < size) out.resize(size, 0);
    return out;
}

std::vector<uint32_t> vpd_words(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> words((bytes.size() + 3) / 4);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

uint8_t vpd_sum(const std::vector<uint8_t>& bytes, std::size_t end) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < end && i < bytes.size(); ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum & 0xFF);
}
