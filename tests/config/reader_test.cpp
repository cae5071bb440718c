#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "config/config.h"

namespace {

// An entry as "name=value" pairs of the fields it holds, in field order.
std::string describe(const ConfigEntry& e) {
    std::string out;
    const auto number = [&](const char* name, uint32_t value) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", value);
        if (value) out += std::string(out.empty() ? "" : " ") + name + "=" + text;
    };
    const auto text = [&](const char* name, std::string_view value) {
        if (!value.empty())
            out += std::string(out.empty() ? "" : " ") + name + "=" + std::string(value);
    };
    number("ven", e.ven);
    number("device", e.device);
    number("subven", e.subven);
    number("subdev", e.subdev);
    text("crv", field_text(e.crv));
    text("family", field_text(e.family));
    text("bcFile", field_text(e.bcFile));
    text("bcVersion", field_text(e.bcVersion));
    text("btaFile", field_text(e.btaFile));
    text("btaVersion", field_text(e.btaVersion));
    text("ncsiFile", field_text(e.ncsiFile));
    text("ncsiVersion", field_text(e.ncsiVersion));
    text("qmxFile", field_text(e.qmxFile));
    text("qmxVersion", field_text(e.qmxVersion));
    text("ipmiFile", field_text(e.ipmiFile));
    text("ipmiVersion", field_text(e.ipmiVersion));
    text("iscsibFile", field_text(e.iscsibFile));
    text("iscsibVersion", field_text(e.iscsibVersion));
    text("ibcfg", field_text(e.ibcfg));
    text("lconf", field_text(e.lconf));
    text("uefiFile", field_text(e.uefiFile));
    text("uefiVersion", field_text(e.uefiVersion));
    text("fcoebFile", field_text(e.fcoebFile));
    text("fcoebVersion", field_text(e.fcoebVersion));
    text("cfxFile", field_text(e.cfxFile));
    text("cfxVersion", field_text(e.cfxVersion));
    text("vpdFile", field_text(e.vpdFile));
    text("vpdVersion", field_text(e.vpdVersion));
    text("SystemName", field_text(e.SystemName));
    text("expose_fcoe", field_text(e.expose_fcoe));
    text("enable_dcbx", field_text(e.enable_dcbx));
    return "{" + out + "}";
}

std::string describe(const ConfigList& list) {
    std::string out;
    for (const ConfigEntry* e = list.head(); e; e = e->next.get()) out += describe(*e);
    return out;
}

// A table read both from memory and from a file, which must agree.
struct Outcome {
    std::string entries;
    ConfigError error;
};

Outcome read_from_memory(std::string_view table) {
    Outcome o;
    const ConfigList list = read_config_text(table, &o.error);
    o.entries = describe(list);
    return o;
}

Outcome read_from_file(std::string_view table) {
    char path[] = "/tmp/qik_config_testXXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    std::FILE* file = fdopen(fd, "wb");
    std::fwrite(table.data(), 1, table.size(), file);
    std::fclose(file);
    Outcome o;
    const ConfigList list = read_config(path, &o.error);
    o.entries = describe(list);
    std::remove(path);
    return o;
}

struct ReadCase {
    const char* name;
    std::string table;
    std::string entries;      // expected entries; empty when the read fails
    unsigned errorLine = 0;   // the line a failure names
    std::string reason = {};  // a part of the failure's reason
};

void check(const ReadCase& c) {
    SCOPED_TRACE(c.name);
    const Outcome memory = read_from_memory(c.table);
    EXPECT_EQ(memory.entries, c.entries);
    if (c.entries.empty()) {
        EXPECT_EQ(memory.error.line, c.errorLine);
        EXPECT_NE(memory.error.reason.find(c.reason), std::string::npos) << memory.error.reason;
    } else {
        EXPECT_EQ(memory.error.reason, "");
    }
    const Outcome file = read_from_file(c.table);
    EXPECT_EQ(file.entries, memory.entries);
    EXPECT_EQ(file.error.line, memory.error.line);
    EXPECT_EQ(file.error.reason, memory.error.reason);
}

std::string repeated(const std::string& text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}

