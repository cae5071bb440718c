#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"

namespace {

struct Parsed {
    CommandAction action;
    CommandLine line;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "qik_programmer");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    Parsed p{};
    p.action = parse_command_line(static_cast<int>(argv.size()), argv.data(), p.line);
    return p;
}

TEST(CommandLine, AcceptedAndRefusedForms) {
    const struct {
        std::vector<std::string> args;
        CommandAction action;
    } cases[] = {
        {{}, CommandAction::Run},
        {{"-ver"}, CommandAction::Version},
        {{"-?"}, CommandAction::Help},
        {{"-help"}, CommandAction::Help},
        {{"-ver", "-force"}, CommandAction::Invalid},
        {{"-help", "-print"}, CommandAction::Invalid},
        {{"-force", "-ver"}, CommandAction::Invalid},
        {{"-Ver"}, CommandAction::Invalid},
        {{"-bogus"}, CommandAction::Invalid},
        {{""}, CommandAction::Invalid},
        {{"-print", "-force"}, CommandAction::Run},
        {{"-filename", "out.xml", "-force"}, CommandAction::Run},
        {{"-filename", "out.xml", "-skip", "eth1"}, CommandAction::Invalid},
        {{"-skip", "eth1", "-force"}, CommandAction::Run},
        {{"-skip", "eth1", "-print", "-force"}, CommandAction::Invalid},
        {{"-skip", "a", "-skip", "b", "-skip", "c"}, CommandAction::Run},
        {{"-filename"}, CommandAction::Invalid},
        {{"-skip"}, CommandAction::Invalid},
        {{"-force", "-skip"}, CommandAction::Invalid},
        {{"-filename", std::string(256, 'f')}, CommandAction::Invalid},
        {{"-filename", std::string(255, 'f')}, CommandAction::Run},
        {{"-print", "-bogus"}, CommandAction::Invalid},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a.substr(0, 20) + " ";
        EXPECT_EQ(parse(c.args).action, c.action) << shown;
    }
}

// What standard error names for each refused command line.
TEST(CommandLine, TheProblemNamesTheWordOrTheLimit) {
    const struct {
        std::vector<std::string> args;
        std::string problem;
    } cases[] = {
        {{"-h"}, "unknown option \"-h\""},
        {{"--help"}, "unknown option \"--help\""},
        {{"-forse"}, "unknown option \"-forse\""},
        {{"-force", "-skip", "eth4,eth5", "-print"},
         "\"-force\" is accepted only in a command line of at most 4 words (this one has 5)"},
        {{"-skip", "eth4,eth5", "-force", "-print"},
         "\"-force\" is accepted only in a command line of at most 4 words (this one has 5)"},
        {{"-ver", "-force"}, "\"-ver\" must be the only argument"},
        {{"-force", "-skip"}, "\"-skip\" needs a value"},
        {{"-filename", std::string(256, 'f')},
         "the value of \"-filename\" is longer than 255 characters"},
        {{"-print", "-\x1b[2J" + std::string(80, 'x')},
         "unknown option \"-?[2J" + std::string(55, 'x') + "...\""},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.action, CommandAction::Invalid) << c.problem;
        EXPECT_EQ(p.line.problem, c.problem);
    }
}

TEST(CommandLine, ValuesAndOverrides) {
    Parsed p = parse({});
    EXPECT_STREQ(p.line.resultFileName, "vxlrfwprgmr.xml");
    EXPECT_FALSE(p.line.print);
    EXPECT_FALSE(p.line.force);
    EXPECT_STREQ(p.line.skipList, "");

    p = parse({"-filename", "a.xml", "-filename", "b.xml"});
    EXPECT_EQ(p.action, CommandAction::Invalid);  // five words: -filename refused

    p = parse({"-filename", "b.xml", "-print"});
    EXPECT_STREQ(p.line.resultFileName, "b.xml");
    EXPECT_TRUE(p.line.print);

    p = parse({"-skip", "eth1,eth2", "-skip", "eth3"});
    EXPECT_STREQ(p.line.skipList, "eth3");

    p = parse({"-skip", std::string(40, 's')});
    EXPECT_EQ(p.line.skipList, std::string(32, 's'));

    // The name given so far is where an invalid command line is reported.
    p = parse({"-filename", "c.xml", "-bogus"});
    EXPECT_EQ(p.action, CommandAction::Invalid);
    EXPECT_STREQ(p.line.resultFileName, "c.xml");
}

TEST(LibraryVersionGate, Boundaries) {
    const struct {
        uint32_t major, minor, build;
        bool outOfDate;
    } cases[] = {
        {5, 99, 99, true}, {6, 22, 99, true}, {6, 23, 5, true},          {6, 23, 0, true},
        {6, 23, 6, false}, {6, 24, 0, false}, {7, 0, 0, false},          {7, 0, 5, false},
        {0, 0, 0, true},   {6, 0, 0, true},   {0xFFFFFFFF, 0, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(library_out_of_date(c.major, c.minor, c.build), c.outOfDate)
            << c.major << "." << c.minor << "." << c.build;
}

TEST(ExitFlags, OneBitPerReportedRecord) {
    // A record without a matched entry is not reported, whatever its status.
    ConfigEntry entry{};
    const struct {
        std::vector<uint32_t> statuses;
        unsigned flags;
        std::vector<uint32_t> unreported = {};
    } cases[] = {
        {{}, 0},       {{0, 0}, 0},           {{5}, 0x04},         {{18}, 0x08},
        {{9}, 0x10},   {{5, 9}, 0x14},        {{18, 13, 0}, 0x18}, {{5, 18, 16}, 0x1C},
        {{}, 0, {10}}, {{0}, 0, {10, 5, 18}}, {{18}, 0x08, {16}},
    };
    for (const auto& c : cases) {
        std::vector<AdapterRecord> records(c.statuses.size() + c.unreported.size());
        for (std::size_t i = 0; i < c.statuses.size(); ++i) {
            records[i].status = c.statuses[i];
            records[i].config = &entry;
        }
        for (std::size_t i = 0; i < c.unreported.size(); ++i)
            records[c.statuses.size() + i].status = c.unreported[i];
        EXPECT_EQ(exit_flags(records), c.flags);
    }
}

}  // namespace
