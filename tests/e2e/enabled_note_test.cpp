// The note of enabled ports (qik_enabled.txt) on the demo server: a run
// disables the ports it asked to enable, and those a line of this boot names
// by MAC and service name, and nothing else; lines it cannot act on are
// dropped and said, a failed disable keeps its line, a note it cannot read
// is set aside.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "demo_runs.h"
#include "harness.h"

using nlohmann::json;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

constexpr const char* OtherBoot = "0f0e0d0c-0b0a-4908-8706-050403020100";
constexpr const char* Eth1 = "001c5a100001";
constexpr const char* Eth5 = "001c5a400001";  // the port the demo has disabled
// Beyond what the utility reads of a note.
const std::string OversizedNote = std::string(std::size_t{1} << 21, 'x') + "\n";

// Every demo port but eth5 is up before a run.
const std::vector<std::string> UpBefore = {"eth0", "eth1", "eth2", "eth3", "eth4", "fcoe0", "eth6"};
const std::vector<std::string> Eth1Down = {"eth0", "eth2", "eth3", "eth4", "fcoe0", "eth6"};

struct NoteCase {
    const char* name;
    std::string note;  // before the run; "" for none
    json libraryFaults;
    json toolFaults;
    std::vector<std::string> enabledAfter;
    std::string noteAfter;  // "" for none
    std::vector<std::string> said;
    bool setAside;  // the note is kept as qik_enabled.txt.unread
    friend void PrintTo(const NoteCase& c, std::ostream* out) { *out << c.name; }
};

std::string without_line_feed(std::string line) {
    line.pop_back();
    return line;
}

json enable_fault(int occurrence, bool perform) {
    return {{"call", "AdpmEnableDevice"},
            {"serviceName", "eth5"},
            {"occurrence", occurrence},
            {"result", 1},
            {"perform", perform}};
}

const NoteCase NoteCases[] = {
    {"AClearRun", "", json::array(), json::array(), UpBefore, "", {}, false},
    // A name alone, as a copied directory may hold, turns nothing off.
    {"ALineOfTheOldForm",
     "eth0\n" + enabled_note_line(Eth1, "eth1"),
     json::array(),
     json::array(),
     Eth1Down,
     "",
     {"qik_enabled.txt: not acted on, dropped: \"eth0\" (not a MAC, a service name and a boot "
      "id)"},
     false},
    {"ALineOfAnotherBoot",
     enabled_note_line(Lom, "eth0", OtherBoot),
     json::array(),
     json::array(),
     UpBefore,
     "",
     {"(written in another boot)"},
     false},
    {"TheMacInUpperCase",
     enabled_note_line("001C5A100001", "eth1"),
     json::array(),
     json::array(),
     Eth1Down,
     "",
     {},
     false},
    // A name with another MAC, a MAC with another name.
    {"LinesOfNoPortHere",
     enabled_note_line("001c5a100009", "eth1") + enabled_note_line(Eth1, "eth9"),
     json::array(),
     json::array(),
     UpBefore,
     "",
     {"dropped: \"001c5a100009 eth1\" (no port of this server has that MAC and name)",
      "dropped: \"001c5a100001 eth9\" (no port of this server has that MAC and name)"},
     false},
    // The run's own line is not glued to the last one.
    {"NoFinalNewline",
     without_line_feed(enabled_note_line(Eth1, "eth1")),
     json::array(),
     json::array(),
     Eth1Down,
     "",
     {},
     false},
    {"TheDisableFails",
     "",
     json::array({enable_fault(2, false)}),
     json::array(),
     {"eth0", "eth1", "eth2", "eth3", "eth4", "eth5", "fcoe0", "eth6"},
     enabled_note_line(Eth5, "eth5"),
     {"cannot disable eth5 (001c5a400001); qik_enabled.txt keeps it for the next run"},
     false},
    {"TheEnableFailsButThePortCameUp",
     "",
     json::array({enable_fault(1, true)}),
     json::array(),
     UpBefore,
     "",
     {},
     false},
    {"AfterAFailedInventory",
     enabled_note_line(Eth1, "eth1"),
     json::array({{{"call", "AdpmGetPhyNic"}, {"occurrence", 9}}}),
     json::array(),
     Eth1Down,
     "",
     {},
     false},
    {"AfterAnAbandonedBackup",
     enabled_note_line(Eth1, "eth1"),
     json::array(),
     json::array({{{"form", "dumpnvram"}, {"mac", Lom}, {"exit", 10}}}),
     Eth1Down,
     "",
     {},
     false},
    // The ports it names are not known; the run's own is disabled all the same.
    {"AnUnreadableNote",
     OversizedNote,
     json::array(),
     json::array(),
     UpBefore,
     "",
     {"qik_enabled.txt cannot be read whole; it is set aside as qik_enabled.txt.unread"},
     true},
};

class EnabledNote : public ::testing::TestWithParam<NoteCase> {};

}  // namespace

TEST_P(EnabledNote, DisablesOnlyThePortsOfThisRunAndThisBoot) {
    const NoteCase& c = GetParam();
    Scratch s(demo_bench_with(
        {{"library", {{"faults", c.libraryFaults}}}, {"tool", {{"faults", c.toolFaults}}}}));
    copy_demo_files(s);
    if (!c.note.empty()) s.write_file("qik_enabled.txt", c.note);

    const RunResult r = s.run();
    EXPECT_LT(r.exitStatus, 128);
    EXPECT_THAT(enabled_ports(r.bench), ElementsAreArray(c.enabledAfter));
    EXPECT_EQ(s.read_file("qik_enabled.txt"), c.noteAfter);
    for (const std::string& said : c.said) EXPECT_THAT(r.stderrText, HasSubstr(said));
    if (c.said.empty()) {
        EXPECT_THAT(r.stderrText, ::testing::Not(HasSubstr("qik_enabled.txt")));
    }
    EXPECT_TRUE(s.read_file("qik_enabled.txt.unread") ==
                (c.setAside ? c.note + enabled_note_line(Eth5, "eth5") : ""));
}

INSTANTIATE_TEST_SUITE_P(EnabledNote, EnabledNote, ::testing::ValuesIn(NoteCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(EnabledNote, AFailedDisableIsTriedAgainByTheNextRun) {
    Scratch s(demo_bench_with({{"library", {{"faults", json::array({enable_fault(2, false)})}}}}));
    copy_demo_files(s);
    s.run();
    ASSERT_EQ(s.read_file("qik_enabled.txt"), enabled_note_line(Eth5, "eth5"));

    json bench = s.bench();
    bench["library"]["faults"] = json::array();
    s.set_bench(bench);
    const RunResult retry = s.run();
    EXPECT_THAT(enabled_ports(retry.bench), ElementsAreArray(UpBefore));
    EXPECT_FALSE(s.exists("qik_enabled.txt"));
}