TEST(ReadConfig, LinesAndHeaders) {
    const ReadCase cases[] = {
        {"empty file", "", "", 0, "no data row"},
        {"one line", "! ven\n", "", 0, "no data row"},
        {"headers and comments only", "t\n! ven\n# 14e4\n\n", "", 0, "no data row"},
        {"header on the first line is ignored", "! ven device\nabcd 12\n", "{}"},
        {"data row on the first line is ignored", "14e4\n! ven\n", "", 0, "no data row"},
        {"comments, blank forms", "t\n! ven\n# x y\n\n\r\n14e4\n", "{ven=14e4}"},
        {"'!' and '#' count only first", "t\n! crv\n #x\n", "{crv=#x}"},
        {"name glued to '!' is no column", "t\n!ven device subven\n1 2\n", "{device=1 subven=2}"},
        {"row under a glued name fails with a note", "t\n!ven bc\n1 b.bin,1\n", "", 3,
         "token \"1\" has no \",version\"; note: the header on line 2 begins with \"!ven\""},
        {"separate '!' token", "t\n! ven device subven\n1 2 3\n", "{ven=1 device=2 subven=3}"},
        {"tabs and CR separate header names", "t\n!\tven\r\tcrv\r\n14e4 a0\n", "{ven=14e4 crv=a0}"},
        {"names are case-sensitive", "t\n! Ven\n14e4\n", "", 2,
         "\"Ven\" is not a column name (names are case-sensitive: \"ven\")"},
        {"unknown name lists the names", "t\n! ven fw\n14e4\n", "", 2,
         "\"fw\" is not a column name; the columns are: ven device subven subdev crv family "
         "ibcfg lconf expose_fcoe enable_dcbx VPD SystemName bc bta ncsi qmx extphy ipmi l2fw "
         "iscsib uefi fcoeb cfx"},
        {"header alone gives no column", "t\n!\nanything here\n", "{}"},
        {"a new header holds for later rows only", "t\n! ven\n1\n! crv\na0\n", "{ven=1}{crv=a0}"},
        {"row before any header", "t\n14e4 a0\n! ven\n1\n", "{}{ven=1}"},
        {"more tokens than columns", "t\n! ven\n1 2 3\n", "{ven=1}"},
        {"fewer tokens than columns", "t\n! ven crv\n1 a0\n2\n", "", 4,
         "row has 1 token but the header on line 2 names 2 columns; column 2 \"crv\" has no token"},
        {"short last row without newline", "t\n! ven crv\n1 a0\n2", "", 4,
         "column 2 \"crv\" has no token"},
        {"line of spaces is a short row", "t\n! ven\n1\n  \t \n", "", 4, "row has 0 tokens"},
        {"line of spaces without columns", "t\n  \n", "{}"},
        {"space then CRLF is a row of one CR", "t\n! crv\n \r\n", "", 3,
         "column 1 \"crv\": token \"\\r\" holds no text"},
        {"CRLF table", "t\r\n! ven crv family\r\n# c\r\n\r\n14e4 a0 7.10\r\n",
         "{ven=14e4 crv=a0 family=7.10}"},
        {"same identity twice", "t\n! ven crv\n1 a0\n1 a0\n", "{ven=1 crv=a0}{ven=1 crv=a0}"},
        {"32 columns", "t\n!" + repeated(" ven", 32) + "\n" + repeated("1 ", 31) + "2\n",
         "{ven=2}"},
        {"33 columns", "t\n!" + repeated(" ven", 33) + "\n1\n", "", 2, "more than 32 columns"},
        {"NUL ends what a line holds", std::string("t\n! ven\n14e4\0 zz\n", 17), "{ven=14e4}"},
        {"NUL at the start of a row", std::string("t\n! ven\n\0 1\n", 12), "", 3,
         "row has 0 tokens"},
    };
    for (const auto& c : cases) check(c);
}

