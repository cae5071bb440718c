// The bench file's values: numbers, texts, flags, hex, MAC addresses and the
// bootcode word, read with the place a problem names; BenchError for a bench
// file that cannot be used.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

using json = nlohmann::json;

// A bench file that cannot be used; the text says where and why.
struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws BenchError: "where: what".
[[noreturn]] void fail_at(const std::string& where, const std::string& what);

// A number given as a JSON number or as a text ("0x7a01", "31", "0b1").
uint32_t to_u32(const json& value, const std::string& where);
uint32_t get_u32(const json& object, const char* key, uint32_t fallback, const std::string& where);
std::string get_text(const json& object, const char* key, const std::string& fallback,
                     const std::string& where);
bool get_bool(const json& object, const char* key, bool fallback, const std::string& where);

std::string hex_text(uint32_t value);  // "0x7a01"
std::string to_hex(const uint8_t* bytes, std::size_t size);
std::vector<uint8_t> from_hex(std::string_view text, const std::string& where);

// "00:10:18:a1:00:00", "00-10-18-..." or "001018a10000" (any case).
std::array<uint8_t, 6> parse_mac(std::string_view text, const std::string& where);
std::string mac_text(const std::array<uint8_t, 6>& mac);  // 12 lower-case hex digits
// The MAC of the i-th function (from 0) that names none: 02:00:00:00:hi:lo of i + 1.
std::string default_mac(std::size_t i);

// The bootcode word: low byte major, high byte minor. From "7.10" (major 7,
// minor 10) or a raw number; back to "7.10".
uint16_t bootcode_word(const json& value, const std::string& where);
std::string bootcode_text(uint16_t word);

}  // namespace sim
