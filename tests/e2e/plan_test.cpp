// qik_plan on the bench: it changes nothing, and the commands it lists are
// the ones the utility then gives the tool, up to the first that fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "common/sha256.h"
#include "demo_runs.h"
#include "harness.h"
#include "schema.h"

using nlohmann::json;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> files_of(const Scratch& s) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::directory_iterator(s.dir())) {
        const std::string name = e.path().filename().string();
        if (name != "adpm_trace.txt") files[name] = s.read_file(name);
    }
    return files;
}

}  // namespace

TEST(Plan, ChangesNothingAndRunsNoTool) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    // What earlier runs left: a backup to be kept, another kept already.
    s.write_file("buimage", "lom's NVRAM");
    s.write_file("buimage.mac", "001c5a100000\n");
    s.write_file("buimage_001c5a400000", "add-in's NVRAM");
    const auto before = files_of(s);

    const json plan = plan_of(s);
    EXPECT_EQ(files_of(s), before);
    EXPECT_FALSE(s.exists("nicflsh_log.txt"));
    const std::string trace = s.library_trace();
    for (const char* write : {"AdpmWriteFirmware(", "AdpmEnableDevice("})
        EXPECT_THAT(trace, Not(HasSubstr(write)));
    // The run would keep both backups and leave both adapters alone.
    const json& functions = plan["functions"];
    EXPECT_EQ(functions[0]["outcome"], "left alone");
    EXPECT_THAT(functions[0]["why"].get<std::string>(), HasSubstr("kept as buimage_001c5a100000"));
    EXPECT_THAT(functions[4]["why"].get<std::string>(), HasSubstr("buimage_001c5a400000"));
    EXPECT_THAT(planned_commands(plan), IsEmpty());
}

TEST(Plan, ShowsTheDemoAsTheRunsFindIt) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const ProcessResult text = s.run_plan();
    EXPECT_EQ(text.exitStatus, 0);
    EXPECT_THAT(text.stdoutText,
                HasSubstr("qik_plan: 6 functions would be updated, 0 current, 2 left alone "
                          "(fcoe0: another adapter type; eth6: matches no table row"));
    const json first = plan_of(s);
    EXPECT_TRUE(first["summary"]["rebootNeeded"].get<bool>());
    // eth5 is disabled: its firmware is its adapter's, read through eth4.
    EXPECT_FALSE(first["functions"][5]["enabled"].get<bool>());
    EXPECT_EQ(first["functions"][5]["readThrough"], "function 0 (eth4), whose firmware it shares");

    s.run();
    const json second = plan_of(s);
    EXPECT_EQ(second["summary"]["current"], 6);
    EXPECT_FALSE(second["summary"]["rebootNeeded"].get<bool>());
    for (const json& c : second["functions"][0]["components"]) EXPECT_EQ(c["action"], "current");
    EXPECT_THAT(
        planned_commands(second),
        ElementsAreArray(joined(
            {with_mac(Lom, {"dir", "dumpnvram buimage", "upgrade -noreset -m_pn modfam1.txt"}),
             with_mac(Addin, {"dir", "dumpnvram buimage", "upgrade -noreset -m_pn modfam3.txt",
                              "upgrade -noreset -vpd VpdUpdate.txt"})})));
}

