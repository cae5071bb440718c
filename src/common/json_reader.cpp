#include "common/json_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/file.h"
#include "common/text.h"

namespace {

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<JsonValue> document(std::string& problem) {
        JsonValue value;
        skip_space();
        if (!parse(value, 0)) return fail_with(problem);
        skip_space();
        if (at_ < text_.size()) {
            error_ = "text after the document";
            return fail_with(problem);
        }
        return value;
    }

  private:
    std::optional<JsonValue> fail_with(std::string& problem) const {
        // The line and column where reading stopped, counted in bytes.
        std::size_t line = 1, column = 1;
        for (std::size_t i = 0; i < at_ && i < text_.size(); ++i) {
            if (text_[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        problem =
            "line " + std::to_string(line) + " column " + std::to_string(column) + ": " + error_;
        return std::nullopt;
    }

    bool fail(const char* why) {
        error_ = why;
        return false;
    }

    bool more() const { return at_ < text_.size(); }
    char peek() const { return text_[at_]; }

    void skip_space() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++at_;
    }

    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return fail("not a JSON value");
        at_ += word.size();
        return true;
    }

    // One value; `depth` arrays and objects enclose it.
    bool parse(JsonValue& value, std::size_t depth) {
        if (++values_ > JsonMaxValues) return fail("more values than the reader takes");
        if (!more()) return fail("the document ends where a value belongs");
        switch (peek()) {
            case 'n':
                value.kind = JsonValue::Kind::Null;
                return literal("null");
            case 't':
                value.kind = JsonValue::Kind::Boolean;
                value.boolean = true;
                return literal("true");
            case 'f':
                value.kind = JsonValue::Kind::Boolean;
                return literal("false");
            case '"':
                value.kind = JsonValue::Kind::String;
                return string(value.text);
            case '[':
                value.kind = JsonValue::Kind::Array;
                return depth + 1 > JsonMaxDepth ? fail("nested deeper than the reader takes")
                                                : array(value, depth + 1);
            case '{':
                value.kind = JsonValue::Kind::Object;
                return depth + 1 > JsonMaxDepth ? fail("nested deeper than the reader takes")
                                                : object(value, depth + 1);
            default:
                value.kind = JsonValue::Kind::Number;
                return number(value.text);
        }
    }

    bool array(JsonValue& value, std::size_t depth) {
        ++at_;  // '['
        skip_space();
        if (more() && peek() == ']') return ++at_, true;
        for (;;) {
            value.items.emplace_back();
            if (!parse(value.items.back(), depth)) return false;
            skip_space();
            if (!more()) return fail("the document ends inside an array");
            if (peek() == ']') return ++at_, true;
            if (peek() != ',') return fail("expected ',' or ']' in an array");
            ++at_;
            skip_space();
        }
    }

    bool object(JsonValue& value, std::size_t depth) {
        ++at_;  // '{'
        skip_space();
        if (more() && peek() == '}') return ++at_, true;
        for (;;) {
            if (!more() || peek() != '"') return fail("expected a member name in an object");
            std::string key;
            if (!string(key)) return false;
            skip_space();
            if (!more() || peek() != ':') return fail("expected ':' after a member name");
            ++at_;
            skip_space();
            value.members.push_back(JsonMember{std::move(key), JsonValue{}});
            if (!parse(value.members.back().value, depth)) return false;
            skip_space();
            if (!more()) return fail("the document ends inside an object");
            if (peek() == '}') {
                ++at_;
                return names_once(value);
            }
            if (peek() != ',') return fail("expected ',' or '}' in an object");
            ++at_;
            skip_space();
        }
    }

    // Each member named once, checked in n log n.
    bool names_once(const JsonValue& value) {
        std::vector<std::string_view> names;
        names.reserve(value.members.size());
        for (const auto& member : value.members) names.push_back(member.name);
        std::sort(names.begin(), names.end());
        if (std::adjacent_find(names.begin(), names.end()) != names.end())
            return fail("a member named twice in an object");
        return true;
    }

    bool digits() {
        const std::size_t start = at_;
        while (more() && peek() >= '0' && peek() <= '9') ++at_;
        return at_ > start;
    }

    bool number(std::string& out) {
        const std::size_t start = at_;
        if (more() && peek() == '-') ++at_;
        if (more() && peek() == '0') {
            ++at_;
        } else if (!more() || peek() < '1' || peek() > '9' || !digits()) {
            return fail("not a JSON value");
        }
        if (more() && peek() == '.') {
            ++at_;
            if (!digits()) return fail("a number with no digit after its '.'");
        }
        if (more() && (peek() == 'e' || peek() == 'E')) {
            ++at_;
            if (more() && (peek() == '+' || peek() == '-')) ++at_;
            if (!digits()) return fail("a number with no digit in its exponent");
        }
        out = std::string(text_.substr(start, at_ - start));
        return true;
    }

    // Four hex digits of a \u escape.
    bool hex4(uint32_t& unit) {
        if (text_.size() - at_ < 4) return fail("a \\u escape cut short");
        unit = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = text_[at_ + i];
            if (!is_hex_digit(c)) return fail("a \\u escape with a character not a hex digit");
            unit = unit * 16 + static_cast<uint32_t>(c <= '9'   ? c - '0'
                                                     : c <= 'F' ? c - 'A' + 10
                                                                : c - 'a' + 10);
        }
        at_ += 4;
        return true;
    }

