// Whole-run outcomes of the run driver (spec Part 1.1): the real binary, a
// scratch working directory, the simulated library and tool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"

using ::testing::HasSubstr;
using ::testing::Not;
using nlohmann::json;

namespace {

const std::string Banner = "Vexlor LOM/NIC Programming Utility Version 227.0.1\n";
const std::string Usage =
    "USAGE: ./qik_programmer [-ver || -? || -help] || [(-filename <filename> || -print) & -force]\n";
const std::string InvalidUsage = "Invalid Usage:  Please try again\n" + Usage;

// A table that any complete reader accepts: one row, one column.
const std::string MinimalTable = "minimal table\n! ven\n1f3d\n";

// True while the configuration reader on this branch still returns nothing
// for every table (the reader is another subsystem; see tests/e2e/README).
bool config_reader_missing() {
    static const bool missing = [] {
        Scratch s(empty_bench());
        s.write_file("vxlkqfw.cfg", MinimalTable);
        return s.run().resultXml == error_form(3);
    }();
    return missing;
}

#define SKIP_WITHOUT_CONFIG_READER()                                                         \
    do {                                                                                     \
        if (config_reader_missing())                                                         \
            GTEST_SKIP() << "the configuration reader is a placeholder on this build: every " \
                            "table gives code 3";                                            \
    } while (0)

// The whole-run error form `code` is in `xml`, byte for byte, and parses.
void expect_error_form(const std::string& xml, unsigned code) {
    EXPECT_EQ(xml, error_form(code));
    EXPECT_TRUE(well_formed_xml(xml)) << xml;
}

}  // namespace

