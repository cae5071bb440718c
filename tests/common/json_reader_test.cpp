// The strict JSON reader: what it takes, what it refuses and why, and its
// bounds (depth, values, file size), whatever it is handed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/json_reader.h"

using ::testing::HasSubstr;

namespace {

std::optional<JsonValue> parsed(std::string_view text) {
    std::string problem;
    return parse_json(text, problem);
}

std::string problem_of(std::string_view text) {
    std::string problem;
    EXPECT_FALSE(parse_json(text, problem).has_value()) << text;
    return problem;
}

}  // namespace

TEST(JsonReader, ReadsEveryKindOfValue) {
    const auto v = parsed(
        " {\"n\": null, \"t\": true, \"f\": false, \"i\": 42, \"d\": -1.5e+3,"
        " \"s\": \"a\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\", \"a\": [1, [], {}]}\r\n");
    ASSERT_TRUE(v);
    ASSERT_TRUE(v->is_object());
    EXPECT_TRUE(v->find("n")->is_null());
    EXPECT_TRUE(v->find("t")->boolean);
    EXPECT_FALSE(v->find("f")->boolean);
    EXPECT_EQ(v->find("i")->as_unsigned(100), 42u);
    EXPECT_EQ(v->find("d")->text, "-1.5e+3");
    EXPECT_EQ(v->find("s")->text, "a\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(v->find("a")->items.size(), 3u);
    EXPECT_EQ(v->find("missing"), nullptr);
    EXPECT_EQ(v->members.front().name, "n");  // document order
}

TEST(JsonReader, RefusesWhatIsNotJson) {
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"", "ends where a value belongs"},
        {"   ", "ends where a value belongs"},
        {"nul", "not a JSON value"},
        {"True", "not a JSON value"},
        {"{} {}", "text after the document"},
        {"[1,]", "not a JSON value"},
        {"[1 2]", "expected ',' or ']'"},
        {"{\"a\" 1}", "expected ':'"},
        {"{a: 1}", "expected a member name"},
        {"{\"a\": 1,}", "expected a member name"},
        {"{\"a\": 1, \"a\": 2}", "named twice"},
        {"'a'", "not a JSON value"},
        {"01", "text after the document"},
        {"-", "not a JSON value"},
        {"1.", "no digit after its '.'"},
        {".5", "not a JSON value"},
        {"1e", "no digit in its exponent"},
        {"+1", "not a JSON value"},
        {"NaN", "not a JSON value"},
        {"\"a\tb\"", "control character"},
        {"\"\\x41\"", "unknown escape"},
        {"\"\\u12x4\"", "not a hex digit"},
        {"\"\\u12", "cut short"},
        {"\"\\ud800\"", "no low one"},
        {"\"\\ud800\\u0041\"", "no low one"},
        {"\"\\udc00\"", "lone low surrogate"},
        {"\"\xff\"", "not UTF-8"},
        {"\"\xc0\xaf\"", "not UTF-8"},
        {"\"\xed\xa0\x80\"", "not UTF-8"},
        {"\xef\xbb\xbf{}", "not a JSON value"},  // a byte order mark
    };
    for (const auto& c : cases) EXPECT_THAT(problem_of(c.text), HasSubstr(c.why)) << c.text;
}

TEST(JsonReader, SaysWhereItStopped) {
    EXPECT_EQ(problem_of("{\n  \"a\": [1,\n  x]}"), "line 3 column 3: not a JSON value");
}

TEST(JsonReader, RefusesEveryTruncationOfADocument) {
    const std::string whole =
        "{\"a\": [1, 2.5, {\"b\": \"c\\u00e9\\ud83d\\ude00\"}], \"d\": null, \"e\": true}";
    ASSERT_TRUE(parsed(whole));
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_FALSE(parsed(whole.substr(0, n))) << whole.substr(0, n);
}

TEST(JsonReader, NestsNoDeeperThanItsLimit) {
    const std::string deepest = std::string(JsonMaxDepth, '[') + std::string(JsonMaxDepth, ']');
    EXPECT_TRUE(parsed(deepest));
    EXPECT_THAT(problem_of("[" + deepest + "]"), HasSubstr("nested deeper"));
    // Far deeper than any stack would take, in arrays and objects alike.
    EXPECT_THAT(problem_of(std::string(1000000, '[')), HasSubstr("nested deeper"));
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
    EXPECT_THAT(problem_of(objects), HasSubstr("nested deeper"));
}

TEST(JsonReader, TakesNoMoreValuesThanItsLimit) {
    std::string many = "[";
    for (std::size_t i = 0; i < JsonMaxValues; ++i) many += "0,";
    many += "0]";
    EXPECT_THAT(problem_of(many), HasSubstr("more values"));
}

TEST(JsonReader, KeepsHugeNumbersAsTextAndConvertsOnlyInRange) {
    const auto v = parsed(
        "[123456789012345678901234567890, 1e999999, -0, 18446744073709551615,"
        " 18446744073709551616, 255, 256, 1.0, -1]");
    ASSERT_TRUE(v);
    const auto& n = v->items;
    EXPECT_EQ(n[0].text, "123456789012345678901234567890");
    EXPECT_EQ(n[0].as_unsigned(UINT64_MAX), std::nullopt);
    EXPECT_EQ(n[1].as_unsigned(UINT64_MAX), std::nullopt);
    EXPECT_EQ(n[2].as_unsigned(UINT64_MAX), std::nullopt);
    EXPECT_EQ(n[3].as_unsigned(UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(n[4].as_unsigned(UINT64_MAX), std::nullopt);
    EXPECT_EQ(n[5].as_unsigned(255), 255u);
    EXPECT_EQ(n[6].as_unsigned(255), std::nullopt);
    EXPECT_EQ(n[7].as_unsigned(255), std::nullopt);
    EXPECT_EQ(n[8].as_unsigned(255), std::nullopt);
    EXPECT_EQ(JsonValue{}.as_unsigned(255), std::nullopt);  // not a number
    EXPECT_EQ(parsed("9")->as_unsigned(5), std::nullopt);
}

TEST(JsonReader, ReadsAFileNoLargerThanItsLimit) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("json_reader_test_" + std::to_string(::getpid()));
    {
        std::ofstream out(path, std::ios::binary);
        out << "{\"a\": \"" << std::string(40000, 'x') << "\"}";
    }
    std::string problem;
    EXPECT_TRUE(read_json_file(path.c_str(), 40009, problem)) << problem;
    EXPECT_FALSE(read_json_file(path.c_str(), 40008, problem));
    EXPECT_EQ(problem, "larger than 40008 bytes");
    std::filesystem::remove(path);
    EXPECT_FALSE(read_json_file(path.c_str(), 40008, problem));
    EXPECT_EQ(problem, "No such file or directory");
}

// A FIFO with no writer would block the open for ever, a directory or device
// is no document: each is refused at once.
TEST(JsonReader, ReadsNothingButARegularFile) {
    const std::filesystem::path fifo =
        std::filesystem::temp_directory_path() / ("json_reader_fifo_" + std::to_string(::getpid()));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char* path : {fifo.c_str(), "/dev/zero", "/"}) {
        std::string problem;
        EXPECT_FALSE(read_json_file(path, 100, problem)) << path;
        EXPECT_EQ(problem, "not a regular file") << path;
    }
    std::filesystem::remove(fifo);
}