    static void append_utf8(std::string& out, uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool unicode_escape(std::string& out) {
        uint32_t unit = 0;
        if (!hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("a \\u escape of a lone low surrogate");
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t low = 0;
            if (text_.substr(at_, 2) != "\\u") return fail("a high surrogate with no low one");
            at_ += 2;
            if (!hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail("a high surrogate with no low one");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, unit);
        return true;
    }

    bool escape(std::string& out) {
        if (!more()) return fail("the document ends inside a string");
        const char c = peek();
        ++at_;
        switch (c) {
            case '"':
            case '\\':
            case '/':
                out += c;
                return true;
            case 'b':
                out += '\b';
                return true;
            case 'f':
                out += '\f';
                return true;
            case 'n':
                out += '\n';
                return true;
            case 'r':
                out += '\r';
                return true;
            case 't':
                out += '\t';
                return true;
            case 'u':
                return unicode_escape(out);
            default:
                --at_;
                return fail("an unknown escape in a string");
        }
    }

    bool string(std::string& out) {
        ++at_;  // '"'
        for (;;) {
            if (!more()) return fail("the document ends inside a string");
            const char c = peek();
            if (c == '"') return ++at_, true;
            if (c == '\\') {
                ++at_;
                if (!escape(out)) return false;
                continue;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("a control character unescaped in a string");
            const std::size_t length = utf8_length(text_.substr(at_));
            if (length == 0) return fail("a string that is not UTF-8");
            out.append(text_.substr(at_, length));
            at_ += length;
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t values_ = 0;
    std::string error_;
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
    for (const auto& [name, value] : members)
        if (name == key) return &value;
    return nullptr;
}

std::optional<uint64_t> JsonValue::as_unsigned(uint64_t max) const {
    if (kind != Kind::Number || text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;  // a sign, a fraction or an exponent
        const auto digit = static_cast<uint64_t>(c - '0');
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<JsonValue> parse_json(std::string_view text, std::string& problem) {
    return Parser(text).document(problem);
}

namespace {

// Opened without waiting: a FIFO named here would block the open until a
// writer came, and a device would never end; only a regular file is read.
File open_regular_file(const char* path, std::string& problem) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return File();
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        problem = "not a regular file";
        return File();
    }
    File file(fdopen(fd, "rb"));
    if (!file) {
        problem = std::strerror(errno);
        close(fd);
    }
    return file;
}

}  // namespace

std::optional<JsonValue> read_json_file(const char* path, std::size_t limit, std::string& problem) {
    const File file = open_regular_file(path, problem);
    if (!file) return std::nullopt;
    std::string text;
    char piece[16384];
    for (;;) {
        const std::size_t n = std::fread(piece, 1, sizeof piece, file.get());
        if (text.size() + n > limit) {
            problem = "larger than " + std::to_string(limit) + " bytes";
            return std::nullopt;
        }
        text.append(piece, n);
        if (n < sizeof piece) break;
    }
    if (std::ferror(file.get()) != 0) {
        problem = "cannot be read";
        return std::nullopt;
    }
    return parse_json(text, problem);
}
