// Whole-run outcomes of the run driver: the real binary, a scratch working
// directory, the simulated library and tool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "harness.h"

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string Banner = "Vexlor LOM/NIC Programming Utility Version 227.0.1\n";
const std::string Usage =
    "USAGE: ./qik_programmer [-ver || -? || -help] || [(-filename <filename> || -print) & "
    "-force]\n";
const std::string InvalidUsage = "Invalid Usage:  Please try again\n" + Usage;

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

// Standard output and the document stay as they always were; standard error
// names the word or the limit.
TEST(Driver, InvalidUsageWritesCode1IntoTheResultFileNamedSoFar) {
    struct Case {
        std::vector<std::string> args;
        std::string resultFile;
        std::string said;
    };
    const std::string standard = "vxlrfwprgmr.xml";
    const Case cases[] = {
        {{"-bogus"}, standard, "unknown option \"-bogus\""},
        {{"-h"}, standard, "unknown option \"-h\""},
        {{"--help"}, standard, "unknown option \"--help\""},
        // the file is written even after "-print"
        {{"-print", "-bogus"}, standard, "unknown option \"-bogus\""},
        {{"-ver", "-force"}, standard, "\"-ver\" must be the only argument"},
        {{"-force", "-help"}, standard, "\"-help\" must be the only argument"},
        {{"-filename"}, standard, "\"-filename\" needs a value"},
        {{"-filename", "out.xml", "-bogus"}, "out.xml", "unknown option \"-bogus\""},
        // "-filename" refused beyond four words
        {{"-filename", "out.xml", "-skip", "eth1"},
         standard,
         "\"-filename\" is accepted only in a command line of at most 4 words (this one has 5)"},
        {{"-force", "-skip", "eth4,eth5", "-print"},
         standard,
         "\"-force\" is accepted only in a command line of at most 4 words (this one has 5)"},
    };
    for (const Case& c : cases) {
        const std::string label = ::testing::PrintToString(c.args);
        Scratch s(empty_bench());
        const RunResult r = s.run(c.args);
        EXPECT_EQ(r.exitStatus, 1) << label;
        EXPECT_EQ(r.stdoutText, InvalidUsage) << label;
        EXPECT_EQ(r.stderrText, "qik_programmer: " + c.said + "\n") << label;
        EXPECT_EQ(s.read_file(c.resultFile), error_form(1)) << label;
        EXPECT_EQ(s.exists("out.xml"), c.resultFile == "out.xml") << label;
        EXPECT_FALSE(r.inventoryLogExists) << label;
        EXPECT_EQ(r.libraryTrace, "") << label;
    }
    EXPECT_TRUE(well_formed_xml(error_form(1)));
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

// The document says "out of date" for all three; standard error says which.
TEST(Driver, MissingOrIncompleteLibraryIsOutOfDate) {
    const struct {
        const char* what;
        const char* libraryFrom;  // copied in its place; none: no library
        const char* said;
    } cases[] = {
        {"missing", nullptr, "./libadpm_x64.so.6 was not found in the working directory"},
        {"another library", "/lib/x86_64-linux-gnu/libm.so.6",
         "./libadpm_x64.so.6 lacks the call AdpmGetVersion"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch s(demo_bench());
        copy_demo_files(s);
        s.remove_file("libadpm_x64.so.6");
        if (c.libraryFrom != nullptr)
            std::filesystem::copy_file(c.libraryFrom, s.dir() / "libadpm_x64.so.6");
        const RunResult r = s.run();
        EXPECT_EQ(r.exitStatus, 0);
        expect_error_form(r.resultXml, 6);
        EXPECT_EQ(r.stderrText, std::string("qik_programmer: ") + c.said + "\n");
        EXPECT_TRUE(r.inventoryLogExists);
        EXPECT_EQ(r.inventoryLog, "");
        EXPECT_EQ(r.toolLog, "");
    }
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
        EXPECT_EQ(r.stderrText, std::string("qik_programmer: ./libadpm_x64.so.6 is version ") +
                                    GetParam().version + "; 6.23.6 or later is needed\n");
    }
    EXPECT_THAT(r.libraryTrace, HasSubstr(std::string("AdpmGetVersion()=0 ") + GetParam().version));
    EXPECT_THAT(r.libraryTrace, Not(HasSubstr("AdpmInitialize")));
}

INSTANTIATE_TEST_SUITE_P(Versions, LibraryVersionGate,
                         ::testing::Values(VersionCase{"6.23.5", false},
                                           VersionCase{"6.22.99", false},
                                           VersionCase{"5.99.99", false},
                                           VersionCase{"0.0.0", false}, VersionCase{"6.23.6", true},
                                           VersionCase{"6.24.0", true}, VersionCase{"7.0.0", true},
                                           VersionCase{"8.1.2", true}),
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
    EXPECT_THAT(r.stderrText, HasSubstr("qik_programmer: vxlkqfw.cfg: cannot open"));
}

// Standard error names the line to mend, as qik_cfgcheck does.
TEST(Driver, UnreadableTableRowIsNamedByItsLine) {
    Scratch s(demo_bench());
    s.write_file("vxlkqfw.cfg", "t\n! ven crv\nzz a0\n");
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_THAT(r.stderrText, HasSubstr("qik_programmer: vxlkqfw.cfg:3: column 1"));
}

TEST(Driver, LibraryFailuresAreWholeRunErrors) {
    struct Case {
        const char* call;
        unsigned code;
        const char* notReached;
    };
    for (const Case& c : {Case{"AdpmInitialize", 7, "AdpmGetNumPhyNic"},
                          Case{"AdpmGetNumPhyNic", 10, "AdpmGetAllPhyNicHandles"}}) {
        json bench = demo_bench();
        bench["library"]["faults"] = json::array({{{"call", c.call}, {"result", 1}}});
        Scratch s(bench);
        copy_demo_files(s);
        const RunResult r = s.run();
        EXPECT_EQ(r.exitStatus, 0) << c.call;
        expect_error_form(r.resultXml, c.code);
        EXPECT_THAT(r.libraryTrace, HasSubstr(std::string(c.call) + "()=1 (injected)"));
        EXPECT_THAT(r.libraryTrace, Not(HasSubstr(c.notReached)));
        // The library is released on every path that tried to initialise it.
        EXPECT_THAT(r.libraryTrace, HasSubstr("AdpmUninitialize"));
        EXPECT_EQ(r.inventoryLog, "") << c.call;
        EXPECT_EQ(r.toolLog, "") << c.call;
    }
}

TEST(Driver, NoAdaptersIsCode12InTheFileOrOnStandardOutput) {
    Scratch s(empty_bench());
    copy_demo_files(s);
    const RunResult file = s.run();
    EXPECT_EQ(file.exitStatus, 0);
    expect_error_form(file.resultXml, 12);
    EXPECT_TRUE(file.inventoryLogExists);
    EXPECT_EQ(file.inventoryLog, "");
    EXPECT_THAT(file.libraryTrace, HasSubstr("AdpmGetNumPhyNic()=0 count=0"));
    EXPECT_THAT(file.libraryTrace, HasSubstr("AdpmUninitialize()=0"));

    const RunResult printed = s.run({"-print"});
    EXPECT_EQ(printed.exitStatus, 0);
    expect_error_form(printed.stdoutText, 12);
    EXPECT_FALSE(printed.resultFileExists);
    EXPECT_TRUE(printed.inventoryLogExists);
}
