#include "config/config.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <strings.h>
#include <sys/stat.h>

#include "common/file.h"
#include "common/text.h"
#include "common/version_number.h"

namespace {

// The reader's line buffer: one read takes at most 499 characters, and a
// line may not need more than one read.
constexpr std::size_t LineBufferSize = 500;
constexpr std::size_t MaxShownToken = 60;
// Character classes, one table lookup per character: every byte of a table
// passes through these tests.
enum CharClass : uint8_t {
    HeaderSeparator = 1,  // between header names
    DataSeparator = 2,    // between data tokens; a carriage return stays in the token
    Space = 4,            // white space as the standard conversions skip it
    FileNameChar = 8,     // may stand in an image file name
    TokenSpace = 16,      // white space that does not end a data token
};

constexpr std::array<uint8_t, 256> make_char_classes() {
    std::array<uint8_t, 256> table{};
    table[' '] = table['\t'] = table['\n'] = HeaderSeparator | DataSeparator | Space;
    table['\r'] = HeaderSeparator | Space | TokenSpace;
    table['\v'] = table['\f'] = Space | TokenSpace;
    for (std::size_t c = '0'; c <= '9'; ++c) table[c] = FileNameChar;
    for (std::size_t c = 'a'; c <= 'z'; ++c) table[c] = table[c - 'a' + 'A'] = FileNameChar;
    table['.'] = table['_'] = FileNameChar;
    return table;
}

constexpr std::array<uint8_t, 256> CharClasses = make_char_classes();

template <CharClass Class>
bool is(char c) {
    return (CharClasses[static_cast<unsigned char>(c)] & Class) != 0;
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

template <CharClass Class>
std::size_t skip_class(std::string_view text, std::size_t pos) {
    while (pos < text.size() && is<Class>(text[pos])) ++pos;
    return pos;
}

template <CharClass Class>
std::size_t skip_until(std::string_view text, std::size_t pos) {
    while (pos < text.size() && !is<Class>(text[pos])) ++pos;
    return pos;
}

// Takes the next token off `rest`; empty when none is left.
template <CharClass Separator>
std::string_view next_token(std::string_view& rest) {
    const std::size_t start = skip_class<Separator>(rest, 0);
    const std::size_t end = skip_until<Separator>(rest, start);
    const std::string_view token = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return token;
}

// The "%x" conversion: white space, a sign, an optional 0x, hex digits; the
// value is read as an unsigned long (saturating) and kept in 32 bits.
std::optional<uint32_t> scan_hex(std::string_view token) {
    std::size_t i = skip_class<Space>(token, 0);
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    bool digits = false;
    if (i + 1 < token.size() && token[i] == '0' && (token[i + 1] == 'x' || token[i + 1] == 'X')) {
        digits = true;  // the 0 counts as a digit even when no hex digit follows
        i += 2;
    }
    uint64_t value = 0;
    bool saturated = false;
    for (int d; i < token.size() && (d = hex_digit_value(token[i])) >= 0; ++i) {
        digits = true;
        if (value >> 60) saturated = true;
        value = (value << 4) | static_cast<uint64_t>(d);
    }
    if (!digits) return std::nullopt;
    if (saturated) return UINT32_MAX;
    return static_cast<uint32_t>(negative ? 0 - value : value);
}

// The "%s" conversion applied to the rest of a data token that begins at
// `pos` of the row: it skips white space and takes everything up to the
// next. Both the word and the end of the token come out of one pass.
struct WordInToken {
    std::string_view word;
    std::size_t tokenEnd;
};

WordInToken scan_word(std::string_view row, std::size_t pos) {
    const std::size_t start = skip_class<TokenSpace>(row, pos);
    const std::size_t end = skip_until<Space>(row, start);
    const std::size_t tokenEnd =
        end < row.size() && is<TokenSpace>(row[end]) ? skip_until<DataSeparator>(row, end) : end;
    return {row.substr(start, end - start), tokenEnd};
}

std::string_view token_at(std::string_view row, std::size_t pos) {
    return row.substr(pos, skip_until<DataSeparator>(row, pos) - pos);
}

// One dotted piece of a target version read the way strtol reads a decimal
// number, then kept in 32 bits: white space, an optional sign, digits up to
// the first other character. A magnitude past the 64-bit range saturates as
// strtol does, so the result is defined for any run of digits.
uint32_t piece_value(std::string_view piece) {
    std::size_t i = skip_class<Space>(piece, 0);
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) negative = piece[i++] == '-';
    constexpr uint64_t limit = uint64_t{1} << 63;  // |LONG_MIN|
    uint64_t magnitude = 0;
    bool saturated = false;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(piece[i] - '0');
        if (magnitude > (limit - digit) / 10) saturated = true;
        if (!saturated) magnitude = magnitude * 10 + digit;
    }
    if (saturated || (!negative && magnitude == limit)) magnitude = negative ? limit : limit - 1;
    return static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
}

