#include "bench.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw BenchError(where + ": " + what);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The written form: the top two levels one member a line, everything below
// compact, so that each adapter and each function stands on one line.
void format_lines(std::vector<StateFile::Line>& lines, const json& value, const json::json_pointer& at,
                  const std::string& head, int depth, bool last) {
    const std::string tail = last ? "" : ",";
    if (depth >= 2 || !value.is_structured() || value.empty()) {
        lines.push_back({head + value.dump() + tail, at, head.size()});
        return;
    }
    lines.push_back({head + (value.is_object() ? "{" : "["), std::nullopt, 0});
    const std::string indent(static_cast<std::size_t>(depth + 1) * 2, ' ');
    std::size_t i = 0;
    for (auto it = value.begin(); it != value.end(); ++it, ++i) {
        const bool lastMember = i + 1 == value.size();
        if (value.is_object())
            format_lines(lines, *it, at / it.key(), indent + json(it.key()).dump() + ": ", depth + 1, lastMember);
        else
            format_lines(lines, *it, at / i, indent, depth + 1, lastMember);
    }
    lines.push_back({std::string(static_cast<std::size_t>(depth) * 2, ' ') + (value.is_object() ? "}" : "]") + tail,
                     std::nullopt, 0});
}

std::vector<StateFile::Line> format_state(const json& state) {
    std::vector<StateFile::Line> lines;
    format_lines(lines, state, json::json_pointer(), "", 0, true);
    return lines;
}

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw BenchError(path.string() + ": cannot open the bench file");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The key of a member line: the JSON text at `pos` up to its closing quote;
// `pos` moves past the ": " that follows it.
std::optional<std::string> member_key(const std::string& line, std::size_t& pos) {
    if (pos >= line.size() || line[pos] != '"') return std::nullopt;
    std::size_t end = pos + 1;
    while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2u : 1u;
    if (end >= line.size() || line.compare(end + 1, 2, ": ") != 0) return std::nullopt;
    const json key = json::parse(line.begin() + static_cast<std::ptrdiff_t>(pos),
                                 line.begin() + static_cast<std::ptrdiff_t>(end + 1), nullptr, false);
    if (!key.is_string()) return std::nullopt;
    pos = end + 3;
    return key.get<std::string>();
}

std::size_t indentation(const std::string& line) {
    const std::size_t n = line.find_first_not_of(' ');
    return n == std::string::npos ? line.size() : n;
}

// Maps the lines of a file in the written form to the members they hold
// (the inverse of format_state); nothing when the file has another form.
std::optional<std::vector<StateFile::Line>> map_lines(const std::vector<std::string>& text) {
    if (text.size() < 2 || text.front() != "{" || text.back() != "}") return std::nullopt;
    std::vector<StateFile::Line> lines;
    lines.push_back({text.front(), std::nullopt, 0});
    std::optional<json::json_pointer> container;
    bool inArray = false;
    std::size_t index = 0;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        const std::string& line = text[i];
        const std::size_t depth = indentation(line);
        std::size_t pos = depth;
        if (depth == 2 && container && (line.compare(2, 1, inArray ? "]" : "}") == 0)) {
            container.reset();
            lines.push_back({line, std::nullopt, 0});
        } else if (depth == 2 && !container) {
            const std::optional<std::string> key = member_key(line, pos);
            if (!key) return std::nullopt;
            const std::string rest = line.substr(pos);
            if (rest == "{" || rest == "[") {
                container = json::json_pointer() / *key;
                inArray = rest == "[";
                index = 0;
                lines.push_back({line, std::nullopt, 0});
            } else {
                lines.push_back({line, json::json_pointer() / *key, pos});
            }
        } else if (depth == 4 && container) {
            if (inArray) {
                lines.push_back({line, *container / index++, pos});
            } else {
                const std::optional<std::string> key = member_key(line, pos);
                if (!key) return std::nullopt;
                lines.push_back({line, *container / *key, pos});
            }
        } else {
            return std::nullopt;
        }
    }
    if (container) return std::nullopt;
    lines.push_back({text.back(), std::nullopt, 0});
    return lines;
}

