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