TEST(ReadConfig, KindsAndSharedColumns) {
    const ReadCase cases[] = {
        {"hex numbers", "t\n! ven device subven subdev\nabcd 0x12EF abcdzz 0X7\n",
         "{ven=abcd device=12ef subven=abcd subdev=7}"},
        {"no hex digit", "t\n! ven device\n1 zz\n", "", 3,
         "column 2 \"device\": token \"zz\" is not a hexadecimal number"},
        {"texts",
         "t\n! crv family ibcfg lconf expose_fcoe enable_dcbx SystemName\na0 7.10 i l yes no "
         "Srv-1\n",
         "{crv=a0 family=7.10 ibcfg=i lconf=l SystemName=Srv-1 expose_fcoe=yes enable_dcbx=no}"},
        {"CR inside a token ends the text", "t\n! crv family\na0\rb0 7.1\r\n",
         "{crv=a0 family=7.1}"},
        {"pairs",
         "t\n! bc bta ncsi qmx ipmi iscsib uefi fcoeb cfx VPD\n"
         "img_1.bin,7.10.3 b,1 n,2 q,3 i,4 s,5 u,6 f,7 c,8 vpd.txt,1\n",
         "{bcFile=img_1.bin bcVersion=7.10.3 btaFile=b btaVersion=1 ncsiFile=n ncsiVersion=2 "
         "qmxFile=q "
         "qmxVersion=3 ipmiFile=i ipmiVersion=4 iscsibFile=s iscsibVersion=5 uefiFile=u "
         "uefiVersion=6 "
         "fcoebFile=f fcoebVersion=7 cfxFile=c cfxVersion=8 vpdFile=vpd.txt vpdVersion=1}"},
        {"version keeps what follows the comma", "t\n! bc\na.bin,7,1-x\r\n",
         "{bcFile=a.bin bcVersion=7,1-x}"},
        {"file name with '-'", "t\n! bc\nimg-1.bin,7.10.3\n", "", 3,
         "token \"img-1.bin,7.10.3\" has \"-\" in its file name"},
        {"no version", "t\n! bc\nimg.bin,\n", "", 3,
         "token \"img.bin,\" has no version after the comma"},
        {"version only CR", "t\n! bc\nimg.bin,\r\n", "", 3, "no version after the comma"},
        {"no comma", "t\n! bc\nimg.bin\n", "", 3,
         "column 1 \"bc\": token \"img.bin\" has no \",version\""},
        {"no file name", "t\n! bc\n,7.1\n", "", 3, "has no file name before the comma"},
        {"file name starting badly", "t\n! bc\n-a,7.1\n", "", 3,
         "token \"-a,7.1\" has \"-\" in its file name"},
        {"extphy after qmx wins", "t\n! qmx extphy\nq.bin,1 x.bin,2\n",
         "{qmxFile=x.bin qmxVersion=2}"},
        {"qmx after extphy wins", "t\n! extphy qmx\nx.bin,2 q.bin,1\n",
         "{qmxFile=q.bin qmxVersion=1}"},
        {"l2fw after ipmi wins", "t\n! ipmi l2fw\ni.bin,1 l.bin,2\n",
         "{ipmiFile=l.bin ipmiVersion=2}"},
        {"ipmi after l2fw wins", "t\n! l2fw ipmi\nl.bin,2 i.bin,1\n",
         "{ipmiFile=i.bin ipmiVersion=1}"},
        {"repeated column: last wins", "t\n! crv crv\na0 b0\n", "{crv=b0}"},
    };
    for (const auto& c : cases) check(c);
}

TEST(ReadConfig, OverlongTokensFail) {
    const std::string c15(15, 'c'), c31(31, 'f');
    const ReadCase cases[] = {
        {"crv of 15", "t\n! crv\n" + c15 + "\n", "{crv=" + c15 + "}"},
        {"crv of 15 before CRLF", "t\n! crv\n" + c15 + "\r\n", "{crv=" + c15 + "}"},
        {"crv of 16", "t\n! crv\n" + c15 + "c\n", "", 3,
         "column 1 \"crv\": token \"" + c15 + "c\" is 16 characters long; at most 15 fit"},
        {"enable_dcbx of 16", "t\n! enable_dcbx\n" + c15 + "x\n", "", 3,
         "is 16 characters long; at most 15 fit"},
        {"family of 31", "t\n! family\n" + c31 + "\n", "{family=" + c31 + "}"},
        {"family of 32", "t\n! family\n" + c31 + "1\n", "", 3,
         "is 32 characters long; at most 31 fit"},
        {"file name of 32", "t\n! bc\n" + c31 + "1,7.1\n", "", 3,
         "file name \"" + c31 + "1\" is 32"},
        {"version of 32", "t\n! uefi\nu.bin," + c31 + "1\n", "", 3,
         "version \"" + c31 + "1\" is 32"},
        {"pair at full width", "t\n! VPD\n" + c31 + "," + c31 + "\n",
         "{vpdFile=" + c31 + " vpdVersion=" + c31 + "}"},
    };
    for (const auto& c : cases) check(c);
}