// The value text of a member line, without the comma that may follow it.
std::string value_text(const StateFile::Line& line) {
    std::string value = line.text.substr(line.valueStart);
    if (!value.empty() && value.back() == ',') value.pop_back();
    return value;
}

bool same_identity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

void put(std::vector<uint8_t>& image, std::size_t offset, const std::vector<uint8_t>& bytes,
         const std::string& where) {
    if (offset > image.size() || bytes.size() > image.size() - offset)
        fail(where, "content at " + hex_text(static_cast<uint32_t>(offset)) + " (" +
                        std::to_string(bytes.size()) + " bytes) does not fit into " +
                        std::to_string(image.size()) + " bytes");
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
}

struct Keyword {
    std::string name;
    std::vector<uint8_t> data;
};

Keyword keyword_of(const json& k, const std::string& where) {
    Keyword kw;
    if (k.is_array() && k.size() == 2 && k[0].is_string() && k[1].is_string()) {
        kw.name = k[0].get<std::string>();
        const std::string data = k[1].get<std::string>();
        kw.data.assign(data.begin(), data.end());
    } else if (k.is_object()) {
        kw.name = get_text(k, "name", "", where);
        if (k.contains("hex")) {
            kw.data = from_hex(get_text(k, "hex", "", where), where + ".hex");
        } else {
            const std::string data = get_text(k, "data", "", where);
            kw.data.assign(data.begin(), data.end());
        }
    } else {
        fail(where, "a keyword is [\"NAME\", \"data\"] or {\"name\", \"data\"|\"hex\"}");
    }
    if (kw.name.size() != 2) fail(where, "keyword name \"" + kw.name + "\" is not 2 characters");
    if (kw.data.size() > 255) fail(where, "keyword " + kw.name + " holds more than 255 bytes");
    return kw;
}

}  // namespace

// ---- values -----------------------------------------------------------------

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
        if (n > 0xFFFFFFFFu) fail(at.name(), "number out of range");
        return static_cast<uint32_t>(n);
    }
    if (value.is_number_integer()) {
        const auto n = value.get<int64_t>();
        if (n < 0 || n > 0xFFFFFFFF) fail(at.name(), "number out of range");
        return static_cast<uint32_t>(n);
    }
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        if (text.empty()) fail(at.name(), "empty number");
        errno = 0;
        char* end = nullptr;
        const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
        if (errno != 0 || *end != '\0' || n > 0xFFFFFFFFu || text[0] == '-')
            fail(at.name(), "\"" + text + "\" is not a 32-bit number");
        return static_cast<uint32_t>(n);
    }
    fail(at.name(), "expected a number or a number text");
}

}  // namespace

uint32_t to_u32(const json& value, const std::string& where) { return member_u32(value, {where}); }

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
    if (!it->is_string()) fail(where + "." + key, "expected a text");
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
        if (d < 0) fail(where, std::string("'") + c + "' is not a hex digit");
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0) fail(where, "odd number of hex digits");
    return bytes;
}

std::array<uint8_t, 6> parse_mac(std::string_view text, const std::string& where) {
    const std::vector<uint8_t> bytes = from_hex(text, where);
    if (bytes.size() != 6) fail(where, "a MAC address has 6 bytes: \"" + std::string(text) + "\"");
    std::array<uint8_t, 6> mac{};
    std::copy(bytes.begin(), bytes.end(), mac.begin());
    return mac;
}

std::string mac_text(const std::array<uint8_t, 6>& mac) { return to_hex(mac.data(), mac.size()); }

std::string default_mac(std::size_t i) {
    return mac_text({0x02, 0, 0, 0, static_cast<uint8_t>((i + 1) >> 8), static_cast<uint8_t>((i + 1) & 0xFF)});
}