namespace {

// A server and a command line on which the plan and the run must agree.
struct AgreementCase {
    const char* name;
    json patch;
    std::vector<std::string> args;
    std::map<std::string, std::string> files;  // laid beside the demo's
    int runsBefore = 0;                        // runs made before the plan
    friend void PrintTo(const AgreementCase& c, std::ostream* out) { *out << c.name; }
};

json library_fault(const char* call, const char* service, int result = 9) {
    return {{"library",
             {{"faults", {{{"call", call}, {"serviceName", service}, {"result", result}}}}}}};
}

json functions_with(std::size_t index, json member) {
    json functions = demo_bench()["functions"];
    functions[index].merge_patch(member);
    return {{"functions", functions}};
}

const AgreementCase AgreementCases[] = {
    {"FirstRun", json::object(), {}, {}},
    {"SecondRun", json::object(), {}, {}, 1},
    {"Forced", json::object(), {"-force"}, {}},
    {"ForcedWhenCurrent", json::object(), {"-force"}, {}, 1},
    {"LomSkipped", json::object(), {"-skip", "eth0"}, {}},
    {"AddinSkipped", json::object(), {"-skip", "eth4"}, {}},
    {"AddinFunction0OfAnotherType", functions_with(4, {{"type", 4}}), {}, {}},
    {"AddinFunction0Unmatched", functions_with(4, {{"chipRevisionId", "0x500"}}), {}, {}},
    {"WriteProtected", tool_faults({{{"option", "-bta"}, {"exit", 203}}}), {}, {}},
    {"WriteFails",
     tool_faults({{{"option", "-mgmt"}, {"mac", Lom}, {"exit", 9}, {"scribble", true}}}),
     {},
     {}},
    {"RestoreFails",
     tool_faults({{{"option", "-mgmt"}, {"mac", Lom}, {"exit", 9}, {"scribble", true}},
                  {{"form", "restorenvram"}, {"exit", 1}}}),
     {},
     {}},
    {"ProbeRefused", tool_faults({{{"form", "dir"}, {"mac", Addin}, {"exit", 40}}}), {}, {}},
    {"BackupImpossible",
     tool_faults({{{"form", "dumpnvram"}, {"mac", Addin}, {"exit", 10}}}),
     {},
     {}},
    {"PhyFails", tool_faults({{{"option", "phy"}, {"mac", Addin}, {"exit", 7}}}), {}, {}},
    {"VpdCommandFails", tool_faults({{{"option", "-vpd"}, {"exit", 9}}}), {}, {}},
    {"AddinFirmwareUnreadable", library_fault("AdpmGetFirmwareInfo", "eth4"), {}, {}},
    {"AddinExtendedVpdUnreadable", library_fault("AdpmGetExtVPD", "eth4"), {}, {}},
    {"LomFamilyWriteFails", library_fault("AdpmWriteFirmware", "eth0"), {}, {}},
    {"LomBackupKept", json::object(), {}, {{"buimage_001c5a100000", "kept"}}},
    {"LomBackupLeftOver",
     json::object(),
     {},
     {{"buimage", "left"}, {"buimage.mac", "001c5a100000\n"}}},
    {"AddinBackupKept", json::object(), {}, {{"buimage_001c5a400000", "kept"}}},
};

class PlanAndRun : public ::testing::TestWithParam<AgreementCase> {};

}  // namespace

TEST_P(PlanAndRun, TheRunGivesTheToolWhatThePlanListed) {
    const AgreementCase& c = GetParam();
    Scratch s(demo_bench_with(c.patch));
    copy_demo_files(s);
    for (const auto& [name, contents] : c.files) s.write_file(name, contents);
    for (int i = 0; i < c.runsBefore; ++i) s.run(c.args);
    const Commands planned = planned_commands(plan_of(s, c.args));

    expect_run_follows_plan(planned, s.run(c.args));
}

