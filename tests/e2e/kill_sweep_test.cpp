// Kill sweep over the demo server: at each tool command and each NVRAM
// write a clean run makes, the run is interfered with as a real server
// interferes with it, and must lose nothing and claim nothing.
//
// - Killed (SIGKILL) just before the step and just after it, then run again
//   as an update framework retries: every adapter holds its original
//   firmware, its fully programmed firmware, or a kept backup of its
//   original; none is reported updated unless it is; every port disabled
//   before is disabled again.
// - At each tool command, SIGINT, SIGTERM or SIGHUP sent to the utility's
//   whole process group (a stop key, a service manager stopping its unit):
//   every command started completes, the function in hand is finished, and
//   every function after it reports 17.
// - At each tool command, a second run started in the same directory: it
//   writes nothing and exits 4, and the first ends as if alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "demo_runs.h"
#include "harness.h"

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

const std::vector<std::string> Adapters = {"lom", "addin"};

// The adapter's function 0, which names it to the tool.
const std::map<std::string, std::string> Function0Mac = {{"lom", Lom}, {"addin", Addin}};

// What reaches the run at the chosen step.
enum class Interference { Kill, StopSignal, SecondRun };

struct KillCase {
    std::string name;
    json faults;
    bool library;
    Interference kind = Interference::Kill;
    // For a stop signal: the reported function the signalled command ran for.
    std::size_t inHand = 0;
    bool staleNote = false;  // the note of enabled ports holds lines no run may act on
};

// Lines of the old form, of another boot and of no port here, the last one
// without its line feed: the killed run appends its own after them, and the
// retry drops them without turning off a port that is up.
const std::string StaleNote =
    "eth0\n" + enabled_note_line(Lom, "eth0", "0f0e0d0c-0b0a-4908-8706-050403020100") +
    enabled_note_line("001c5a100009", "eth1") + "eth9";

// The demo's reported functions in document order (the LOM's four, then the
// add-in's two), by the MAC their tool commands name.
const std::map<std::string, std::size_t> ReportedIndex = {{Lom, 0}, {Addin, 4}, {AddinPort1, 5}};
constexpr std::size_t ReportedFunctions = 6;

std::string mac_of(const std::string& command) {
    return command.substr(0, command.find(' '));
}

// A fault that matches exactly one tool command of the clean run, the n-th
// of the same words, and lets it do its work and succeed.
json at_command(const std::string& command, int occurrence) {
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string w; in >> w;)
        if (w != "-noreset" && w != "-F") words.push_back(w);
    json fault = {{"mac", words.at(0)},
                  {"form", words.at(1)},
                  {"occurrence", occurrence},
                  {"perform", true},
                  {"exit", 0}};
    if (words.size() == 3) fault["file"] = words[2];
    if (words.size() == 4) {
        fault["option"] = words[2];
        fault["file"] = words[3];
    }
    return fault;
}

json kill_at_command(const std::string& command, int occurrence, bool performed) {
    json fault = at_command(command, occurrence);
    fault["signalUtility"] = SIGKILL;
    fault["perform"] = performed;
    return fault;
}

constexpr std::pair<int, const char*> StopSignals[] = {
    {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// The stop signals and the second run at one command.
void add_interference_cases(std::vector<KillCase>& cases, const std::string& command,
                            int occurrence) {
    const std::size_t inHand = ReportedIndex.at(mac_of(command));
    for (const auto& [signal, name] : StopSignals) {
        json fault = at_command(command, occurrence);
        fault["signalGroup"] = signal;
        cases.push_back({command + " : " + name + " to the process group", json::array({fault}),
                         false, Interference::StopSignal, inHand});
    }
    json fault = at_command(command, occurrence);
    fault["secondRun"] = true;
    cases.push_back(
        {command + " : a second run", json::array({fault}), false, Interference::SecondRun});
}

std::set<std::string> files_in(const Scratch& s) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(s.dir()))
        names.insert(entry.path().filename().string());
    return names;
}

struct KillSweep {
    json bench = demo_bench();
    std::map<std::string, AdapterState> original;
    std::map<std::string, AdapterState> programmed;
    std::map<std::string, std::string> originalBackup;  // what a dump of the original holds
    RunResult clean;
    std::set<std::string> cleanFiles;  // what the working directory holds after it
    std::vector<KillCase> cases;