uint16_t bootcode_word(const json& value, const std::string& where) {
    if (value.is_null()) return 0;
    if (!value.is_string()) {
        const uint32_t word = to_u32(value, where);
        if (word > 0xFFFF) fail(where, "the bootcode word has 16 bits");
        return static_cast<uint16_t>(word);
    }
    const std::string text = value.get<std::string>();
    if (text.empty()) return 0;
    unsigned major = 0, minor = 0;
    char extra = 0;
    const int n = std::sscanf(text.c_str(), "%u.%u%c", &major, &minor, &extra);
    if (n < 1 || major > 255 || minor > 255)
        fail(where, "bootcode \"" + text + "\" is not MAJOR.MINOR with each below 256");
    return static_cast<uint16_t>(major | (minor << 8));
}

std::string bootcode_text(uint16_t word) {
    return std::to_string(word & 0xFF) + "." + std::to_string(word >> 8);
}

// ---- byte images ------------------------------------------------------------

std::vector<uint8_t> decode_bytes(const json& value, std::size_t defaultSize,
                                  std::size_t defaultVpdOffset, const std::string& where) {
    if (value.is_null()) return std::vector<uint8_t>(defaultSize, 0);
    if (value.is_string()) {
        std::vector<uint8_t> bytes = from_hex(value.get<std::string>(), where);
        return bytes;
    }
    if (value.is_array()) {
        std::vector<uint8_t> bytes;
        for (const json& b : value) {
            const uint32_t n = to_u32(b, where);
            if (n > 255) fail(where, "byte above 255");
            bytes.push_back(static_cast<uint8_t>(n));
        }
        return bytes;
    }
    if (!value.is_object()) fail(where, "expected hex text or an object");

    // Gather the pieces first so that a missing size can follow the content.
    std::vector<std::pair<std::size_t, std::vector<uint8_t>>> pieces;
    if (value.contains("vpd")) {
        const std::size_t at = get_u32(value, "vpdOffset", static_cast<uint32_t>(defaultVpdOffset), where);
        pieces.emplace_back(at, build_vpd(value["vpd"], where + ".vpd"));
    }
    if (value.contains("segments")) {
        const json& segments = value["segments"];
        if (!segments.is_array()) fail(where + ".segments", "expected a list");
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const std::string w = where + ".segments[" + std::to_string(i) + "]";
            const json& s = segments[i];
            const std::size_t at = get_u32(s, "offset", 0, w);
            if (s.contains("text")) {
                const std::string text = get_text(s, "text", "", w);
                pieces.emplace_back(at, std::vector<uint8_t>(text.begin(), text.end()));
            } else {
                pieces.emplace_back(at, from_hex(get_text(s, "hex", "", w), w + ".hex"));
            }
        }
    }
    std::size_t size = get_u32(value, "size", static_cast<uint32_t>(defaultSize), where);
    if (size == 0)
        for (const auto& [at, bytes] : pieces) size = std::max(size, at + bytes.size());
    const uint32_t fill = get_u32(value, "fill", 0, where);
    if (fill > 255) fail(where + ".fill", "byte above 255");
    std::vector<uint8_t> image(size, static_cast<uint8_t>(fill));
    for (const auto& [at, bytes] : pieces) put(image, at, bytes, where);
    return image;
}

json encode_bytes(const std::vector<uint8_t>& bytes) {
    json segments = json::array();
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        if (bytes[i] == 0) {
            ++i;
            continue;
        }
        // A run of non-zero bytes, joined with the next run across fewer
        // than 16 zero bytes.
        const std::size_t start = i;
        std::size_t end = i;
        while (end < n) {
            std::size_t j = end;
            while (j < n && bytes[j] != 0) ++j;
            end = j;
            std::size_t k = j;
            while (k < n && bytes[k] == 0 && k - j < 16) ++k;
            if (k < n && bytes[k] != 0 && k - j < 16) {
                end = k;
                continue;
            }
            break;
        }
        segments.push_back({{"offset", hex_text(static_cast<uint32_t>(start))},
                            {"hex", to_hex(bytes.data() + start, end - start)}});
        i = end;
    }
    return {{"size", n}, {"segments", segments}};
}

