#include "values.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sim {

void fail_at(const std::string& where, const std::string& what) {
    throw BenchError(where + ": " + what);
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

namespace {

// A member as problems name it; the name is only put together for a problem,
// as every library call reads several members.
struct Member {
    const std::string& where;
    const char* key = nullptr;
    std::string name() const { return key ? where + "." + key : where; }
};

uint32_t member_u32(const json& value, const Member& at) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<uint64_t>();
        if (n > 0xFFFFFFFFu) fail_at(at.name(), "number out of range");
        return static_cast<uint32_t>(n);
    }
    if (value.is_number_integer()) {
        const auto n = value.get<int64_t>();
        if (n < 0 || n > 0xFFFFFFFF) fail_at(at.name(), "number out of range");
        return static_cast<uint32_t>(n);
    }
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        if (text.empty()) fail_at(at.name(), "empty number");
        errno = 0;
        char* end = nullptr;
        const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
        if (errno != 0 || *end != '\0' || n > 0xFFFFFFFFu || text[0] == '-')
            fail_at(at.name(), "\"" + text + "\" is not a 32-bit number");
        return static_cast<uint32_t>(n);
    }
    fail_at(at.name(), "expected a number or a number text");
}

}  // namespace

uint32_t to_u32(const json& value, const std::string& where) {
    return member_u32(value, {where});
}

uint32_t get_u32(const json& object, const char* key, uint32_t fallback, const std::string& where) {
    if (!object.is_object()) return fallback;
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return fallback;
    return member_u32(*it, {where, key});
}

std::string get_text(const json& object, const char* key, const std::string& fallback,
                     const std::string& where) {
    if (!object.is_object()) return fallback;
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return fallback;
    if (!it->is_string()) fail_at(where + "." + key, "expected a text");
    return it->get<std::string>();
}

bool get_bool(const json& object, const char* key, bool fallback, const std::string& where) {
    if (!object.is_object()) return fallback;
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return fallback;
    if (it->is_boolean()) return it->get<bool>();
    return member_u32(*it, {where, key}) != 0;
}

std::string hex_text(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string to_hex(const uint8_t* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xF]);
    }
    return text;
}

std::vector<uint8_t> from_hex(std::string_view text, const std::string& where) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ':' || c == '-') continue;
        const int d = hex_digit(c);
        if (d < 0) fail_at(where, std::string("'") + c + "' is not a hex digit");
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0) fail_at(where, "odd number of hex digits");
    return bytes;
}

std::array<uint8_t, 6> parse_mac(std::string_view text, const std::string& where) {
    const std::vector<uint8_t> bytes = from_hex(text, where);
    if (bytes.size() != 6)
        fail_at(where, "a MAC address has 6 bytes: \"" + std::string(text) + "\"");
    std::array<uint8_t, 6> mac{};
    std::copy(bytes.begin(), bytes.end(), mac.begin());
    return mac;
}

std::string mac_text(const std::array<uint8_t, 6>& mac) {
    return to_hex(mac.data(), mac.size());
}

std::string default_mac(std::size_t i) {
    return mac_text(
        {0x02, 0, 0, 0, static_cast<uint8_t>((i + 1) >> 8), static_cast<uint8_t>((i + 1) & 0xFF)});
}

uint16_t bootcode_word(const json& value, const std::string& where) {
    if (value.is_null()) return 0;
    if (!value.is_string()) {
        const uint32_t word = to_u32(value, where);
        if (word > 0xFFFF) fail_at(where, "the bootcode word has 16 bits");
        return static_cast<uint16_t>(word);
    }
    const std::string text = value.get<std::string>();
    if (text.empty()) return 0;
    unsigned major = 0, minor = 0;
    char extra = 0;
    const int n = std::sscanf(text.c_str(), "%u.%u%c", &major, &minor, &extra);
    if (n < 1 || major > 255 || minor > 255)
        fail_at(where, "bootcode \"" + text + "\" is not MAJOR.MINOR with each below 256");
    return static_cast<uint16_t>(major | (minor << 8));
}

std::string bootcode_text(uint16_t word) {
    return std::to_string(word & 0xFF) + "." + std::to_string(word >> 8);
}

}  // namespace sim
