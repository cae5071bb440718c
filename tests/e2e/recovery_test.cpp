// When a run goes wrong: a restore that fails, a run that is killed or asked
// to stop, an adapter whose function 0 is out of the run, output that cannot
// be written, links planted where the utility writes. Nothing that may be
// needed to put an adapter back is lost, and no failure reads as success.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "demo_runs.h"
#include "harness.h"

using nlohmann::json;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace fs = std::filesystem;

namespace {

constexpr const char* KeptLom = "buimage_001c5a100000";
const std::string RestoreLomCommand =
    "\"./nicflsh 001c5a100000 restorenvram buimage_001c5a100000\"";

void lay_out(Scratch& s) {
    copy_demo_files(s);
}

bool enabled(const RunResult& r, const std::string& service) {
    for (const json& f : r.bench["functions"])
        if (f["serviceName"] == service) return f.value("enabled", true);
    return false;
}

// No backup of this run is left behind, nor its note.
void expect_no_backup(const Scratch& s) {
    EXPECT_FALSE(s.exists("buimage"));
    EXPECT_FALSE(s.exists("buimage.mac"));
}

}  // namespace

// ---- a restore that fails ----------------------------------------------------

TEST(KeptBackup, AFailedRestoreKeepsTheBackupUntilAPersonDealsWithIt) {
    const json bench =
        demo_bench_with(tool_faults({{{"option", "-mgmt"},
                                      {"adapter", "lom"},
                                      {"occurrence", 1},
                                      {"exit", 9},
                                      {"scribble", true}},
                                     {{"form", "restorenvram"}, {"occurrence", 1}, {"exit", 1}}}));
    Scratch s(bench);
    lay_out(s);
    const AdapterState original = state_of(s, "lom");

    const RunResult failed = s.run();
    EXPECT_EQ(statuses(failed.resultXml), lom_and_addin(14, 0));
    EXPECT_EQ(failed.exitStatus, 0x10);
    ASSERT_TRUE(s.exists(KeptLom));
    expect_no_backup(s);
    EXPECT_THAT(failed.stderrText, HasSubstr("its backup is kept in buimage_001c5a100000"));
    EXPECT_THAT(failed.stderrText, HasSubstr(RestoreLomCommand));
    EXPECT_NE(state_of(s, "lom"), original);

    // The next run leaves the adapter alone: no command, no VPD write.
    const std::vector<uint8_t> spoilt = s.nvram("lom");
    const RunResult retry = s.run();
    EXPECT_EQ(statuses(retry.resultXml), lom_and_addin(14, 0));
    EXPECT_THAT(commands_for(retry.toolLog, Lom), IsEmpty());
    EXPECT_THAT(retry.libraryTrace, Not(HasSubstr("AdpmWriteFirmware")));
    EXPECT_TRUE(s.nvram("lom") == spoilt);
    EXPECT_THAT(retry.stderrText,
                HasSubstr("001c5a100000 (eth0) is left alone: " + std::string(KeptLom)));

    // The person puts the backup back as told, checks, and deletes it.
    EXPECT_EQ(s.run_tool({Lom, "restorenvram", KeptLom}).exitStatus, 0);
    EXPECT_EQ(state_of(s, "lom"), original);
    s.remove_file(KeptLom);
    const RunResult after = s.run();
    EXPECT_EQ(statuses(after.resultXml), lom_and_addin(0, 0));
    EXPECT_THAT(commands_for(after.toolLog, Lom), ElementsAreArray(LomUpdate));
}