std::vector<uint8_t> build_vpd(const json& layout, const std::string& where) {
    if (!layout.is_object()) fail(where, "a VPD description is an object");
    const std::string identifier = get_text(layout, "identifier", "Vexlor Ethernet Adapter", where);
    std::vector<Keyword> keywords;
    if (layout.contains("keywords")) {
        const json& list = layout["keywords"];
        if (!list.is_array()) fail(where + ".keywords", "expected a list");
        for (std::size_t i = 0; i < list.size(); ++i)
            keywords.push_back(keyword_of(list[i], where + ".keywords[" + std::to_string(i) + "]"));
    }
    const std::size_t length = get_u32(layout, "length", static_cast<uint32_t>(VpdAreaSize), where);
    if (identifier.size() > 0xFFFF) fail(where, "identifier too long");

    std::size_t keywordBytes = 0;
    for (const Keyword& k : keywords) keywordBytes += 3 + k.data.size();
    const std::size_t head = 3 + identifier.size() + 3;

    // "rv": data bytes of the RV keyword (checksum + reserved); absent: fill
    // the image up to `length`; negative or false: no RV keyword at all.
    bool withRv = true;
    std::size_t rv = 0;
    const auto it = layout.find("rv");
    if (it != layout.end() && (it->is_boolean() || (it->is_number_integer() && it->get<int64_t>() < 0))) {
        withRv = it->is_boolean() && it->get<bool>();
    } else if (it != layout.end() && !it->is_null()) {
        rv = to_u32(*it, where + ".rv");
    }
    if (withRv && (it == layout.end() || it->is_null() || it->is_boolean())) {
        const std::size_t used = head + keywordBytes + 3;
        rv = length > used ? std::min<std::size_t>(length - used, 255) : 1;
    }
    if (withRv && (rv < 1 || rv > 255)) fail(where + ".rv", "RV holds 1 to 255 bytes");

    const std::size_t r = keywordBytes + (withRv ? 3 + rv : 0);
    if (r > 0xFFFF) fail(where, "VPD-R area too long");
    std::vector<uint8_t> image;
    image.push_back(0x82);
    image.push_back(static_cast<uint8_t>(identifier.size() & 0xFF));
    image.push_back(static_cast<uint8_t>(identifier.size() >> 8));
    image.insert(image.end(), identifier.begin(), identifier.end());
    image.push_back(0x90);
    image.push_back(static_cast<uint8_t>(r & 0xFF));
    image.push_back(static_cast<uint8_t>(r >> 8));
    for (const Keyword& k : keywords) {
        image.insert(image.end(), k.name.begin(), k.name.end());
        image.push_back(static_cast<uint8_t>(k.data.size()));
        image.insert(image.end(), k.data.begin(), k.data.end());
    }
    if (withRv) {
        image.push_back('R');
        image.push_back('V');
        image.push_back(static_cast<uint8_t>(rv));
        unsigned sum = 0;
        for (const uint8_t b : image) sum += b;
        const uint8_t checksum = static_cast<uint8_t>(0x100 - (sum & 0xFF));
        image.push_back(layout.contains("checksum")
                            ? static_cast<uint8_t>(get_u32(layout, "checksum", 0, where) & 0xFF)
                            : checksum);
        image.insert(image.end(), rv - 1, 0);
    }
    if (image.size() > length)
        fail(where, "the VPD takes " + std::to_string(image.size()) + " bytes, more than its length " +
                        std::to_string(length));
    image.resize(length, 0);
    return image;
}