// Lines are read 499 characters at a time. A line that needs a second read
// for more than its line end fails the whole table: read as a line of its
// own, the tail of a commented-out row would be a live row.
TEST(ReadConfig, LongLinesFailTheRead) {
    const std::string c498 = "#" + std::string(498, 'c');  // 499 characters
    const std::string row499 = std::string(499, 'r');
    const std::string tooLong = "line is too long: ";
    const ReadCase cases[] = {
        {"a comment of 499 and its newline", "t\n! crv\n" + c498 + "\na0\n", "{crv=a0}"},
        {"a comment of 499 and CRLF", "t\n! crv\n" + c498 + "\r\na0\n", "{crv=a0}"},
        {"a row of 499 and its newline", "t\n! SystemName\n" + row499 + "\n",
         "{SystemName=" + row499 + "}"},
        {"a row of 499 and CRLF", "t\n! SystemName\n" + row499 + "\r\n",
         "{SystemName=" + row499 + "}"},
        {"a row of 499 ending the file", "t\n! SystemName\n" + row499,
         "{SystemName=" + row499 + "}"},
        {"a comment of 500", "t\n! SystemName\n" + c498 + "n\nrow\n", "", 3,
         tooLong + "500 characters without its line end, at most 499 fit"},
        {"a commented-out row", "t\n! crv\n#" + std::string(499, ' ') + "a0\n", "", 3, tooLong},
        {"a long first line", "#" + std::string(498, 'x') + "! crv\na0\n", "", 1, tooLong},
        {"a long header", "t\n! crv" + std::string(500, ' ') + "ven\n1\n", "", 2, tooLong},
        {"a row of 500 ending the file", "t\n! SystemName\n" + row499 + "r", "", 3, tooLong},
        {"a line of 2 MB", "t\n! SystemName\n" + std::string(2 << 20, 'm') + "\n", "", 3,
         tooLong + "2097152 characters"},
        {"line ends of carriage returns", "t\r! crv\r" + repeated("a0\r", 200), "", 1, tooLong},
        {"a run of NUL bytes", "t\n! crv\n" + std::string(1000, '\0'), "", 3, tooLong},
        {"lines after a long one are counted right",
         "t\n! crv\n" + c498 + "\n\n1\n2 3\n# x\n" + std::string(22, 'z') + "\n", "", 8,
         "column 1 \"crv\": token \"" + std::string(22, 'z') + "\" is 22 characters long"},
    };
    for (const auto& c : cases) check(c);
}

TEST(ReadConfig, FileErrors) {
    ConfigError error;
    EXPECT_FALSE(read_config("/nonexistent/vxlkqfw.cfg", &error));
    EXPECT_EQ(error.line, 0u);
    EXPECT_EQ(error.reason, "cannot open: No such file or directory");
    EXPECT_FALSE(read_config("/", &error));
    EXPECT_EQ(error.reason, "cannot read: Is a directory");
    EXPECT_FALSE(read_config("/nonexistent"));
}

// The conversions must give what the standard scanf conversions give, over
// many tokens drawn from the characters that matter to them.
TEST(ReadConfig, ConversionsAgreeWithScanf) {
    std::mt19937 random(4);
    const std::string_view alphabet = "0123456789abcdefxXgG+-._,\r\v\f";
    for (int round = 0; round < 3000; ++round) {
        std::string token;
        const auto length = 1 + random() % 12;
        for (unsigned i = 0; i < length; ++i) token += alphabet[random() % alphabet.size()];
        SCOPED_TRACE(quoted_token(token));

        unsigned hex = 0;
        const Outcome h = read_from_memory("t\n! ven\n" + token + "\n");
        if (std::sscanf(token.c_str(), "%x", &hex) == 1) {
            char text[16];
            std::snprintf(text, sizeof text, "%x", hex);
            EXPECT_EQ(h.entries, hex ? "{ven=" + std::string(text) + "}" : "{}");
        } else {
            EXPECT_EQ(h.entries, "");
        }

        char word[64] = "";
        const Outcome w = read_from_memory("t\n! crv\n" + token + "\n");
        EXPECT_EQ(w.entries, std::sscanf(token.c_str(), "%s", word) == 1
                                 ? "{crv=" + std::string(word) + "}"
                                 : "");

        char file[64] = "";
        char version[64] = "";
        const Outcome p = read_from_memory("t\n! bc\n" + token + "\n");
        EXPECT_EQ(p.entries, std::sscanf(token.c_str(), "%[0-9a-zA-Z._],%s", file, version) == 2
                                 ? "{bcFile=" + std::string(file) + " bcVersion=" + version + "}"
                                 : "");
    }
}

TEST(ReadConfig, HexValuesAsScanfKeepsThem) {
    const char* tokens[] = {"0x",  "+0x", "-1", "-0x10", "123456789", "12345678901234567890ab",
                            "00x1"};
    for (const char* token : tokens) {
        unsigned expected = 0;
        ASSERT_EQ(std::sscanf(token, "%x", &expected), 1) << token;
        const ConfigList list = read_config_text(std::string("t\n! ven\n") + token + "\n");
        ASSERT_TRUE(list) << token;
        EXPECT_EQ(list.head()->ven, expected) << token;
    }
}

TEST(ReadHeaderLine, ReplacesTheList) {
    ColumnList list{};
    EXPECT_EQ(read_header_line("! ven crv extphy\r\n", list), 3);
    ASSERT_EQ(list.count, 3u);
    EXPECT_STREQ(list.columns[2]->name, "extphy");
    EXPECT_EQ(read_header_line("!SystemName\n", list), 0);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(read_header_line("! ven ven2", list), -1);
}

}  // namespace
