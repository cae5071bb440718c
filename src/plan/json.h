// The plan's own small JSON writer: texts, objects and arrays, each
// written once in the order it is given.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/text.h"

// A JSON string: control characters escaped, bytes that are not UTF-8 as '?'.
inline std::string json_text(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const std::size_t length = utf8_length(text);
        const auto byte = static_cast<unsigned char>(text[0]);
        if (length == 0) {
            out += '?';
        } else if (byte == '"' || byte == '\\') {
            (out += '\\') += static_cast<char>(byte);
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return out + "\"";
}

inline std::string json_text_or_null(std::string_view text) {
    return text.empty() ? "null" : json_text(text);
}

// Members of one object, in the order they are added.
struct JsonObject {
    std::string body;
    JsonObject& add(std::string_view key, const std::string& value) {
        body += (body.empty() ? "" : ",") + json_text(key) + ":" + value;
        return *this;
    }
    std::string text() const { return "{" + body + "}"; }
};

template <typename Items, typename Render>
std::string json_array(const Items& items, Render render) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ",") + render(item);
    return "[" + out + "]";
}