bool vpd_set_keywords(std::vector<uint8_t>& image, std::size_t offset, std::size_t areaSize,
                      const std::vector<std::pair<std::string, std::string>>& updates,
                      std::string& error) {
    const std::size_t limit = std::min(image.size(), offset + areaSize);
    if (offset + 3 > limit || image[offset] != 0x82) {
        error = "no identifier tag";
        return false;
    }
    const std::size_t l = image[offset + 1] | (static_cast<std::size_t>(image[offset + 2]) << 8);
    const std::size_t rTag = offset + 3 + l;
    if (rTag + 3 > limit || image[rTag] != 0x90) {
        error = "no VPD-R tag";
        return false;
    }
    const std::size_t r = image[rTag + 1] | (static_cast<std::size_t>(image[rTag + 2]) << 8);
    const std::size_t start = rTag + 3;
    const std::size_t end = start + r;
    if (end > limit) {
        error = "VPD-R area runs past the VPD";
        return false;
    }
    std::vector<Keyword> keywords;
    bool rvFound = false;
    for (std::size_t p = start; p + 3 <= end;) {
        Keyword k;
        k.name.assign(reinterpret_cast<const char*>(&image[p]), 2);
        const std::size_t n = image[p + 2];
        if (k.name == "RV") {
            rvFound = true;
            break;
        }
        if (p + 3 + n > end) {
            error = "keyword " + k.name + " runs past the VPD-R area";
            return false;
        }
        k.data.assign(image.begin() + static_cast<std::ptrdiff_t>(p + 3),
                      image.begin() + static_cast<std::ptrdiff_t>(p + 3 + n));
        keywords.push_back(std::move(k));
        p += 3 + n;
    }
    if (!rvFound) {
        error = "no RV keyword";
        return false;
    }
    for (const auto& [name, data] : updates) {
        if (name.size() != 2 || data.size() > 255) {
            error = "bad keyword " + name;
            return false;
        }
        auto it = std::find_if(keywords.begin(), keywords.end(),
                               [&](const Keyword& k) { return k.name == name; });
        if (it == keywords.end()) it = keywords.insert(keywords.end(), Keyword{name, {}});
        it->data.assign(data.begin(), data.end());
    }
    std::size_t keywordBytes = 0;
    for (const Keyword& k : keywords) keywordBytes += 3 + k.data.size();
    if (keywordBytes + 4 > r || r - keywordBytes - 3 > 255) {
        error = "the keywords do not fit the VPD-R area of " + std::to_string(r) + " bytes";
        return false;
    }
    const std::size_t rv = r - keywordBytes - 3;
    std::size_t p = start;
    for (const Keyword& k : keywords) {
        image[p++] = static_cast<uint8_t>(k.name[0]);
        image[p++] = static_cast<uint8_t>(k.name[1]);
        image[p++] = static_cast<uint8_t>(k.data.size());
        for (const uint8_t b : k.data) image[p++] = b;
    }
    image[p++] = 'R';
    image[p++] = 'V';
    image[p++] = static_cast<uint8_t>(rv);
    unsigned sum = 0;
    for (std::size_t i = offset; i < p; ++i) sum += image[i];
    image[p++] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(p),
              image.begin() + static_cast<std::ptrdiff_t>(end), 0);
    return true;
}

// ---- the state file ---------------------------------------------------------

bool StateFile::refresh() {
    struct stat now {};
    if (::stat(path_.c_str(), &now) != 0)
        throw BenchError(path_.string() + ": cannot read the bench file: " + std::strerror(errno));
    if (loaded_ && same_identity(now, identity_)) return false;
    const std::string text = read_text(path_);
    if (!loaded_ || !patch(split_lines(text))) parse(text);
    identity_ = now;
    loaded_ = true;
    return true;
}

// Takes over the members whose lines changed; false when anything else
// changed (then the whole text is parsed).
bool StateFile::patch(const std::vector<std::string>& text) {
    // Formatted only now: a run in which nobody changes the file never needs it.
    if (lines_.empty()) lines_ = format_state(data_);
    if (text.size() != lines_.size()) return false;
    std::vector<std::pair<std::size_t, json>> changed;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Line& old = lines_[i];
        if (text[i] == old.text) continue;
        const bool comma = !old.text.empty() && old.text.back() == ',';
        if (!old.at || text[i].empty() || text[i].compare(0, old.valueStart, old.text, 0, old.valueStart) != 0 ||
            (comma && text[i].back() != ','))
            return false;
        const std::size_t end = text[i].size() - (comma ? 1 : 0);
        if (end < old.valueStart) return false;
        json value = json::parse(text[i].begin() + static_cast<std::ptrdiff_t>(old.valueStart),
                                 text[i].begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
        if (value.is_discarded()) return false;
        changed.emplace_back(i, std::move(value));
    }
    for (auto& [i, value] : changed) {
        data_[*lines_[i].at] = std::move(value);
        lines_[i].text = text[i];
    }
    return true;
}

