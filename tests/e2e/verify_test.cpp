// qik_plan --verify on the bench: after a run, each function the result
// document reports as updated is checked against the adapters as they then
// read; an image that installs less than the table asks is caught.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "demo_runs.h"
#include "harness.h"
#include "schema.h"

using nlohmann::json;
using ::testing::HasSubstr;

namespace {

// The 1GbE adapter (eth6), which the demo's table leaves out, with a row of
// its own whose boot agent image installs 1.5.0 under a 1.6.0 target.
const std::string OneGigabitRow =
    "\n! ven device subven subdev crv family bta SystemName\n"
    "1f3d 7a0c 1c5a 5b0c a1 1.6.0 bta_7a0c_150.img,1.6.0 Kestrel_KS2200\n";
const std::string OlderBootAgent = "name=VX7A0C boot agent\ncomponent=bta\nversion=1.5.0\n";

// The demo's table with the LOM's bootcode target raised after the run.
std::string table_with_newer_lom_bootcode(const std::string& table) {
    std::string raised = table;
    raised.replace(raised.find("bc_7a01_0710.bin,7.10"), 21, "bc_7a01_0710.bin,7.12");
    return raised;
}

struct VerifyCase {
    const char* name;
    bool run = true;
    std::vector<std::string> runArgs;
    std::string tableRows;                     // appended before the run
    std::map<std::string, std::string> files;  // laid before the run
    bool raiseLomBootcodeAfterRun = false;
    std::vector<std::string> verifyArgs;  // after --verify
    int exitStatus;
    std::vector<std::string> said;  // on standard output or error
    friend void PrintTo(const VerifyCase& c, std::ostream* out) { *out << c.name; }
};

const VerifyCase VerifyCases[] = {
    {"DemoRun",
     true,
     {},
     {},
     {},
     false,
     {},
     0,
     {"eth5  4:0.1  verified", "qik_plan: 6 of 6 functions reported as updated are verified\n"}},
    {"ImageInstallsAnOlderVersion",
     true,
     {},
     OneGigabitRow,
     {{"bta_7a0c_150.img", OlderBootAgent}},
     false,
     {},
     5,
     {"eth6  7:0.0  not verified\n"
      "  eth6 bta: 1.5.0 installed after the run, the table asks 1.6.0 (bta_7a0c_150.img)\n",
      "6 of 7 functions reported as updated are verified; not verified: eth6\n"}},
    // Functions 1-3 share what function 0 writes, and read as it does.
    {"TableAsksMoreThanTheRunWrote",
     true,
     {},
     {},
     {},
     true,
     {},
     5,
     {"eth0 bc: 7.10 installed after the run, the table asks 7.12 (bc_7a01_0710.bin)",
      "eth3 bc: 7.10 installed after the run, the table asks 7.12 (bc_7a01_0710.bin)",
      "not verified: eth0, eth1, eth2, eth3\n"}},
    {"NamedResultFile",
     true,
     {"-filename", "out.xml"},
     {},
     {},
     false,
     {"out.xml"},
     0,
     {"checking what out.xml reports"}},
    {"NoResultDocument",
     false,
     {},
     {},
     {},
     false,
     {},
     3,
     {"qik_plan: vxlrfwprgmr.xml: cannot be read: No such file or directory\n"}},
    {"NotAResultDocument",
     true,
     {},
     {},
     {},
     false,
     {"vxlkqfw.cfg"},
     3,
     {"qik_plan: vxlkqfw.cfg: not a result document of qik_programmer"}},
    {"ForceRefused",
     false,
     {},
     {},
     {},
     false,
     {"-force"},
     1,
     {"-force has no place with --verify"}},
};

class Verify : public ::testing::TestWithParam<VerifyCase> {};

}  // namespace

TEST_P(Verify, ChecksWhatTheDocumentReportsAsUpdated) {
    const VerifyCase& c = GetParam();
    Scratch s(demo_bench());
    copy_demo_files(s);
    s.write_file("vxlkqfw.cfg", s.read_file("vxlkqfw.cfg") + c.tableRows);
    for (const auto& [name, contents] : c.files) s.write_file(name, contents);
    if (c.run) {
        EXPECT_EQ(s.run(c.runArgs).exitStatus, 0);
    }
    if (c.raiseLomBootcodeAfterRun)
        s.write_file("vxlkqfw.cfg", table_with_newer_lom_bootcode(s.read_file("vxlkqfw.cfg")));
    const std::string before = s.read_file("bench.json");

    std::vector<std::string> args{"--verify"};
    args.insert(args.end(), c.verifyArgs.begin(), c.verifyArgs.end());
    const ProcessResult p = s.run_plan(args);
    EXPECT_EQ(p.exitStatus, c.exitStatus) << p.stdoutText << p.stderrText;
    for (const std::string& line : c.said)
        EXPECT_THAT(p.stdoutText + p.stderrText, HasSubstr(line));
    EXPECT_EQ(s.read_file("bench.json"), before);
}

INSTANTIATE_TEST_SUITE_P(Plan, Verify, ::testing::ValuesIn(VerifyCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Verify, NamesEachMissInThePlansJson) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    s.write_file("vxlkqfw.cfg", s.read_file("vxlkqfw.cfg") + OneGigabitRow);
    s.write_file("bta_7a0c_150.img", OlderBootAgent);
    s.run();
    const ProcessResult p = s.run_plan({"--verify", "--json"});
    EXPECT_EQ(p.exitStatus, 5);
    EXPECT_TRUE(valid_json(p.stdoutText, "plan.schema.json"));
    const json verification = json::parse(p.stdoutText)["verification"];
    EXPECT_FALSE(verification["allVerified"].get<bool>());
    const json& eth6 = verification["functions"][6];
    EXPECT_EQ(eth6["service"], "eth6");
    EXPECT_EQ(eth6["misses"], json::parse(R"([{"component": "bta", "installed": "1.5.0",
        "target": "1.6.0", "image": "bta_7a0c_150.img"}])"));
}
