// PCI VPD images for the bench: built from a description, and keywords set
// in place the way the tool writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "values.h"

namespace sim {

// The length of a built VPD image unless its description names another.
inline constexpr std::size_t VpdAreaSize = 256;

// A PCI VPD image from {"identifier", "keywords": [["PN","..."], {"name","data"|"hex"}],
// "rv", "length", "checksum"}; see docs/bench.md.
std::vector<uint8_t> build_vpd(const json& layout, const std::string& where);

// Sets keywords of the VPD-R area of the image at `offset` (at most `areaSize`
// bytes): replaces each keyword's data, or inserts the keyword before "RV";
// the area keeps its length, the "RV" reserved space absorbs the difference
// and the checksum is recomputed. False with `error` set when the VPD cannot
// be parsed or the keywords do not fit.
bool vpd_set_keywords(std::vector<uint8_t>& image, std::size_t offset, std::size_t areaSize,
                      const std::vector<std::pair<std::string, std::string>>& keywords,
                      std::string& error);

}  // namespace sim