    KillSweep() {
        Scratch s(bench);
        copy_demo_files(s);
        for (const std::string& adapter : Adapters) {
            original[adapter] = state_of(s, adapter);
            const std::string file = "original_" + adapter;
            if (s.run_tool({Function0Mac.at(adapter), "dumpnvram", file}).exitStatus != 0)
                throw std::runtime_error("cannot dump " + adapter);
            originalBackup[adapter] = s.read_file(file);
        }
        for (const std::string& adapter : Adapters) s.remove_file("original_" + adapter);
        clean = s.run();
        if (clean.exitStatus != 0) throw std::runtime_error("the clean demo run failed");
        for (const std::string& adapter : Adapters) programmed[adapter] = state_of(s, adapter);
        cleanFiles = files_in(s);

        std::map<std::string, int> seen;
        std::vector<KillCase> stopAndSecondRun;
        for (const std::string& command : commands(clean.toolLog)) {
            const int occurrence = ++seen[command];
            for (const bool performed : {false, true})
                cases.push_back({command + (performed ? " : killed after" : " : killed before"),
                                 json::array({kill_at_command(command, occurrence, performed)}),
                                 false});
            add_interference_cases(stopAndSecondRun, command, occurrence);
        }
        int writes = 0;
        for (const std::string& line : lines_of(clean.libraryTrace)) {
            if (!line.starts_with("AdpmWriteFirmware(")) continue;
            ++writes;
            for (const bool performed : {false, true})
                cases.push_back({line.substr(0, line.find(")=") + 1) +
                                     (performed ? " : killed after" : " : killed before"),
                                 json::array({{{"call", "AdpmWriteFirmware"},
                                               {"occurrence", writes},
                                               {"signal", SIGKILL},
                                               {"perform", performed},
                                               {"result", 0}}}),
                                 true});
        }
        const std::size_t killPoints = cases.size();
        for (std::size_t i = 0; i < killPoints; ++i) {
            KillCase stale = cases[i];
            stale.name += ", stale note";
            stale.staleNote = true;
            cases.push_back(std::move(stale));
        }
        cases.insert(cases.end(), stopAndSecondRun.begin(), stopAndSecondRun.end());
    }
};

const KillSweep& sweep() {
    static const KillSweep s;
    return s;
}

// The adapter (by bus) and result code of each Device element.
std::vector<std::pair<std::string, int>> reported(const std::string& xml) {
    static const std::regex device(R"re(<Device [^>]*bus="(\d+)"[\s\S]*?<Message id="(\d+)">)re");
    std::vector<std::pair<std::string, int>> out;
    for (auto m = std::sregex_iterator(xml.begin(), xml.end(), device); m != std::sregex_iterator();
         ++m)
        out.emplace_back((*m)[1] == "1" ? "lom" : "addin", std::stoi((*m)[2]));
    return out;
}

// A backup the utility kept for the adapter: buimage_<MAC>, or with a suffix.
std::string kept_backup(const Scratch& s, const std::string& adapter) {
    const std::string name = "buimage_" + Function0Mac.at(adapter);
    for (const std::string& candidate : {name, name + "_1"})
        if (s.exists(candidate)) return s.read_file(candidate);
    return {};
}

void expect_ports_and_backups_as_before(const Scratch& s, const RunResult& r) {
    EXPECT_THAT(enabled_ports(r.bench),
                ElementsAre("eth0", "eth1", "eth2", "eth3", "eth4", "fcoe0", "eth6"));
    EXPECT_FALSE(s.exists("buimage"));
    EXPECT_FALSE(s.exists("qik_enabled.txt"));
}

// Every command the tool was given ran to its end and succeeded.
void expect_every_command_completed(const RunResult& r) {
    for (const std::string& line : lines_of(r.toolLog))
        EXPECT_THAT(line, HasSubstr(" => exit 0")) << "a command did not complete";
}

void run_killed_and_retried(const KillCase& c, Scratch& s) {
    const KillSweep& w = sweep();
    const RunResult killed = s.run();
    ASSERT_EQ(killed.exitStatus, 128 + SIGKILL) << "the fault did not kill the utility";
    const RunResult retry = s.run();
    ASSERT_LT(retry.exitStatus, 128) << retry.stderrText;

    std::map<std::string, bool> updated;
    for (const std::string& adapter : Adapters) {
        const AdapterState now = state_of(s, adapter);
        updated[adapter] = now == w.programmed.at(adapter);
        const bool kept = kept_backup(s, adapter) == w.originalBackup.at(adapter);
        EXPECT_TRUE(updated[adapter] || now == w.original.at(adapter) || kept)
            << adapter << " is half updated and no backup of it is kept";
    }
    for (const auto& [adapter, status] : reported(retry.resultXml))
        if (status == 0) {
            EXPECT_TRUE(updated[adapter]) << adapter << " reported updated, and it is not";
        }
    if (c.staleNote) {
        EXPECT_THAT(retry.stderrText, HasSubstr("not acted on, dropped: \"eth9\""));
    }
    expect_ports_and_backups_as_before(s, retry);
}