// Why the current line fails; set() returns false so that a check can fail
// in one statement.
struct Failure {
    std::string reason;
    bool set(std::string text) {
        reason = std::move(text);
        return false;
    }
};

// Kept out of line: every value of a table passes store_text, and the
// message is only built when one does not fit.
[[gnu::cold, gnu::noinline]] bool refuse_long_text(std::size_t fieldSize, std::string_view value,
                                                   const char* what, Failure& failure) {
    return failure.set(what + quoted_token(value) + " is " +
                       count_noun(value.size(), "character", "characters") + " long; at most " +
                       std::to_string(fieldSize - 1) + " fit");
}

bool store_text(std::span<char> field, std::string_view value, const char* what, Failure& failure) {
    if (value.size() >= field.size()) return refuse_long_text(field.size(), value, what, failure);
    copy_text(field, value);
    return true;
}

template <auto Field>
ColumnFields number_at(ConfigEntry& e) {
    return {&(e.*Field), {}, {}};
}

template <auto Field>
ColumnFields text_at(ConfigEntry& e) {
    return {nullptr, e.*Field, {}};
}

template <auto File, auto Version>
ColumnFields pair_at(ConfigEntry& e) {
    return {nullptr, e.*File, e.*Version};
}

// A component's column and its alias: the alias column ("extphy", "l2fw")
// is mapped onto the component's fields and names no component of its own.
// An alias of nullptr names no column.
#define QIK_COMPONENT_COLUMNS(key, column, alias, ...)              \
    {column, ColumnForm::FileVersion,                               \
     pair_at<&ConfigEntry::key##File, &ConfigEntry::key##Version>}, \
        {alias, ColumnForm::FileVersion,                            \
         pair_at<&ConfigEntry::key##File, &ConfigEntry::key##Version>},

constexpr Column Columns[] = {
    {"ven", ColumnForm::Hex, number_at<&ConfigEntry::ven>},
    {"device", ColumnForm::Hex, number_at<&ConfigEntry::device>},
    {"subven", ColumnForm::Hex, number_at<&ConfigEntry::subven>},
    {"subdev", ColumnForm::Hex, number_at<&ConfigEntry::subdev>},
    {"crv", ColumnForm::Text, text_at<&ConfigEntry::crv>},
    {"family", ColumnForm::Text, text_at<&ConfigEntry::family>},
    {"ibcfg", ColumnForm::Text, text_at<&ConfigEntry::ibcfg>},
    {"lconf", ColumnForm::Text, text_at<&ConfigEntry::lconf>},
    {"expose_fcoe", ColumnForm::Text, text_at<&ConfigEntry::expose_fcoe>},
    {"enable_dcbx", ColumnForm::Text, text_at<&ConfigEntry::enable_dcbx>},
    {"VPD", ColumnForm::FileVersion, pair_at<&ConfigEntry::vpdFile, &ConfigEntry::vpdVersion>},
    {"SystemName", ColumnForm::Text, text_at<&ConfigEntry::SystemName>},
    QIK_COMPONENTS(QIK_COMPONENT_COLUMNS)};
#undef QIK_COMPONENT_COLUMNS

// The target numbers are read once, with the row.
void fill_target_numbers(ConfigEntry& e) {
    e.familyTarget = target_version_number(field_text(e.family));
#define QIK_TARGET_NUMBER(key, ...) \
    e.key##Target = target_version_number(field_text(e.key##Version));
    QIK_COMPONENTS(QIK_TARGET_NUMBER)
#undef QIK_TARGET_NUMBER
}

// Each conversion reads the token that begins at `pos` of the row and
// returns where it ends.
std::optional<std::size_t> convert_hex(std::string_view row, std::size_t pos, uint32_t& number,
                                       Failure& failure) {
    const std::string_view token = token_at(row, pos);
    const auto value = scan_hex(token);
    if (!value) {
        failure.set("token " + quoted_token(token) + " is not a hexadecimal number");
        return std::nullopt;
    }
    number = *value;
    return pos + token.size();
}

std::optional<std::size_t> convert_text(std::string_view row, std::size_t pos,
                                        std::span<char> field, Failure& failure) {
    const WordInToken scan = scan_word(row, pos);
    if (scan.word.empty()) {
        failure.set("token " + quoted_token(token_at(row, pos)) + " holds no text");
        return std::nullopt;
    }
    if (!store_text(field, scan.word, "token ", failure)) return std::nullopt;
    return scan.tokenEnd;
}

// The "%[0-9a-zA-Z._],%s" conversion: a file name, a comma, a version.
std::optional<std::size_t> convert_pair(std::string_view row, std::size_t pos, std::span<char> file,
                                        std::span<char> version, Failure& failure) {
    const std::size_t comma = skip_class<FileNameChar>(row, pos);
    const auto refuse = [&](const std::string& why) -> std::optional<std::size_t> {
        failure.set("token " + quoted_token(token_at(row, pos)) + why);
        return std::nullopt;
    };
    if (comma == row.size() || is<DataSeparator>(row[comma])) return refuse(" has no \",version\"");
    if (row[comma] != ',')
        return refuse(" has " + quoted_token(row.substr(comma, 1)) +
                      " in its file name; only letters, digits, '.' and '_' may be");
    if (comma == pos) return refuse(" has no file name before the comma");
    const WordInToken scan = scan_word(row, comma + 1);
    if (scan.word.empty()) return refuse(" has no version after the comma");
    if (!store_text(file, row.substr(pos, comma - pos), "file name ", failure) ||
        !store_text(version, scan.word, "version ", failure))
        return std::nullopt;
    return scan.tokenEnd;
}

std::optional<std::size_t> convert_token(const Column& column, std::string_view row,
                                         std::size_t pos, ConfigEntry& entry, Failure& failure) {
    const ColumnFields fields = column.fields(entry);
    switch (column.form) {
        case ColumnForm::Hex:
            return convert_hex(row, pos, *fields.number, failure);
        case ColumnForm::FileVersion:
            return convert_pair(row, pos, fields.text, fields.version, failure);
        case ColumnForm::Text:
            break;
    }
    return convert_text(row, pos, fields.text, failure);
}

std::string column_label(std::size_t position, const Column& column) {
    return "column " + std::to_string(position + 1) + " \"" + column.name + "\"";
}

std::string case_hint(std::string_view token) {
    for (const Column& column : Columns) {
        if (column.name == nullptr) continue;
        const std::string_view name = column.name;
        if (name.size() == token.size() && strncasecmp(name.data(), token.data(), name.size()) == 0)
            return " (names are case-sensitive: \"" + std::string(name) + "\")";
    }
    return {};
}

// Every name a header may hold, for the person who wrote another.
std::string column_names() {
    std::string names;
    for (const Column& column : Columns)
        if (column.name != nullptr) (names += names.empty() ? "" : " ") += column.name;
    return names;
}

const Column* find_column(std::string_view name) {
    for (const Column& column : Columns)
        if (column.name != nullptr && name == column.name) return &column;
    return nullptr;
}

int parse_header(std::string_view line, ColumnList& list, Failure& failure) {
    list.count = 0;
    std::string_view rest = line;
    next_token<HeaderSeparator>(rest);  // the '!' token never names a column
    std::size_t count = 0;
    for (std::string_view token; !(token = next_token<HeaderSeparator>(rest)).empty();) {
        const Column* found = find_column(token);
        if (!found) {
            failure.set("header: " + quoted_token(token) + " is not a column name" +
                        case_hint(token) + "; the columns are: " + column_names());
            return -1;
        }
        if (count == MaxColumns) {
            failure.set("header names more than " + std::to_string(MaxColumns) + " columns");
            return -1;
        }
        list.columns[count++] = found;
    }
    list.count = count;
    return static_cast<int>(count);
}

// What the reader keeps between lines. It releases a list that is not handed
// out, also when an allocation fails halfway.
struct Reader {
    ColumnList columns{};
    unsigned headerLine = 0;
    std::string_view gluedName;  // a column name written right after the header's '!'

    std::unique_ptr<ConfigEntry> head;
    ConfigEntry* tail = nullptr;

    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() { free_config(std::move(head)); }
};

bool read_data_row(std::string_view line, unsigned lineNumber, Reader& reader, Failure& failure) {
    ConfigEntry& entry = *append_entry(reader.head, reader.tail, std::make_unique<ConfigEntry>());
    entry.line = lineNumber;
    std::size_t pos = 0;
    for (std::size_t p = 0; p < reader.columns.count; ++p) {
        const Column& column = *reader.columns.columns[p];
        pos = skip_class<DataSeparator>(line, pos);
        if (pos == line.size())
            return failure.set("row has " + count_noun(p, "token", "tokens") +
                               " but the header on line " + std::to_string(reader.headerLine) +
                               " names " + count_noun(reader.columns.count, "column", "columns") +
                               "; " + column_label(p, column) + " has no token");
        const auto end = convert_token(column, line, pos, entry, failure);
        if (!end) {
            failure.reason = column_label(p, column) + ": " + failure.reason;
            return false;
        }
        pos = *end;
    }
    fill_target_numbers(entry);
    return true;
}

// One line as the 500-byte line buffer takes it: the first read of at most
// 499 characters, and whether the line needed a further read for more than
// its line end. The rest of such a line would be read as a line of its own,
// and the tail of a long comment would turn into a live row.
struct LineRead {
    std::string_view text;
    unsigned line;
    bool tooLong;
    std::size_t length;  // without the line end
};

struct LineSplitter {
    std::string_view rest;
    unsigned line = 1;
};

std::size_t without_line_end(std::string_view line) {
    if (line.ends_with("\r\n")) return line.size() - 2;
    return line.ends_with('\n') ? line.size() - 1 : line.size();
}

bool next_line_read(LineSplitter& splitter, LineRead& read) {
    std::string_view& rest = splitter.rest;
    if (rest.empty()) return false;
    const std::size_t newline = rest.find('\n');
    const std::string_view line =
        rest.substr(0, newline == std::string_view::npos ? rest.size() : newline + 1);
    rest.remove_prefix(line.size());
    const std::string_view first = line.substr(0, LineBufferSize - 1);
    const std::string_view beyond = line.substr(first.size());
    // The buffer is a C string: whatever follows a NUL byte is not seen.
    read = {first.substr(0, first.find('\0')), splitter.line++,
            !(beyond.empty() || beyond == "\n" || beyond == "\r\n"), without_line_end(line)};
    return true;
}

ConfigList refuse_long_line(const LineRead& read, ConfigError& error) {
    error = {read.line, "line is too long: " + count_noun(read.length, "character", "characters") +
                            " without its line end, at most " + std::to_string(LineBufferSize - 1) +
                            " fit"};
    return {};
}

// "!ven device" names no "ven" column, which shifts every token of the rows
// below by one: the likely cause when such a row fails.
void note_glued_name(const Reader& reader, Failure& failure) {
    if (reader.gluedName.empty()) return;
    failure.reason += "; note: the header on line " + std::to_string(reader.headerLine) +
                      " begins with \"!" + std::string(reader.gluedName) +
                      "\", and a name right after '!' names no column";
}

bool read_line(const LineRead& read, Reader& reader, Failure& failure) {
    const std::string_view text = read.text;
    if (text.starts_with('#') || text == "\n" || text == "\r\n") return true;
    if (!text.starts_with('!')) {
        if (read_data_row(text, read.line, reader, failure)) return true;
        note_glued_name(reader, failure);
        return false;
    }
    reader.headerLine = read.line;
    std::string_view rest = text;
    const std::string_view name = next_token<HeaderSeparator>(rest).substr(1);
    reader.gluedName = find_column(name) ? name : std::string_view{};
    return parse_header(text, reader.columns, failure) >= 0;
}

ConfigList read_lines(std::string_view contents, ConfigError& error) {
    Reader reader;
    LineSplitter splitter{contents};
    LineRead read{};
    Failure failure;
    // The first line is never part of the table, but a long one would be.
    if (next_line_read(splitter, read) && read.tooLong) return refuse_long_line(read, error);
    while (next_line_read(splitter, read)) {
        if (read.tooLong) return refuse_long_line(read, error);
        if (!read_line(read, reader, failure)) {
            error = {read.line, std::move(failure.reason)};
            return {};
        }
    }
    if (!reader.head) error = {0, "no data row"};
    return ConfigList(std::move(reader.head));
}

// Reads the table, or says why not; nothing of a failed read is kept.
ConfigList read_table(std::string_view contents, ConfigError& error) {
    error = {};
    try {
        return read_lines(contents, error);
    } catch (const std::bad_alloc&) {
        error = {0, "out of memory"};
        return {};
    }
}

}  // namespace

bool read_config_bytes(const char* path, std::string& contents, ConfigError& error) {
    const File file(std::fopen(path, "rb"));
    if (!file) {
        error = {0, std::string("cannot open: ") + std::strerror(errno)};
        return false;
    }
    char buffer[65536];
    try {
        struct stat info {};
        if (fstat(fileno(file.get()), &info) == 0 && info.st_size > 0)
            contents.reserve(static_cast<std::size_t>(info.st_size));
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;)
            contents.append(buffer, n);
    } catch (const std::bad_alloc&) {
        error = {0, "out of memory"};
        return false;
    }
    if (std::ferror(file.get())) {
        error = {0, std::string("cannot read: ") + std::strerror(errno)};
        return false;
    }
    return true;
}