namespace {

// What an earlier run left in the working directory, and what the next run
// must make of it.
struct Leftover {
    const char* name;
    std::map<std::string, std::string> files;  // name -> contents
    std::map<std::string, std::string> after;  // kept files -> contents
    bool lomLeftAlone;
    friend void PrintTo(const Leftover& c, std::ostream* out) { *out << c.name; }
};

const Leftover Leftovers[] = {
    {"BackupAndItsNote",
     {{"buimage", "lom"}, {"buimage.mac", "001c5a100000\n"}},
     {{KeptLom, "lom"}},
     true},
    {"BackupWithoutNote", {{"buimage", "?"}}, {{"buimage_unknown", "?"}}, false},
    {"NoteNamesNoMac",
     {{"buimage", "?"}, {"buimage.mac", "eth0\n"}},
     {{"buimage_unknown", "?"}},
     false},
    {"NoteAlone", {{"buimage.mac", "001c5a100000\n"}}, {}, false},
    // MACs in upper case name the same adapter.
    {"NoteInUpperCase",
     {{"buimage", "lom"}, {"buimage.mac", "001C5A100000\n"}},
     {{KeptLom, "lom"}},
     true},
    {"KeptInUpperCase", {{"buimage_001C5A100000", "lom"}}, {{"buimage_001C5A100000", "lom"}}, true},
    {"NameTaken",
     {{"buimage", "new"}, {"buimage.mac", "001c5a100000\n"}, {KeptLom, "old"}},
     {{KeptLom, "old"}, {std::string(KeptLom) + "_1", "new"}},
     true},
    {"UnknownNameTaken",
     {{"buimage", "new"}, {"buimage_unknown", "old"}, {"buimage_unknown_1", "older"}},
     {{"buimage_unknown", "old"}, {"buimage_unknown_1", "older"}, {"buimage_unknown_2", "new"}},
     false},
};

class LeftoverBackup : public ::testing::TestWithParam<Leftover> {};

}  // namespace

TEST_P(LeftoverBackup, IsKeptUnderTheAdapterItsNoteNames) {
    const Leftover& c = GetParam();
    Scratch s(demo_bench());
    lay_out(s);
    for (const auto& [name, contents] : c.files) s.write_file(name, contents);

    const RunResult r = s.run();
    expect_no_backup(s);
    for (const auto& [name, contents] : c.after) EXPECT_EQ(s.read_file(name), contents) << name;
    std::size_t kept = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(s.dir()))
        kept += e.path().filename().string().starts_with("buimage_") ? 1u : 0u;
    EXPECT_EQ(kept, c.after.size());
    EXPECT_EQ(statuses(r.resultXml), lom_and_addin(c.lomLeftAlone ? 14 : 0, 0));
    EXPECT_EQ(commands_for(r.toolLog, Lom).empty(), c.lomLeftAlone);
    if (!c.after.empty() && c.files.contains("buimage")) {
        EXPECT_THAT(r.stderrText, HasSubstr("an earlier run ended before"));
    }
}