INSTANTIATE_TEST_SUITE_P(Plan, PlanAndRun, ::testing::ValuesIn(AgreementCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Plan, SaysWhyTheRunWouldEndAtOnce) {
    const struct {
        const char* name;
        const char* removed;  // a file taken from the demo
        std::string table;    // replaces the demo's table when set
        unsigned code;
        const char* detail;
        json bench = demo_bench();
    } cases[] = {
        {"no library",
         "libadpm_x64.so.6",
         {},
         6,
         "./libadpm_x64.so.6 was not found in the working directory"},
        {"no table", "vxlkqfw.cfg", {}, 3, "vxlkqfw.cfg: cannot open"},
        {"bad table", nullptr, "t\n! ven crv\nzz a0\n", 3, "vxlkqfw.cfg:3: column 1"},
        // The run reports "No supported devices found." when nothing matches.
        {"no adapter", nullptr, {}, 12, "no adapter function matches a table row", empty_bench()},
        // The simulated library cannot answer without its bench file.
        {"no bench file", "bench.json", {}, 6, "did not tell its version: AdpmGetVersion returned"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s(c.bench);
        copy_demo_files(s);
        if (c.removed != nullptr) s.remove_file(c.removed);
        if (!c.table.empty()) s.write_file("vxlkqfw.cfg", c.table);
        const ProcessResult p = s.run_plan({"--json"});
        EXPECT_EQ(p.exitStatus, 2);
        EXPECT_TRUE(valid_json(p.stdoutText, "plan.schema.json"));
        const json plan = json::parse(p.stdoutText);
        EXPECT_EQ(plan["end"]["code"], c.code);
        EXPECT_THAT(plan["end"]["detail"].get<std::string>(), HasSubstr(c.detail));
    }
}

// A file the run needs and cannot have fails the adapters that need it: the
// plan says so beforehand, naming the file and the code the run reports.
TEST(Plan, NamesTheFileTheRunWouldFailWithout) {
    const struct {
        const char* removed;
        int lom;
        int addin;
    } cases[] = {
        {"bta_7a01_7103.img", 9, 0}, {"modfam3.txt", 0, 9}, {"kxbb_phy_0106.bin", 0, 16},
        {"vpd_7a06.txt", 0, 13},     {"nicflsh", 9, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.removed);
        Scratch s(demo_bench());
        copy_demo_files(s);
        s.remove_file(c.removed);
        const json plan = plan_of(s);
        EXPECT_EQ(s.run_plan().exitStatus, 6);
        const std::vector<int> codes = statuses(s.run().resultXml);
        ASSERT_EQ(codes, lom_and_addin(c.lom, c.addin));
        std::size_t device = 0;
        for (const json& f : plan["functions"]) {
            if (!f["reported"].get<bool>()) continue;
            const int code = codes[device++];
            EXPECT_EQ(f["outcome"], code == 0 ? "update" : "would fail") << f["service"];
            if (code == 0) continue;
            const std::string why = f["why"];
            EXPECT_THAT(why, HasSubstr("(result " + std::to_string(code) + ")"));
            EXPECT_THAT(why, HasSubstr(c.removed));
        }
    }
}

// The run writes a table's lower family version over the installed one and
// programs nothing; the next run finds it current and programs the adapter.
TEST(Plan, WarnsOfALowerFamilyVersionAndTheRunsBearItOut) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    std::string table = s.read_file("vxlkqfw.cfg");
    table.replace(table.find(" 7.10.3 "), 8, " 7.6.0 ");
    s.write_file("vxlkqfw.cfg", table);
    const json lom = plan_of(s)["functions"][0];
    EXPECT_THAT(lom["warning"].get<std::string>(),
                HasSubstr("the table's family version 7.6.0 is lower than the installed 7.8.2"));
    EXPECT_THAT(commands_for(s.run().toolLog, Lom), ElementsAreArray(Commands{"dir"}));

    const json next = plan_of(s)["functions"][0];
    EXPECT_TRUE(next["warning"].is_null());
    EXPECT_THAT(commands_for(s.run().toolLog, Lom), ElementsAreArray(LomUpdate));
}

// A row a server's adapters do not match, listed once after the functions.
TEST(Plan, ListsTheTableRowsThatMatchNoAdapter) {
    const struct {
        const char* row;
        const char* listed;
    } cases[] = {
        {"1f3d 7a01 1c5a 5b10 b2 7.10.3", "  vxlkqfw.cfg:15: 1f3d 7a01 1c5a 5b10 revision b2\n"},
        {"1f3d 7a06 1c5a 5b06 a1 2.4.1", "  vxlkqfw.cfg:15: 1f3d 7a06 1c5a 5b06 revision a1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        Scratch s(demo_bench());
        copy_demo_files(s);
        s.write_file("vxlkqfw.cfg", s.read_file("vxlkqfw.cfg") +
                                        "! ven device subven subdev crv family\n" + c.row + "\n");
        const std::string text = s.run_plan().stdoutText;
        const std::string heading = "\nTable rows that match no adapter function of this server:\n";
        EXPECT_THAT(text, HasSubstr(heading + c.listed + "qik_plan: "));
        EXPECT_EQ(text.find(heading), text.rfind(heading));
        EXPECT_EQ(plan_of(s)["unmatchedRows"].size(), 1u);
    }
}

// The demo's eth5 with a library that says nothing of a disabled function
// until it is enabled: it does not answer the plan's first question.
json eth5_unread(json patch) {
    patch["library"] = library_fault("AdpmGetVXLRNicInfoEx", "eth5", 12)["library"];
    patch["library"]["faults"][0]["occurrence"] = 1;
    return demo_bench_with(patch);
}

// The run enables eth5 and then passes it over with its function 0, and the
// plan says so without enabling it.
TEST(Plan, PassesOverADisabledFunctionAsTheRunDoes) {
    const struct {
        const char* name;
        json bench;
        std::vector<std::string> args;
        const char* why;
    } cases[] = {
        {"function 0 skipped",
         eth5_unread(json::object()),
         {"-skip", "eth4"},
         "function 0 is skipped"},
        {"function 0 of another type",
         eth5_unread(functions_with(4, {{"type", 4}})),
         {},
         "function 0 is of another adapter type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s(c.bench);
        copy_demo_files(s);
        const json eth5 = plan_of(s, c.args)["functions"][5];
        EXPECT_EQ(eth5["outcome"], "left alone");
        EXPECT_FALSE(eth5["reported"].get<bool>());
        EXPECT_EQ(eth5["why"], std::string("takes no part: ") + c.why);
        EXPECT_THAT(s.run(c.args).stderrText,
                    HasSubstr("eth5 (4:0.1) takes no part: " + std::string(c.why)));
    }
}

// The plan's reboot line says what the run's result document then says.
TEST(Plan, SaysWhatTheRunWillSayOfAReboot) {
    const struct {
        const char* name;
        int runsBefore;
        bool backupNoteIsADirectory;
        int rebootRequired;
    } cases[] = {
        {"first run", 0, false, 1},
        {"nothing to change", 1, false, 1},
        {"the run ends at the first backup", 0, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s(demo_bench());
        copy_demo_files(s);
        for (int i = 0; i < c.runsBefore; ++i) s.run();
        if (c.backupNoteIsADirectory) fs::create_directory(s.dir() / "buimage.mac");
        const std::string required = "RebootRequired " + std::to_string(c.rebootRequired);
        EXPECT_THAT(s.run_plan().stdoutText,
                    HasSubstr("qik_plan: reboot: the result document says " + required));
        EXPECT_EQ(plan_of(s)["summary"]["rebootRequired"], c.rebootRequired);
        EXPECT_THAT(
            s.run().resultXml,
            HasSubstr("<RebootRequired>" + std::to_string(c.rebootRequired) + "</RebootRequired>"));
    }
}

TEST(Plan, RefusesAnUnknownOption) {
    Scratch s(demo_bench());
    const ProcessResult p = s.run_plan({"-print"});
    EXPECT_EQ(p.exitStatus, 1);
    EXPECT_EQ(p.stdoutText, "");
    EXPECT_EQ(
        p.stderrText,
        "qik_plan: unknown option \"-print\"\nusage: qik_plan [-skip <names>] [-force] [--json]\n"
        "       qik_plan --verify [RESULT_FILE] [-skip <names>] [--json]\n"
        "       qik_plan --diff OLD.json [-skip <names>] [-force]\n");
}

// The plan names the table it was made from by its bytes' SHA-256, and the
// library by the version it reports; null for what cannot be read.
TEST(Plan, NamesTheTableAndTheLibraryItWasMadeFrom) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const json plan = plan_of(s);
    EXPECT_EQ(plan["madeFrom"],
              json({{"table", "vxlkqfw.cfg"},
                    {"tableSha256", sha256_hex(s.read_file("vxlkqfw.cfg"))},
                    {"libraryVersion", "6.24.2"}}));
    EXPECT_THAT(s.run_plan().stdoutText,
                HasSubstr("qik_plan: made from vxlkqfw.cfg (sha256 " +
                          plan["madeFrom"]["tableSha256"].get<std::string>() +
                          ") and library 6.24.2\n"));
    s.remove_file("vxlkqfw.cfg");
    s.remove_file("libadpm_x64.so.6");
    const ProcessResult p = s.run_plan({"--json"});
    EXPECT_EQ(p.exitStatus, 2);
    EXPECT_TRUE(valid_json(p.stdoutText, "plan.schema.json"));
    EXPECT_EQ(json::parse(p.stdoutText)["madeFrom"],
              json({{"table", "vxlkqfw.cfg"}, {"tableSha256", nullptr}, {"libraryVersion", nullptr}}));
}

namespace {

// The demo's working directory with its plan saved as old.json.
void save_plan(Scratch& s) {
    const ProcessResult saved = s.run_plan({"--json"});
    ASSERT_EQ(saved.exitStatus, 0);
    s.write_file("old.json", saved.stdoutText);
}

std::string sha_of_table(const Scratch& s) { return sha256_hex(s.read_file("vxlkqfw.cfg")); }

}  // namespace

TEST(Plan, DiffFindsIdenticalPlansAgree) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    save_plan(s);
    const ProcessResult p = s.run_plan({"--diff", "old.json"});
    EXPECT_EQ(p.exitStatus, 0) << p.stderrText;
    EXPECT_EQ(p.stdoutText, "qik_plan: the plans agree: old.json and the plan made now\n");
    EXPECT_EQ(p.stderrText, "");
    // The same with the options the plan was saved with.
    s.write_file("old.json", s.run_plan({"--json", "-force", "-skip", "eth4"}).stdoutText);
    EXPECT_EQ(s.run_plan({"--diff", "old.json", "-force", "-skip", "eth4"}).stdoutText,
              "qik_plan: the plans agree: old.json and the plan made now\n");
}

TEST(Plan, DiffNamesExactlyWhatChanged) {
    const std::string lom = "function eth0 001c5a100000: ";
    const struct {
        const char* name;
        std::function<void(Scratch&)> change;
        std::function<std::vector<std::string>(const std::string& oldSha, const std::string& newSha)>
            lines;
    } cases[] = {
        {"an installed version",
         [](Scratch& s) {
             json bench = s.bench();
             bench["adapters"]["lom"]["firmware"]["ncsi"] = "1.4.7";
             s.set_bench(bench);
         },
         [&](const std::string&, const std::string&) {
             return std::vector<std::string>{lom + "NC-SI installed 1.4.6 -> 1.4.7"};
         }},
        {"the table",
         [](Scratch& s) {
             std::string table = s.read_file("vxlkqfw.cfg");
             table.replace(table.find("ncsi_7a01_150.bin,1.5.0"), 23, "ncsi_7a01_150.bin,1.5.1");
             s.write_file("vxlkqfw.cfg", table);
         },
         [&](const std::string& oldSha, const std::string& newSha) {
             return std::vector<std::string>{"table vxlkqfw.cfg: sha256 " + oldSha + " -> " + newSha,
                                             lom + "NC-SI target 1.5.0 -> 1.5.1"};
         }},
        {"the library",
         [](Scratch& s) {
             json bench = s.bench();
             bench["library"]["version"] = "6.25.0";
             s.set_bench(bench);
         },
         [](const std::string&, const std::string&) {
             return std::vector<std::string>{"library: version 6.24.2 -> 6.25.0"};
         }},
        {"a component brought up to date",
         [](Scratch& s) {
             json bench = s.bench();
             bench["adapters"]["lom"]["firmware"]["ncsi"] = "1.5.0";
             s.set_bench(bench);
         },
         [&](const std::string&, const std::string&) {
             return std::vector<std::string>{
                 lom + "NC-SI installed 1.4.6 -> 1.5.0",
                 lom + "command removed: ./nicflsh 001c5a100000 upgrade -noreset -mgmt "
                       "ncsi_7a01_150.bin >/dev/null 2>&1"};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s(demo_bench());
        copy_demo_files(s);
        save_plan(s);
        const std::string oldSha = sha_of_table(s);
        c.change(s);
        const ProcessResult p = s.run_plan({"--diff", "old.json"});
        EXPECT_EQ(p.exitStatus, 0) << p.stderrText;
        std::vector<std::string> expected = c.lines(oldSha, sha_of_table(s));
        expected.push_back("qik_plan: " + std::to_string(expected.size()) +
                           (expected.size() == 1 ? " difference" : " differences") +
                           " from old.json");
        EXPECT_THAT(lines_of(p.stdoutText), ElementsAreArray(expected));
    }
}

TEST(Plan, DiffExitsAsThePlanWhenTheRunWouldEndAtOnce) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    save_plan(s);
    const std::string oldSha = sha_of_table(s);
    s.remove_file("vxlkqfw.cfg");
    const ProcessResult p = s.run_plan({"--diff", "old.json"});
    EXPECT_EQ(p.exitStatus, 2);
    const std::vector<std::string> lines = lines_of(p.stdoutText);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "table vxlkqfw.cfg: sha256 " + oldSha + " -> unknown");
    EXPECT_EQ(lines[1], "run end: none -> result 3 (vxlkqfw.cfg: cannot open: No such file or directory)");
    EXPECT_EQ(lines[2], "function eth0 001c5a100000: only in the old plan");
}

TEST(Plan, DiffRefusesAnOldPlanItCannotReadWith3) {
    const struct {
        const char* name;
        const char* contents;  // none: the file is missing
        const char* why;
    } cases[] = {
        {"missing", nullptr, "qik_plan: old.json: No such file or directory\n"},
        {"not JSON", "{\"functions\": [", "qik_plan: old.json: not JSON: line 1 column 16: the "
                                          "document ends where a value belongs\n"},
        {"a result document", "<?xml version=\"1.0\"?>\n<QIKPROG/>\n",
         "qik_plan: old.json: not JSON: line 1 column 1: not a JSON value\n"},
        {"another program's JSON", "{\"library\": {\"version\": \"6.24.2\"}}",
         "qik_plan: old.json: not a plan of qik_plan --json: the document has no member "
         "\"probeFirst\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s(demo_bench());
        copy_demo_files(s);
        if (c.contents != nullptr) s.write_file("old.json", c.contents);
        const ProcessResult p = s.run_plan({"--diff", "old.json"});
        EXPECT_EQ(p.exitStatus, 3);
        EXPECT_EQ(p.stdoutText, "");
        EXPECT_EQ(p.stderrText, c.why);
    }
    // The bench file is JSON too, and no plan.
    Scratch s(demo_bench());
    const ProcessResult bench = s.run_plan({"--diff", "bench.json"});
    EXPECT_EQ(bench.exitStatus, 3);
    EXPECT_THAT(bench.stderrText, HasSubstr("qik_plan: bench.json: not a plan of qik_plan --json"));
}

TEST(Plan, DiffWithVerifyOrJsonIsAUsageError) {
    Scratch s(demo_bench());
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--diff", "old.json", "--verify"},
          std::vector<std::string>{"--verify", "--diff", "old.json"},
          std::vector<std::string>{"--diff", "old.json", "--json"},
          std::vector<std::string>{"--diff"}}) {
        const ProcessResult p = s.run_plan(args);
        EXPECT_EQ(p.exitStatus, 1) << args[0];
        EXPECT_EQ(p.stdoutText, "");
        EXPECT_THAT(p.stderrText, HasSubstr("usage: qik_plan"));
    }
}