std::string quoted_token(std::string_view token) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    const std::string_view shown = token.substr(0, MaxShownToken);
    for (const char c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '"' || c == '\\')
            (out += '\\') += c;
        else if (byte < 0x20 || byte >= 0x7f)
            ((out += "\\x") += hex[byte >> 4]) += hex[byte & 15];
        else
            out += c;
    }
    if (shown.size() < token.size()) out += "...";
    return out + '"';
}

uint32_t target_version_number(std::string_view text) {
    uint32_t groups[3] = {0, 0, 0};
    std::size_t found = 0;
    std::size_t pos = 0;
    while (found < 3) {
        pos = text.find_first_not_of('.', pos);
        if (pos == std::string_view::npos) break;
        const std::size_t end = text.find('.', pos);
        groups[found++] = piece_value(text.substr(pos, end - pos));
        pos = end;
    }
    return version_number(groups[0], groups[1], groups[2]);
}

std::string row_name(unsigned line, std::string_view file) {
    return std::string(file) + ":" + std::to_string(line);
}

std::string config_error_text(const ConfigError& error) {
    return (error.line == 0 ? std::string(ConfigFileName) : row_name(error.line)) + ": " +
           error.reason;
}

std::span<const Column> table_columns() {
    return Columns;
}

void free_config(std::unique_ptr<ConfigEntry> head) {
    while (head) head = std::move(head->next);
}

ConfigEntry* append_entry(std::unique_ptr<ConfigEntry>& head, ConfigEntry*& tail,
                          std::unique_ptr<ConfigEntry> entry) {
    entry->next.reset();
    ConfigEntry* added = entry.get();
    (tail ? tail->next : head) = std::move(entry);
    tail = added;
    return added;
}

int read_header_line(std::string_view line, ColumnList& list) {
    Failure failure;
    return parse_header(line, list, failure);
}

ConfigList read_config_text(std::string_view contents, ConfigError* error) {
    ConfigError local;
    return read_table(contents, error ? *error : local);
}

ConfigList read_config(const char* path, ConfigError* error) {
    ConfigError local;
    ConfigError& out = error ? *error : local;
    std::string contents;
    if (!read_config_bytes(path, contents, out)) return {};
    return read_table(contents, out);
}