TEST(Driver, VersionPrintsTheBannerAndNothingElse) {
    Scratch s(empty_bench());
    const RunResult r = s.run({"-ver"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.stdoutText, Banner);
    EXPECT_FALSE(r.resultFileExists);
    EXPECT_FALSE(r.inventoryLogExists);
    EXPECT_EQ(r.libraryTrace, "");
}

TEST(Driver, HelpPrintsTheUsageLine) {
    Scratch s(empty_bench());
    for (const char* option : {"-help", "-?"}) {
        const RunResult r = s.run({option});
        EXPECT_EQ(r.exitStatus, 0) << option;
        EXPECT_EQ(r.stdoutText, Usage) << option;
        EXPECT_FALSE(r.resultFileExists) << option;
    }
}

TEST(Driver, UnknownArgumentIsInvalidUsage) {
    Scratch s(empty_bench());
    const RunResult r = s.run({"-bogus"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.stdoutText, InvalidUsage);
    ASSERT_TRUE(r.resultFileExists);
    expect_error_form(r.resultXml, 1);
    EXPECT_FALSE(r.inventoryLogExists);
    EXPECT_EQ(r.libraryTrace, "");
}

TEST(Driver, InvalidUsageAfterPrintStillWritesTheResultFile) {
    Scratch s(empty_bench());
    const RunResult r = s.run({"-print", "-bogus"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.stdoutText, InvalidUsage);  // no XML on standard output
    ASSERT_TRUE(r.resultFileExists);
    expect_error_form(r.resultXml, 1);
}

TEST(Driver, VersionWithAnotherArgumentIsInvalidUsage) {
    Scratch s(empty_bench());
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-ver", "-force"}, std::vector<std::string>{"-force", "-help"}}) {
        const RunResult r = s.run(args);
        EXPECT_EQ(r.exitStatus, 1) << args[0];
        EXPECT_EQ(r.stdoutText, InvalidUsage) << args[0];
        expect_error_form(r.resultXml, 1);
    }
}

TEST(Driver, FilenameAsLastArgumentIsInvalidUsage) {
    Scratch s(empty_bench());
    const RunResult r = s.run({"-filename"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.stdoutText, InvalidUsage);
    ASSERT_TRUE(r.resultFileExists);  // the default name
    expect_error_form(r.resultXml, 1);
}

TEST(Driver, InvalidUsageGoesToTheFileNamedSoFar) {
    Scratch s(empty_bench());
    const RunResult r = s.run({"-filename", "out.xml", "-bogus"});
    EXPECT_EQ(r.exitStatus, 1);
    ASSERT_TRUE(r.resultFileExists);
    expect_error_form(r.resultXml, 1);
    EXPECT_FALSE(s.exists("vxlrfwprgmr.xml"));
}

TEST(Driver, FilenameIsRefusedBeyondFourWords) {
    Scratch s(empty_bench());
    // "-filename" sees five words and is refused before it takes its value.
    const RunResult r = s.run({"-filename", "out.xml", "-skip", "eth1"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_FALSE(s.exists("out.xml"));
    EXPECT_TRUE(s.exists("vxlrfwprgmr.xml"));
    expect_error_form(s.read_file("vxlrfwprgmr.xml"), 1);
}

TEST(Driver, PrintSendsTheResultToStandardOutput) {
    Scratch s(empty_bench());  // no table: the run ends with code 3
    const RunResult r = s.run({"-print", "-force"});
    EXPECT_EQ(r.exitStatus, 3);
    expect_error_form(r.stdoutText, 3);
    EXPECT_FALSE(s.exists("vxlrfwprgmr.xml"));
    EXPECT_TRUE(r.inventoryLogExists);
    EXPECT_EQ(r.inventoryLog, "");
}

TEST(Driver, UnopenableResultFileWritesNothing) {
    Scratch s(empty_bench());
    copy_demo_files(s);
    const RunResult r = s.run({"-filename", "no_such_dir/out.xml"});
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_FALSE(r.resultFileExists);
    EXPECT_FALSE(s.exists("vxlrfwprgmr.xml"));
    EXPECT_FALSE(r.inventoryLogExists);
    EXPECT_EQ(r.stdoutText, "");
    EXPECT_EQ(r.libraryTrace, "");
}

TEST(Driver, MissingLibraryIsOutOfDate) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    s.remove_file("libadpm_x64.so.6");
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 0);
    expect_error_form(r.resultXml, 6);
    EXPECT_TRUE(r.inventoryLogExists);
    EXPECT_EQ(r.inventoryLog, "");
    EXPECT_EQ(r.toolLog, "");
}

struct VersionCase {
    const char* version;
    bool accepted;
    friend void PrintTo(const VersionCase& c, std::ostream* out) { *out << c.version; }
};

class LibraryVersionGate : public ::testing::TestWithParam<VersionCase> {};

TEST_P(LibraryVersionGate, RefusesOlderThan6_23_6) {
    json bench = empty_bench();
    bench["library"]["version"] = GetParam().version;
    Scratch s(bench);
    // No table: a library that passes the gate ends the run with code 3.
    const RunResult r = s.run();
    if (GetParam().accepted) {
        EXPECT_EQ(r.exitStatus, 3);
        expect_error_form(r.resultXml, 3);
    } else {
        EXPECT_EQ(r.exitStatus, 0);
        expect_error_form(r.resultXml, 6);
    }
    EXPECT_THAT(r.libraryTrace, HasSubstr(std::string("AdpmGetVersion()=0 ") + GetParam().version));
    EXPECT_THAT(r.libraryTrace, Not(HasSubstr("AdpmInitialize")));
}

INSTANTIATE_TEST_SUITE_P(Versions, LibraryVersionGate,
                         ::testing::Values(VersionCase{"6.23.5", false}, VersionCase{"6.22.99", false},
                                           VersionCase{"5.99.99", false}, VersionCase{"0.0.0", false},
                                           VersionCase{"6.23.6", true}, VersionCase{"6.24.0", true},
                                           VersionCase{"7.0.0", true}, VersionCase{"8.1.2", true}),
                         [](const ::testing::TestParamInfo<VersionCase>& param) {
                             std::string name = std::string("v") + param.param.version;
                             for (char& c : name)
                                 if (c == '.') c = '_';
                             return name;
                         });

TEST(Driver, MissingTableEndsTheRunBeforeTheLibraryIsInitialised) {
    Scratch s(demo_bench());
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 3);
    expect_error_form(r.resultXml, 3);
    EXPECT_THAT(r.libraryTrace, HasSubstr("AdpmGetVersion()"));
    EXPECT_THAT(r.libraryTrace, Not(HasSubstr("AdpmInitialize")));
    EXPECT_EQ(r.inventoryLog, "");
}

TEST(Driver, FailingInitialisationIsCode7) {
    SKIP_WITHOUT_CONFIG_READER();
    json bench = demo_bench();
    bench["library"]["faults"] = json::array({{{"call", "AdpmInitialize"}, {"result", 1}}});
    Scratch s(bench);
    copy_demo_files(s);
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 0);
    expect_error_form(r.resultXml, 7);
    EXPECT_THAT(r.libraryTrace, HasSubstr("AdpmInitialize()=1 (injected)"));
    EXPECT_THAT(r.libraryTrace, Not(HasSubstr("AdpmGetNumPhyNic")));
    EXPECT_EQ(r.inventoryLog, "");
    EXPECT_EQ(r.toolLog, "");
}

TEST(Driver, FailingAdapterCountIsCode10) {
    SKIP_WITHOUT_CONFIG_READER();
    json bench = demo_bench();
    bench["library"]["faults"] = json::array({{{"call", "AdpmGetNumPhyNic"}, {"result", 1}}});
    Scratch s(bench);
    copy_demo_files(s);
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 0);
    expect_error_form(r.resultXml, 10);
    EXPECT_THAT(r.libraryTrace, HasSubstr("AdpmUninitialize()=0"));
}

TEST(Driver, NoAdaptersIsCode12) {
    SKIP_WITHOUT_CONFIG_READER();
    Scratch s(empty_bench());
    copy_demo_files(s);
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 0);
    expect_error_form(r.resultXml, 12);
    EXPECT_TRUE(r.inventoryLogExists);
    EXPECT_EQ(r.inventoryLog, "");
    EXPECT_THAT(r.libraryTrace, HasSubstr("AdpmGetNumPhyNic()=0 count=0"));
    EXPECT_THAT(r.libraryTrace, HasSubstr("AdpmUninitialize()=0"));
}

TEST(Driver, NoAdaptersWithPrintGoesToStandardOutput) {
    SKIP_WITHOUT_CONFIG_READER();
    Scratch s(empty_bench());
    copy_demo_files(s);
    const RunResult r = s.run({"-print"});
    EXPECT_EQ(r.exitStatus, 0);
    expect_error_form(r.stdoutText, 12);
    EXPECT_FALSE(r.resultFileExists);
    EXPECT_TRUE(r.inventoryLogExists);
}