void StateFile::parse(const std::string& text) {
    try {
        data_ = json::parse(text);
    } catch (const json::exception& e) {
        loaded_ = false;
        throw BenchError(path_.string() + ": not valid JSON: " + e.what());
    }
    if (!data_.is_object()) {
        loaded_ = false;
        throw BenchError(path_.string() + ": the bench is a JSON object");
    }
    lines_.clear();
}

bool StateFile::read_lines() {
    std::optional<std::vector<Line>> mapped = map_lines(split_lines(read_text(path_)));
    if (!mapped) return false;
    lines_ = std::move(*mapped);
    data_ = json::object();
    return true;
}

json StateFile::member(std::size_t i) const {
    const Line& line = lines_.at(i);
    json value = line.at ? json::parse(value_text(line), nullptr, false) : json(json::value_t::discarded);
    if (value.is_discarded())
        throw BenchError(path_.string() + ": line " + std::to_string(i + 1) + " holds no valid member");
    return value;
}

void StateFile::save_members(const std::vector<json::json_pointer>& members) {
    for (const json::json_pointer& member : members) {
        auto line = std::find_if(lines_.begin(), lines_.end(), [&](const Line& l) { return l.at == member; });
        if (line == lines_.end()) throw BenchError(path_.string() + ": no line holds " + member.to_string());
        const bool comma = !line->text.empty() && line->text.back() == ',';
        line->text = line->text.substr(0, line->valueStart) + data_.at(member).dump() + (comma ? "," : "");
    }
    write_lines();
}

void StateFile::save() {
    lines_ = format_state(data_);
    write_lines();
}

void StateFile::write_lines() {
    const std::filesystem::path temporary =
        path_.string() + ".tmp." + std::to_string(static_cast<long>(::getpid()));
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) throw BenchError(temporary.string() + ": cannot write the bench file");
        for (const Line& line : lines_) out << line.text << '\n';
        if (!out) throw BenchError(temporary.string() + ": cannot write the bench file");
    }
    if (std::rename(temporary.c_str(), path_.c_str()) != 0)
        throw BenchError(path_.string() + ": cannot replace the bench file: " + std::strerror(errno));
    if (::stat(path_.c_str(), &identity_) != 0)
        throw BenchError(path_.string() + ": vanished after writing");
    loaded_ = true;
}

// ---- the described server ---------------------------------------------------

const ComponentSlot* find_component(std::string_view component) {
    static const ComponentSlot slots[] = {
        {"bc", "bootcode"}, {"bta", "bta"},       {"uefi", "uefi"},     {"ncsi", "ncsi"},
        {"ipmi", "ipmi"},   {"qmx", "qmx"},       {"extphy", "extPhy"}, {"iscsib", "iscsi"},
        {"fcoeb", "fcoe"},  {"cfx", "cfx"},
    };
    for (const ComponentSlot& slot : slots)
        if (component == slot.component) return &slot;
    return nullptr;
}

void Bench::index(json& root) {
    root_ = &root;
    functions_.clear();
    byHandle_.clear();
    byHandleAfterRefresh_.clear();
    byServiceName_.clear();
    byMac_.clear();
    nvram_.clear();
    extVpd_.clear();
    if (!root.contains("adapters")) root["adapters"] = json::object();
    if (!root.contains("functions")) root["functions"] = json::array();
    if (!root["adapters"].is_object()) fail("adapters", "expected an object of named adapters");
    if (!root["functions"].is_array()) fail("functions", "expected a list");
    json& functions = root["functions"];
    for (std::size_t i = 0; i < functions.size(); ++i) {
        const std::string where = "functions[" + std::to_string(i) + "]";
        json& f = functions[i];
        if (!f.is_object()) fail(where, "expected an object");
        Function fn;
        fn.adapter = get_text(f, "adapter", "", where);
        if (!root["adapters"].contains(fn.adapter))
            fail(where + ".adapter", "\"" + fn.adapter + "\" is not one of \"adapters\"");
        fn.serviceName = get_text(f, "serviceName", "", where);
        fn.handle = get_u32(f, "handle", static_cast<uint32_t>(i + 1), where);
        fn.handleAfterRefresh = get_u32(f, "handleAfterRefresh", 0, where);
        const std::string mac = get_text(f, "mac", "", where);
        fn.mac = mac.empty() ? default_mac(i) : mac_text(parse_mac(mac, where + ".mac"));
        fn.where = where;
        fn.adapterWhere = "adapters." + fn.adapter;
        fn.value = &f;
        fn.adapterValue = &root["adapters"][fn.adapter];
        // The first function keeps a handle, name or MAC that several share.
        byHandle_.emplace(fn.handle, i);
        byHandleAfterRefresh_.emplace(fn.handleAfterRefresh != 0 ? fn.handleAfterRefresh : fn.handle, i);
        byServiceName_.emplace(fn.serviceName, i);
        byMac_.emplace(fn.mac, i);
        functions_.push_back(std::move(fn));
    }
}

