// Kill sweep over the demo server: the utility is killed (SIGKILL) at each
// tool command and each NVRAM write a clean run makes, just before the step
// and just after it, and then run again as an update framework retries.
// After the retry every adapter holds its original firmware, its fully
// programmed firmware, or a kept backup of its original; none is reported
// updated unless it is; every port disabled before is disabled again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "demo_runs.h"
#include "harness.h"

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const std::vector<std::string> Adapters = {"lom", "addin"};

// The adapter's function 0, which names it to the tool.
const std::map<std::string, std::string> Function0Mac = {{"lom", Lom}, {"addin", Addin}};

struct KillCase {
    std::string name;
    json faults;
    bool library;
    bool staleNote;  // the note of enabled ports holds lines no run may act on
};

// Lines of the old form, of another boot and of no port here, the last one
// without its line feed: the killed run appends its own after them, and the
// retry drops them without turning off a port that is up.
const std::string StaleNote =
    "eth0\n" + enabled_note_line(Lom, "eth0", "0f0e0d0c-0b0a-4908-8706-050403020100") +
    enabled_note_line("001c5a100009", "eth1") + "eth9";

// A fault that matches exactly one step of the clean run: the n-th command
// of the same words, or the n-th write.
json kill_at_command(const std::string& command, int occurrence, bool performed) {
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string w; in >> w;)
        if (w != "-noreset" && w != "-F") words.push_back(w);
    json fault = {{"mac", words.at(0)},       {"form", words.at(1)},  {"occurrence", occurrence},
                  {"signalUtility", SIGKILL}, {"perform", performed}, {"exit", 0}};
    if (words.size() == 3) fault["file"] = words[2];
    if (words.size() == 4) {
        fault["option"] = words[2];
        fault["file"] = words[3];
    }
    return fault;
}

struct KillSweep {
    json bench = demo_bench();
    std::map<std::string, AdapterState> original;
    std::map<std::string, AdapterState> programmed;
    std::map<std::string, std::string> originalBackup;  // what a dump of the original holds
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
        const RunResult clean = s.run();
        if (clean.exitStatus != 0) throw std::runtime_error("the clean demo run failed");
        for (const std::string& adapter : Adapters) programmed[adapter] = state_of(s, adapter);

        std::map<std::string, int> seen;
        for (const std::string& command : commands(clean.toolLog)) {
            const int occurrence = ++seen[command];
            for (const bool performed : {false, true})
                cases.push_back({command + (performed ? " : killed after" : " : killed before"),
                                 json::array({kill_at_command(command, occurrence, performed)}),
                                 false, false});
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
                                 true, false});
        }
        const std::size_t killPoints = cases.size();
        for (std::size_t i = 0; i < killPoints; ++i) {
            KillCase stale = cases[i];
            stale.name += ", stale note";
            stale.staleNote = true;
            cases.push_back(std::move(stale));
        }
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

void run_case(const KillCase& c) {
    SCOPED_TRACE(c.name);
    const KillSweep& w = sweep();
    json bench = w.bench;
    bench[c.library ? "library" : "tool"]["faults"] = c.faults;
    Scratch s(bench);
    copy_demo_files(s);
    if (c.staleNote) s.write_file("qik_enabled.txt", StaleNote);
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
    EXPECT_THAT(enabled_ports(retry.bench),
                ElementsAre("eth0", "eth1", "eth2", "eth3", "eth4", "fcoe0", "eth6"));
    if (c.staleNote) {
        EXPECT_THAT(retry.stderrText, HasSubstr("not acted on, dropped: \"eth9\""));
    }
    EXPECT_FALSE(s.exists("buimage"));
    EXPECT_FALSE(s.exists("qik_enabled.txt"));
}

// Two runs a case, in chunks that ctest spreads over the cores; under the
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
        "after it, with and without a stale note); %zu run here\n",
        count, (count + Stride - 1) / Stride);
    EXPECT_GT(count, 0u);
}

class KillSweepChunk : public ::testing::TestWithParam<int> {};

TEST_P(KillSweepChunk, ARetryLosesNothingAndClaimsNothing) {
    const std::vector<KillCase>& cases = sweep().cases;
    for (std::size_t i = static_cast<std::size_t>(GetParam()) * Stride; i < cases.size();
         i += Chunks * Stride)
        run_case(cases[i]);
}

INSTANTIATE_TEST_SUITE_P(KillSweep, KillSweepChunk, ::testing::Range(0, Chunks));

}  // namespace
