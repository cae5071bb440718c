// SHA-256 (FIPS 180-4): the digest of a byte string; the plan names the
// configuration table by it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
  public:
    Sha256();
    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    // The digest of everything given; the object is spent afterwards.
    std::array<uint8_t, 32> finish();

  private:
    void block(const uint8_t* data);
    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    uint64_t length_ = 0;  // bytes given
};

// The digest in lower-case hex, 64 digits.
std::string sha256_hex(std::string_view bytes);
std::string hex_of(const std::array<uint8_t, 32>& digest);
