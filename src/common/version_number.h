// Version numbers: major × 10000 + minor × 100 + build, the form in which
// installed and target versions are compared.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// Groups are not limited to two digits: a minor of 100 carries into the
// major place. Unsigned, so huge groups wrap instead of overflowing.
inline constexpr uint32_t version_number(uint32_t major, uint32_t minor, uint32_t build) {
    return major * 10000u + minor * 100u + build;
}

// The first three groups of a run of digits and dots; an empty group counts
// 0 and groups past the third are ignored.
inline constexpr std::array<uint32_t, 3> version_groups(std::string_view digitsAndDots) {
    std::array<uint32_t, 3> groups{};
    std::size_t group = 0;
    for (const char c : digitsAndDots) {
        if (c == '.') {
            if (++group == groups.size()) break;
            continue;
        }
        groups[group] = groups[group] * 10u + static_cast<uint32_t>(c - '0');
    }
    return groups;
}