uint32_t Bench::u32(std::size_t i, const char* key, uint32_t fallback) {
    const json& f = function(i);
    if (f.contains(key)) return get_u32(f, key, fallback, functions_[i].where);
    return get_u32(adapter_of(i), key, fallback, functions_[i].adapterWhere);
}

std::string Bench::text(std::size_t i, const char* key, const std::string& fallback) {
    const json& f = function(i);
    if (f.contains(key)) return get_text(f, key, fallback, functions_[i].where);
    return get_text(adapter_of(i), key, fallback, functions_[i].adapterWhere);
}

namespace {

template <typename Key>
std::optional<std::size_t> find_in(const std::unordered_map<Key, std::size_t>& index, const Key& key) {
    const auto it = index.find(key);
    if (it == index.end()) return std::nullopt;
    return it->second;
}

}  // namespace

std::optional<std::size_t> Bench::by_handle(uint32_t h, bool refreshed) const {
    return find_in(refreshed ? byHandleAfterRefresh_ : byHandle_, h);
}

std::optional<std::size_t> Bench::by_service_name(std::string_view name) const {
    return find_in(byServiceName_, std::string(name));
}

std::optional<std::size_t> Bench::by_mac(std::string_view mac) const {
    return find_in(byMac_, std::string(mac));
}

std::vector<uint8_t>& Bench::nvram(const std::string& name) {
    auto it = nvram_.find(name);
    if (it == nvram_.end()) {
        const json& a = adapter(name);
        const json value = a.contains("nvram") ? a["nvram"] : json();
        it = nvram_.emplace(name, decode_bytes(value, DefaultNvramSize, VpdOffset,
                                               "adapters." + name + ".nvram"))
                 .first;
    }
    return it->second;
}

std::vector<uint8_t>* Bench::ext_vpd(const std::string& name) {
    auto it = extVpd_.find(name);
    if (it == extVpd_.end()) {
        const json& a = adapter(name);
        std::optional<std::vector<uint8_t>> blob;
        if (a.contains("extVpd") && !a["extVpd"].is_null())
            blob = decode_bytes(a["extVpd"], 0, 0, "adapters." + name + ".extVpd");
        it = extVpd_.emplace(name, std::move(blob)).first;
    }
    return it->second ? &*it->second : nullptr;
}

void Bench::store_nvram(const std::string& name) { adapter(name)["nvram"] = encode_bytes(nvram(name)); }

void Bench::store_ext_vpd(const std::string& name) {
    if (std::vector<uint8_t>* blob = ext_vpd(name)) adapter(name)["extVpd"] = to_hex(blob->data(), blob->size());
}

// ---- faults -----------------------------------------------------------------

bool fault_fires(json& fault, bool& changed) {
    const uint32_t seen = get_u32(fault, "seen", 0, "fault") + 1;
    fault["seen"] = seen;
    changed = true;
    const uint32_t occurrence = get_u32(fault, "occurrence", 0, "fault");
    return occurrence == 0 || occurrence == seen;
}

void append_line(const char* file, const std::string& line) {
    if (std::FILE* out = std::fopen(file, "a")) {
        std::fputs(line.c_str(), out);
        std::fputc('\n', out);
        std::fclose(out);
    }
}

}  // namespace sim
