// Function 0 decides for its adapter whatever order the library lists the
// functions in and however the buses are numbered; a run's exit status and
// document agree; and qik_plan, made first, sees what the run then does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "demo_runs.h"
#include "harness.h"

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace {

// The demo's functions with the add-in's second port (eth5) listed before
// its function 0 (eth4).
json addin_port1_first() {
    json functions = demo_bench()["functions"];
    std::swap(functions[4], functions[5]);
    return {{"functions", functions}};
}

json with(json patch, const json& more) {
    patch.merge_patch(more);
    return patch;
}

// The add-in on the LOM's bus and device, as on a server whose two PCI
// segments both have a bus 1.
const json AddinOnLomBus = {{"adapters", {{"addin", {{"bus", 1}}}}}};

constexpr const char* LomPort1 = "001c5a100001";

struct Case {
    const char* name;
    json patch;
    std::vector<std::string> args;
    void (*lay)(Scratch&);      // what the working directory holds beside the demo
    std::vector<int> statuses;  // of the document, in order; one code for the error form
    bool wholeRun;              // the document is the whole-run error form
    int exitStatus;
    std::vector<std::string> idle;  // MACs that get no tool command
    const char* said;               // on standard error, or none
    friend void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
};

void nothing(Scratch&) {}

void addin_backup_kept(Scratch& s) {
    s.write_file("buimage_001c5a400000", "add-in's NVRAM");
}

void addin_backup_left_over(Scratch& s) {
    s.write_file("buimage", "add-in's NVRAM");
    s.write_file("buimage.mac", "001c5a400000\n");
}

void backup_note_is_a_directory(Scratch& s) {
    fs::create_directory(s.dir() / "buimage.mac");
}

void vpd_update_is_a_link(Scratch& s) {
    s.write_file("elsewhere.txt", "not the tool's\n");
    fs::create_symlink("elsewhere.txt", s.dir() / "VpdUpdate.txt");
}

const Case Cases[] = {
    // A kept backup holds every function of its adapter, in any order.
    {"KeptBackupPort1ListedFirst",
     addin_port1_first(),
     {},
     addin_backup_kept,
     {0, 0, 0, 0, 14, 14},
     false,
     0x10,
     {Addin, AddinPort1},
     "adapter 001c5a400000 (eth4) is left alone"},
    {"LeftoverBackupPort1ListedFirst",
     addin_port1_first(),
     {},
     addin_backup_left_over,
     {0, 0, 0, 0, 14, 14},
     false,
     0x10,
     {Addin, AddinPort1},
     "it is kept in buimage_001c5a400000"},
    // Two function 0s at one bus and device: each is its own adapter, the
    // other functions there belong to neither.
    {"TwoFunction0sAtOneBusAndDevice",
     AddinOnLomBus,
     {},
     nothing,
     {0, 0},
     false,
     0,
     {LomPort1, AddinPort1},
     "eth1 (1:0.1) takes no part: more than one function 0 is at its bus and device"},
    {"TwoFunction0sOneSkipped",
     AddinOnLomBus,
     {"-skip", "eth0"},
     nothing,
     {0},
     false,
     0,
     {Lom, LomPort1, AddinPort1},
     "eth5 (1:0.1) takes no part: more than one function 0 is at its bus and device"},
    // A function's own failed PHY write stands beside its function 0's
    // success; after function 0 failed, function 0's status stands.
    {"Port1PhyFails",
     tool_faults({{{"option", "phy"}, {"mac", AddinPort1}, {"exit", 7}}}),
     {},
     nothing,
     {0, 0, 0, 0, 0, 16},
     false,
     0x10,
     {},
     nullptr},
    {"Port1PhyFailsThenFunction0Fails",
     with(addin_port1_first(), tool_faults({{{"option", "phy"}, {"mac", AddinPort1}, {"exit", 7}},
                                            {{"option", "-vpd"}, {"mac", Addin}, {"exit", 9}}})),
     {},
     nothing,
     {0, 0, 0, 0, 13, 13},
     false,
     0x10,
     {},
     nullptr},
    // A function passed over adds nothing to the exit status.
    {"PassedOverFunctionsFirmwareUnreadable",
     {{"library",
       {{"faults", {{{"call", "AdpmGetFirmwareInfo"}, {"serviceName", "eth5"}, {"result", 9}}}}}}},
     {"-skip", "eth0,eth4"},
     nothing,
     {12},
     true,
     0,
     {Lom, Addin, AddinPort1},
     "eth5 (4:0.1) takes no part: function 0 is skipped"},
    // What stands in the working directory decides as much as the adapters.
    {"BackupNoteIsADirectory",
     json::object(),
     {},
     backup_note_is_a_directory,
     {4},
     true,
     4,
     {Addin, AddinPort1},
     "eth0: cannot write buimage.mac: it is a directory"},
    {"VpdUpdateIsALink",
     json::object(),
     {},
     vpd_update_is_a_link,
     {0, 0, 0, 0, 13, 13},
     false,
     0x10,
     {},
     nullptr},
};

class Function0Rules : public ::testing::TestWithParam<Case> {};

int reported_in(const json& plan) {
    int reported = 0;
    for (const json& f : plan["functions"]) reported += f["reported"].get<bool>() ? 1 : 0;
    return reported;
}

}  // namespace