INSTANTIATE_TEST_SUITE_P(Recovery, LeftoverBackup, ::testing::ValuesIn(Leftovers),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(KeptBackup, APlantedLinkIsKeptAsALinkAndItsTargetNeverChanged) {
    Scratch s(demo_bench());
    lay_out(s);
    s.write_file("target", "not a backup");
    fs::permissions(s.dir() / "target", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("target", s.dir() / "buimage");
    const RunResult r = s.run();
    EXPECT_EQ(statuses(r.resultXml), lom_and_addin(0, 0));
    EXPECT_TRUE(fs::is_symlink(s.dir() / "buimage_unknown"));
    EXPECT_EQ(s.read_file("target"), "not a backup");
    EXPECT_EQ(fs::status(s.dir() / "target").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

// ---- a run that is killed ------------------------------------------------------

namespace {

// The utility killed while the tool runs the command a fault matches: the
// backup and its note as they are at that moment.
struct KillPoint {
    const char* name;
    json fault;
    bool backup;
    bool note;
    friend void PrintTo(const KillPoint& c, std::ostream* out) { *out << c.name; }
};

const KillPoint KillPoints[] = {
    {"BeforeTheDump", {{"form", "dumpnvram"}, {"mac", Lom}}, false, true},
    {"AfterTheDump", {{"form", "dumpnvram"}, {"mac", Lom}, {"perform", true}}, true, true},
    {"AfterTheLastWrite", {{"option", "-m_pn"}, {"mac", Lom}, {"perform", true}}, true, true},
    // Programmed: the backup is gone before the next step.
    {"AtThePhy", {{"option", "phy"}, {"mac", Addin}, {"perform", true}}, false, false},
};

class KilledRun : public ::testing::TestWithParam<KillPoint> {};

}  // namespace

TEST_P(KilledRun, LeavesTheBackupWithTheAdapterItBelongsTo) {
    const KillPoint& c = GetParam();
    json fault = c.fault;
    fault["signalUtility"] = SIGKILL;
    fault["exit"] = 0;
    Scratch s(demo_bench_with(tool_faults({fault})));
    lay_out(s);
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 128 + SIGKILL);
    EXPECT_EQ(s.exists("buimage"), c.backup);
    EXPECT_EQ(s.read_file("buimage.mac"), c.note ? "001c5a100000\n" : "");
    EXPECT_EQ(s.read_file("qik_enabled.txt"), enabled_note_line(AddinPort1, "eth5"));
}

INSTANTIATE_TEST_SUITE_P(Recovery, KilledRun, ::testing::ValuesIn(KillPoints),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(KilledRun, AFailedDumpLeavesNeitherBackupNorNote) {
    Scratch s(demo_bench_with(
        tool_faults({{{"form", "dumpnvram"}, {"mac", Lom}, {"perform", true}, {"exit", 7}}})));
    lay_out(s);
    const RunResult r = s.run();
    EXPECT_EQ(statuses(r.resultXml), lom_and_addin(9, 0));
    expect_no_backup(s);
}

// ---- a run asked to stop ---------------------------------------------------------

namespace {

struct StopCase {
    const char* name;
    json faults;  // one of them signals the utility
    std::vector<int> statuses;
    Commands lomCommands;
    Commands addinCommands;
    int exitStatus;
    friend void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }
};

json stop_at(json fault, int signal) {
    fault["signalUtility"] = signal;
    fault["perform"] = true;
    fault["exit"] = 0;
    return fault;
}

const StopCase StopCases[] = {
    // The adapter in hand is finished; none after it is started.
    {"TermWhileWritingTheLom",
     {stop_at({{"option", "-bta"}, {"mac", Lom}}, SIGTERM)},
     {0, 17, 17, 17, 17, 17},
     LomUpdate,
     {},
     0x10},
    {"InterruptWhileWritingTheLom",
     {stop_at({{"option", "-bta"}, {"mac", Lom}}, SIGINT)},
     {0, 17, 17, 17, 17, 17},
     LomUpdate,
     {},
     0x10},
    {"HangupAtTheProbe",
     {stop_at({{"form", "dir"}, {"mac", Lom}}, SIGHUP)},
     {0, 17, 17, 17, 17, 17},
     LomUpdate,
     {},
     0x10},
    // A restore in hand is finished too; the LOM's other functions share
    // its failure, which leaves them nothing to do.
    {"TermWhileRestoring",
     {{{"option", "-mgmt"}, {"mac", Lom}, {"exit", 9}, {"scribble", true}},
      stop_at({{"form", "restorenvram"}}, SIGTERM)},
     lom_and_addin(9, 17),
     first(LomUpdate, 5, Restore),
     {},
     0x10},
    {"TermAtTheLastCommand",
     {stop_at({{"option", "phy"}, {"mac", AddinPort1}}, SIGTERM)},
     lom_and_addin(0, 0),
     LomUpdate,
     AddinUpdate,
     0},
};

class StoppedRun : public ::testing::TestWithParam<StopCase> {};

}  // namespace

TEST_P(StoppedRun, FinishesTheAdapterInHandAndReportsTheRest) {
    const StopCase& c = GetParam();
    Scratch s(demo_bench_with(tool_faults(c.faults)));
    lay_out(s);
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, c.exitStatus);
    EXPECT_EQ(statuses(r.resultXml), c.statuses) << r.resultXml;
    EXPECT_THAT(commands_for(r.toolLog, Lom), ElementsAreArray(c.lomCommands));
    EXPECT_THAT(commands_for(r.toolLog, Addin), ElementsAreArray(c.addinCommands));
    EXPECT_FALSE(enabled(r, "eth5"));
    EXPECT_FALSE(s.exists("qik_enabled.txt"));
    expect_no_backup(s);
    if (c.exitStatus != 0) {
        EXPECT_THAT(r.resultXml, HasSubstr("run this QIK program AGAIN"));
    }
}

INSTANTIATE_TEST_SUITE_P(Recovery, StoppedRun, ::testing::ValuesIn(StopCases),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- function 0 decides for its adapter ----------------------------------------

namespace {

struct Function0Case {
    const char* name;
    json patch;
    std::vector<std::string> args;
    std::vector<int> statuses;  // in document order
    Commands port1Commands;     // what the add-in's second port got
    const char* said;           // on standard error, or none
    friend void PrintTo(const Function0Case& c, std::ostream* out) { *out << c.name; }
};

json functions_with(std::size_t index, json member) {
    json functions = demo_bench()["functions"];
    functions[index].merge_patch(member);
    return {{"functions", functions}};
}

json without_function(std::size_t index) {
    json functions = demo_bench()["functions"];
    functions.erase(index);
    return {{"functions", functions}};
}

constexpr std::size_t Eth4 = 4;

const Function0Case Function0Cases[] = {
    {"LomFunction0Skipped",
     json::object(),
     {"-skip", "eth0"},
     {0, 0},
     AddinPort1Update,
     "eth1 (1:0.1) takes no part: function 0 is skipped"},
    {"AddinFunction0Skipped",
     json::object(),
     {"-skip", "eth4"},
     {0, 0, 0, 0},
     {},
     "eth5 (4:0.1) takes no part: function 0 is skipped"},
    {"AddinFunction0OfAnotherType",
     functions_with(Eth4, {{"type", 4}}),
     {},
     {0, 0, 0, 0},
     {},
     "eth5 (4:0.1) takes no part: function 0 is of another adapter type"},
    {"AddinFunction0NotEnabled",
     json::object(
         {{"functions", functions_with(Eth4, {{"enabled", false}})["functions"]},
          {"library", {{"faults", {{{"call", "AdpmEnableDevice"}, {"serviceName", "eth4"}}}}}}}),
     {},
     {0, 0, 0, 0},
     {},
     "eth5 (4:0.1) takes no part: function 0 could not be enabled"},
    {"AddinFunction0MatchesNoRow",
     functions_with(Eth4, {{"chipRevisionId", "0x500"}}),
     {},
     {0, 0, 0, 0},
     {},
     "eth5 (4:0.1) takes no part: function 0 matches no table row"},
    {"AddinFunction0NotReported",
     without_function(Eth4),
     {},
     {0, 0, 0, 0},
     {},
     "eth5 (4:0.1) takes no part: its adapter's function 0 is not reported"},
    // Function 0 failed: the second port runs none of its own steps.
    {"AddinWriteFailed",
     tool_faults({{{"option", "-mgmt"}, {"mac", Addin}, {"exit", 9}, {"scribble", true}}}),
     {},
     lom_and_addin(0, 9),
     {},
     nullptr},
    {"AddinRestoreFailed",
     tool_faults({{{"option", "-mgmt"}, {"mac", Addin}, {"exit", 9}, {"scribble", true}},
                  {{"form", "restorenvram"}, {"exit", 1}}}),
     {},
     lom_and_addin(0, 14),
     {},
     nullptr},
    {"AddinProbeRefused",
     tool_faults({{{"form", "dir"}, {"mac", Addin}, {"exit", 40}}}),
     {},
     lom_and_addin(0, 18),
     {},
     nullptr},
    {"AddinFunction0Unreadable",
     {{"library",
       {{"faults", {{{"call", "AdpmGetFirmwareInfo"}, {"serviceName", "eth4"}, {"result", 9}}}}}}},
     {},
     lom_and_addin(0, 10),
     {},
     nullptr},
};

class Function0Decides : public ::testing::TestWithParam<Function0Case> {};

}  // namespace

TEST_P(Function0Decides, NoOtherFunctionReportsWorkItDidNotGet) {
    const Function0Case& c = GetParam();
    Scratch s(demo_bench_with(c.patch));
    lay_out(s);
    const RunResult r = s.run(c.args);
    EXPECT_EQ(statuses(r.resultXml), c.statuses) << r.resultXml;
    EXPECT_THAT(commands_for(r.toolLog, AddinPort1), ElementsAreArray(c.port1Commands));
    EXPECT_EQ(lines_of(r.inventoryLog).size(), 3 * c.statuses.size());
    if (c.said != nullptr) {
        EXPECT_THAT(r.stderrText, HasSubstr(c.said));
    }
    EXPECT_FALSE(enabled(r, "eth5"));
}

INSTANTIATE_TEST_SUITE_P(Recovery, Function0Decides, ::testing::ValuesIn(Function0Cases),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- output that cannot be written, links where output belongs ---------------------

namespace {

// The utility with its standard output a pipe nobody reads.
int run_into_closed_pipe(const Scratch& s, const std::vector<std::string>& args) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return -1;
    close(pipeEnds[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(s.dir().c_str()) != 0) _exit(126);
        dup2(pipeEnds[1], STDOUT_FILENO);
        std::vector<std::string> words{"./qik_programmer"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(Output, AResultThatCannotBeWrittenIsAFailedRun) {
    Scratch s(demo_bench());
    lay_out(s);
    const RunResult full = s.run({"-filename", "/dev/full"});
    EXPECT_EQ(full.exitStatus, 4);
    EXPECT_THAT(full.stderrText, HasSubstr("cannot write the result document to /dev/full"));

    s.set_bench(demo_bench());
    EXPECT_EQ(run_into_closed_pipe(s, {"-print"}), 4);
    // The update itself went through; only its report was lost.
    EXPECT_EQ(s.bench()["adapters"]["lom"]["firmware"]["bootcode"], "7.10");
}

namespace {

// A link planted where the utility writes one of its files.
struct PlantedLink {
    const char* name;
    const char* file;
    std::vector<std::string> args;
    std::string resultXml;  // "" when no result file is written
    int exitStatus;
    std::vector<int> statuses;
    bool linkStays;  // else removed as a stale file of the utility's
    friend void PrintTo(const PlantedLink& c, std::ostream* out) { *out << c.name; }
};

const PlantedLink PlantedLinks[] = {
    {"ResultFile", "out.xml", {"-filename", "out.xml"}, "", 4, {}, true},
    {"InventoryLog", "vxllcllog.txt", {}, error_form(4), 4, {}, true},
    {"VpdUpdateFile", "VpdUpdate.txt", {}, "report", 0x10, lom_and_addin(0, 13), true},
    {"BackupNote", "buimage.mac", {}, "report", 0, lom_and_addin(0, 0), false},
    // Not noted, not enabled: the port stays off and out of the run.
    {"EnabledNote", "qik_enabled.txt", {}, "report", 0, {0, 0, 0, 0, 0}, false},
};

class PlantedLinkTest : public ::testing::TestWithParam<PlantedLink> {};

}  // namespace

TEST_P(PlantedLinkTest, IsNeverWrittenThrough) {
    const PlantedLink& c = GetParam();
    Scratch s(demo_bench());
    lay_out(s);
    s.write_file("target", "untouched");
    fs::create_symlink("target", s.dir() / c.file);
    s.keep_outputs(true);
    const RunResult r = s.run(c.args);
    EXPECT_EQ(r.exitStatus, c.exitStatus);
    EXPECT_EQ(s.read_file("target"), "untouched");
    EXPECT_EQ(fs::is_symlink(s.dir() / c.file), c.linkStays);
    if (c.resultXml == "report") {
        EXPECT_EQ(statuses(r.resultXml), c.statuses) << r.resultXml;
    } else {
        EXPECT_EQ(r.resultXml, c.resultXml);
    }
    EXPECT_FALSE(enabled(r, "eth5"));
}

INSTANTIATE_TEST_SUITE_P(Recovery, PlantedLinkTest, ::testing::ValuesIn(PlantedLinks),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Output, ABackupThatCannotBeNotedAbandonsTheRun) {
    Scratch s(demo_bench());
    lay_out(s);
    fs::create_directory(s.dir() / "buimage.mac");
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_EQ(r.resultXml, error_form(4));
    EXPECT_THAT(r.stderrText, HasSubstr("cannot write buimage.mac"));
    EXPECT_THAT(r.toolLog, Not(HasSubstr("dumpnvram")));
    EXPECT_FALSE(enabled(r, "eth5"));
}
