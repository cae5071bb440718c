// Byte images in the bench file: the NVRAM and the extended VPD, decoded from
// any of the forms docs/bench.md gives and written back in a compact one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "values.h"

namespace sim {

// An NVRAM image or extended VPD blob as the bench gives it: a hex text (blanks
// allowed), or {"size", "fill", "segments": [{"offset", "hex"}], "vpd": {...},
// "vpdOffset"}. `defaultSize` applies when the object names no size; 0 means
// "as long as the content".
std::vector<uint8_t> decode_bytes(const json& value, std::size_t defaultSize,
                                  std::size_t defaultVpdOffset, const std::string& where);
// The compact form written back: {"size", "segments"} holding the non-zero runs.
json encode_bytes(const std::vector<uint8_t>& bytes);

}  // namespace sim
