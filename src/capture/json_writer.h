// A small JSON writer for the capture's bench file: texts escaped so that any
// bytes a library hands over still give a document every JSON reader takes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// `text` as a JSON string. Control bytes are escaped; bytes that are not
// UTF-8 are taken as Latin-1 characters, and `replaced` (when given) is set.
std::string json_string(std::string_view text, bool* replaced = nullptr);

// An object, built member by member, each value already encoded.
class JsonObject {
  public:
    JsonObject& raw(std::string_view key, std::string value);
    JsonObject& text(std::string_view key, std::string_view value);
    JsonObject& number(std::string_view key, uint64_t value);
    JsonObject& boolean(std::string_view key, bool value);

    bool empty() const { return members_.empty(); }
    // On one line.
    std::string line() const;
    // Each member on its own line, indented by `indent` spaces.
    std::string lines(std::size_t indent) const;

  private:
    std::vector<std::pair<std::string, std::string>> members_;
};

// Encoded values, joined into an array on one line or one a line.
std::string json_array_line(const std::vector<std::string>& values);
std::string json_array_lines(const std::vector<std::string>& values, std::size_t indent);
