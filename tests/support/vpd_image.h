// Builds VPD images byte by byte for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct VpdKeyword {
    std::string name;  // two characters
    std::string data;  // at most 255 bytes
};

// An identifier string, then a VPD-R area holding `keywords` in order. When
// `rvReserved` is not negative an "RV" keyword closes the area: its first data
// byte the checksum (correct over the image), then rvReserved - 1 zero bytes.
// The image is padded with zeros to `size` bytes (at least its own length).
std::vector<uint8_t> make_vpd(const std::string& identifier,
                              const std::vector<VpdKeyword>& keywords, int rvReserved,
                              std::size_t size = 256);

// The same image as 32-bit words, as the utility allocates VPD buffers.
std::vector<uint32_t> vpd_words(const std::vector<uint8_t>& bytes);

// The 8-bit sum of bytes [0, end): 0 when the checksum up to end holds.
uint8_t vpd_sum(const std::vector<uint8_t>& bytes, std::size_t end);