// The function in hand and every one before it are finished; none after it
// is started.
void run_stopped(const KillCase& c, Scratch& s) {
    const KillSweep& w = sweep();
    const RunResult r = s.run();
    ASSERT_LT(r.exitStatus, 128) << r.stderrText;
    EXPECT_THAT(r.toolLog, HasSubstr("to the utility's process group"));
    expect_every_command_completed(r);
    Commands expected;
    for (const std::string& command : commands(w.clean.toolLog))
        if (ReportedIndex.at(mac_of(command)) <= c.inHand) expected.push_back(command);
    EXPECT_THAT(commands(r.toolLog), ElementsAreArray(expected));
    std::vector<int> expectedStatuses;
    for (std::size_t i = 0; i < ReportedFunctions; ++i)
        expectedStatuses.push_back(i <= c.inHand ? 0 : 17);
    EXPECT_EQ(statuses(r.resultXml), expectedStatuses);
    EXPECT_EQ(r.exitStatus, c.inHand + 1 < ReportedFunctions ? 0x10 : 0);
    EXPECT_TRUE(state_of(s, "lom") == w.programmed.at("lom"));
    const bool addinReached = c.inHand >= ReportedIndex.at(Addin);
    EXPECT_TRUE(state_of(s, "addin") == (addinReached ? w.programmed : w.original).at("addin"));
    expect_ports_and_backups_as_before(s, r);
}

// The second run finds the directory taken: it writes nothing, and the first
// leaves exactly what it leaves alone.
void run_beside_a_second(Scratch& s) {
    const KillSweep& w = sweep();
    const RunResult r = s.run();
    EXPECT_THAT(r.toolLog, HasSubstr("a second run ended exit 4: qik_programmer: another run is "
                                     "in progress in this directory"));
    EXPECT_EQ(r.exitStatus, 0);
    expect_every_command_completed(r);
    EXPECT_THAT(commands(r.toolLog), ElementsAreArray(commands(w.clean.toolLog)));
    EXPECT_EQ(r.libraryTrace, w.clean.libraryTrace);
    EXPECT_EQ(r.resultXml, w.clean.resultXml);
    EXPECT_EQ(r.inventoryLog, w.clean.inventoryLog);
    EXPECT_EQ(files_in(s), w.cleanFiles);
    for (const std::string& adapter : Adapters)
        EXPECT_TRUE(state_of(s, adapter) == w.programmed.at(adapter)) << adapter;
    expect_ports_and_backups_as_before(s, r);
}

void run_case(const KillCase& c) {
    SCOPED_TRACE(c.name);
    Scratch s(with_faults(sweep().bench, c.library, c.faults));
    copy_demo_files(s);
    if (c.staleNote) s.write_file("qik_enabled.txt", StaleNote);
    switch (c.kind) {
        case Interference::Kill:
            return run_killed_and_retried(c, s);
        case Interference::StopSignal:
            return run_stopped(c, s);
        case Interference::SecondRun:
            return run_beside_a_second(s);
    }
}

// One or two runs a case, in chunks that ctest spreads over the cores; under the
// sanitizers every third case.
constexpr int Chunks = 4;
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t Stride = 3;
#else
constexpr std::size_t Stride = 1;
#endif

TEST(KillSweep, CountsTheCases) {
    const std::size_t count = sweep().cases.size();
    std::printf(
        "kill sweep: %zu cases (each tool command and NVRAM write, killed before and "
        "after it, with and without a stale note; each tool command with SIGINT, SIGTERM and SIGHUP to the process group, and "
        "with a second run beside it); %zu run here\n",
        count, (count + Stride - 1) / Stride);
    EXPECT_GT(count, 0u);
}

class KillSweepChunk : public ::testing::TestWithParam<int> {};

TEST_P(KillSweepChunk, LosesNothingAndClaimsNothing) {
    const std::vector<KillCase>& cases = sweep().cases;
    for (std::size_t i = static_cast<std::size_t>(GetParam()) * Stride; i < cases.size();
         i += Chunks * Stride)
        run_case(cases[i]);
}

INSTANTIATE_TEST_SUITE_P(KillSweep, KillSweepChunk, ::testing::Range(0, Chunks));

}  // namespace
