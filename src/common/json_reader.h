// A small, strict JSON reader (RFC 8259) for documents this project wrote
// itself and reads back: bounded in every direction it can grow. The text
// is held in memory whole (read_json_file reads at most `limit` bytes), the
// nesting at most JsonMaxDepth deep, the values at most JsonMaxValues in
// number; strings must be UTF-8 and their escapes well formed (a \u escape
// of a surrogate only in a pair); an object names each member once; numbers
// are kept as their text, and converted only on request, in range or not at
// all. Whatever it is handed, it answers a value or a reason, never reading
// outside the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t JsonMaxDepth = 64;
inline constexpr std::size_t JsonMaxValues = 1u << 18;

struct JsonMember;

struct JsonValue {
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text;  // a string's value (decoded), or a number as written
    std::vector<JsonValue> items;
    std::vector<JsonMember> members;  // in document order

    bool is_null() const { return kind == Kind::Null; }
    bool is_string() const { return kind == Kind::String; }
    bool is_array() const { return kind == Kind::Array; }
    bool is_object() const { return kind == Kind::Object; }
    // An object's member, or none (also when this is no object).
    const JsonValue* find(std::string_view key) const;
    // A number that is a whole number from 0 to `max`, written without a
    // fraction or exponent; none otherwise.
    std::optional<uint64_t> as_unsigned(uint64_t max) const;
};

struct JsonMember {
    std::string name;
    JsonValue value;
};

// The one value `text` holds, with nothing but white space around it; none,
// with why (and where: "line L column C"), when it is not such JSON.
std::optional<JsonValue> parse_json(std::string_view text, std::string& problem);

// The JSON document in the file `path`, read whole when it holds at most
// `limit` bytes; none, with why, when it cannot be read or parsed.
std::optional<JsonValue> read_json_file(const char* path, std::size_t limit,
                                        std::string& problem);
