#include "capture/json_writer.h"

#include <cstdio>

#include "common/text.h"

namespace {

std::string escaped_byte(unsigned char byte) {
    switch (byte) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default:
            break;
    }
    char code[8];
    std::snprintf(code, sizeof code, "\\u%04x", byte);
    return code;
}

std::string joined(const std::vector<std::string>& parts, std::string_view open,
                   std::string_view separator, std::string_view close) {
    if (parts.empty())
        return std::string(open.substr(0, 1)) + std::string(close.substr(close.size() - 1));
    std::string out(open);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += separator;
        out += parts[i];
    }
    out += close;
    return out;
}

std::string member_text(const std::pair<std::string, std::string>& member) {
    return json_string(member.first) + ": " + member.second;
}

}  // namespace

std::string json_string(std::string_view text, bool* replaced) {
    std::string out = "\"";
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text.front());
        const std::size_t length = utf8_length(text);
        if (byte < 0x20 || byte == '"' || byte == '\\') {
            out += escaped_byte(byte);
        } else if (length == 0) {
            out += escaped_byte(byte);
            if (replaced != nullptr) *replaced = true;
        } else {
            out.append(text.substr(0, length));
            text.remove_prefix(length - 1);
        }
        text.remove_prefix(1);
    }
    return out + "\"";
}

JsonObject& JsonObject::raw(std::string_view key, std::string value) {
    members_.emplace_back(std::string(key), std::move(value));
    return *this;
}

JsonObject& JsonObject::text(std::string_view key, std::string_view value) {
    return raw(key, json_string(value));
}

JsonObject& JsonObject::number(std::string_view key, uint64_t value) {
    return raw(key, std::to_string(value));
}

JsonObject& JsonObject::boolean(std::string_view key, bool value) {
    return raw(key, value ? "true" : "false");
}

std::string JsonObject::line() const {
    std::vector<std::string> parts;
    for (const auto& member : members_) parts.push_back(member_text(member));
    return joined(parts, "{", ", ", "}");
}

std::string JsonObject::lines(std::size_t indent) const {
    const std::string pad(indent, ' ');
    std::vector<std::string> parts;
    for (const auto& member : members_) parts.push_back(pad + member_text(member));
    return joined(parts, "{\n", ",\n", "\n" + std::string(indent >= 2 ? indent - 2 : 0, ' ') + "}");
}

std::string json_array_line(const std::vector<std::string>& values) {
    return joined(values, "[", ", ", "]");
}

std::string json_array_lines(const std::vector<std::string>& values, std::size_t indent) {
    const std::string pad(indent, ' ');
    std::vector<std::string> parts;
    for (const std::string& value : values) parts.push_back(pad + value);
    return joined(parts, "[\n", ",\n", "\n" + std::string(indent >= 2 ? indent - 2 : 0, ' ') + "]");
}
