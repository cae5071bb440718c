// Bounded text fields: every text the utility keeps lives in a fixed-size char
// array and stays NUL-terminated, whatever the source hands it.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

// The text held in a fixed field: up to its first NUL, never past its end.
inline std::string_view field_text(std::span<const char> field) {
    const void* nul = std::memchr(field.data(), '\0', field.size());
    const std::size_t length =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field.data()) : field.size();
    return {field.data(), length};
}

template <std::size_t N>
std::string_view field_text(const char (&field)[N]) {
    return field_text(std::span<const char>(field, N));
}

// Copies at most size - 1 bytes of src into dst and terminates it.
inline void copy_text(std::span<char> dst, std::string_view src) {
    if (dst.empty()) return;
    const std::size_t n = src.size() < dst.size() - 1 ? src.size() : dst.size() - 1;
    std::memcpy(dst.data(), src.data(), n);
    dst[n] = '\0';
}

template <std::size_t N>
void copy_text(char (&dst)[N], std::string_view src) {
    copy_text(std::span<char>(dst, N), src);
}

inline bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// "1 entry", "2 entries".
inline std::string count_noun(std::size_t n, const char* singular, const char* plural) {
    return std::to_string(n) + ' ' + (n == 1 ? singular : plural);
}

inline bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The 12 hex digits of a MAC address, as the tool and the utility's notes
// name an adapter (in either case).
inline constexpr std::size_t MacDigits = 12;
inline bool is_mac_digits(std::string_view text) {
    if (text.size() != MacDigits) return false;
    for (char c : text)
        if (!is_hex_digit(c)) return false;
    return true;
}

// ASCII letters folded to lower case; for hex digits and names compared
// without regard to case.
inline std::string lower_case(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A byte a terminal would act on instead of showing: the C0 controls, DEL,
// and the 8-bit controls 0x80-0x9F (0x9B opens an escape sequence).
inline bool is_terminal_control(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || (byte >= 0x7F && byte <= 0x9F);
}

// Text from a library or a file, fit for a terminal: each control byte as '?'.
inline std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (is_terminal_control(c)) c = '?';
    return out;
}

// A word from a command line as a message shows it: quoted, cut after 60
// characters, control bytes as '?'.
inline std::string quoted_word(std::string_view word) {
    constexpr std::size_t MaxShown = 60;
    return "\"" + printable(word.substr(0, MaxShown)) + (word.size() > MaxShown ? "...\"" : "\"");
}

// The length of the well-formed UTF-8 sequence that starts `s` (1 for an
// ASCII byte), or 0 when it does not start with one.
inline std::size_t utf8_length(std::string_view s) {
    if (s.empty()) return 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    return length;
}
