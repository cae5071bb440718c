// Property checks inside fuzz targets: a failed property aborts, which both
// libFuzzer and the replay runner report as a crash with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#define FUZZ_CHECK(condition)                                                      \
    do {                                                                           \
        if (!(condition)) {                                                        \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, \
                         #condition);                                              \
            std::abort();                                                          \
        }                                                                          \
    } while (false)

// A text field is terminated inside its own bytes.
inline bool terminated(std::span<const char> field) {
    return std::memchr(field.data(), '\0', field.size()) != nullptr;
}