TEST_P(Function0Rules, RunReportsWhatItDidAndThePlanSawIt) {
    const Case& c = GetParam();
    Scratch s(demo_bench_with(c.patch));
    copy_demo_files(s);
    c.lay(s);
    const json plan = plan_of(s, c.args);
    const RunResult r = s.run(c.args);

    EXPECT_EQ(r.exitStatus, c.exitStatus) << r.stderrText;
    EXPECT_EQ(statuses(r.resultXml), c.statuses) << r.resultXml;
    if (c.wholeRun) {
        EXPECT_EQ(r.resultXml, error_form(static_cast<unsigned>(c.statuses[0])));
    }
    const std::size_t reported = c.wholeRun ? 0 : c.statuses.size();
    EXPECT_EQ(lines_of(r.inventoryLog).size(), 3 * reported);
    for (const std::string& mac : c.idle) {
        EXPECT_THAT(commands_for(r.toolLog, mac), IsEmpty()) << mac;
    }
    if (c.said != nullptr) {
        EXPECT_THAT(r.stderrText, HasSubstr(c.said));
    }

    expect_run_follows_plan(planned_commands(plan), r);
    EXPECT_EQ(reported_in(plan), static_cast<int>(reported));
    if (c.wholeRun && c.statuses[0] != 12) {
        EXPECT_EQ(plan["end"]["code"], c.statuses[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(Function0, Function0Rules, ::testing::ValuesIn(Cases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Function0, APlannedLinkIsNeitherWrittenThroughNorListed) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    vpd_update_is_a_link(s);
    const json plan = plan_of(s);
    EXPECT_EQ(plan["functions"][4]["family"]["action"],
              "not written: VpdUpdate.txt is a link, which is never written through (result 13)");
    s.run();
    EXPECT_EQ(s.read_file("elsewhere.txt"), "not the tool's\n");
}

TEST(Function0, APlanThatEndsAtABackupSaysWhereAndReportsNoFunction) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    backup_note_is_a_directory(s);
    const ProcessResult text = s.run_plan();
    EXPECT_EQ(text.exitStatus, 2);
    EXPECT_THAT(text.stdoutText,
                HasSubstr("qik_plan: the run would end before updating any adapter: "));
    EXPECT_THAT(text.stdoutText, HasSubstr("eth0: cannot write buimage.mac: it is a directory"));
    EXPECT_THAT(text.stdoutText, HasSubstr("the run ends before it reaches this function"));
}
