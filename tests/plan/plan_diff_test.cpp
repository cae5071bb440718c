// qik_plan --diff on small plans: reading a saved plan (and refusing what is
// not one), matching functions by service name and MAC, and the lines each
// change gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plan/plan.h"
#include "plan/plan_diff.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

SavedFunction function(std::string service, std::string mac, std::string outcome = "update") {
    SavedFunction f;
    f.service = std::move(service);
    f.mac = std::move(mac);
    f.outcome = std::move(outcome);
    f.family = SavedComponent{"family", "7.8.2", "7.10.3"};
    f.components = {{"bootcode", "7.08", "7.10"}, {"boot agent", "7.8.2", "7.10.3"}};
    f.commands = {"./nicflsh M dir", "./nicflsh M upgrade -bc bc.bin"};
    return f;
}

SavedPlan two_functions() {
    SavedPlan p;
    p.table = "vxlkqfw.cfg";
    p.tableSha256 = std::string(64, 'a');
    p.libraryVersion = "6.24.2";
    p.functions = {function("eth0", "001c5a100000"), function("eth1", "001c5a100001")};
    return p;
}

std::optional<SavedPlan> read(const std::string& text, std::string& problem) {
    const std::optional<JsonValue> document = parse_json(text, problem);
    if (!document) return std::nullopt;
    return saved_plan_of(*document, problem);
}

const char* const SavedText = R"({
  "force": false, "skip": "", "future": [1, {"x": null}],
  "madeFrom": {"table": "vxlkqfw.cfg", "tableSha256": null, "libraryVersion": "6.24.2"},
  "probeFirst": "...", "end": null, "unmatchedRows": [], "summary": {},
  "functions": [{"service": "eth0", "mac": null, "outcome": "update", "family": null,
                 "components": [{"name": "bootcode", "installed": "", "target": "7.10",
                                 "action": "update"}],
                 "steps": [{"step": "probe", "command": "./nicflsh x dir", "note": null},
                           {"step": "family", "command": null, "note": "written"}]}]
})";

}  // namespace

TEST(PlanDiff, ReadsTheMembersItComparesAndIgnoresTheRest) {
    std::string problem;
    const std::optional<SavedPlan> p = read(SavedText, problem);
    ASSERT_TRUE(p) << problem;
    EXPECT_EQ(p->tableSha256, std::nullopt);
    EXPECT_EQ(p->libraryVersion, "6.24.2");
    ASSERT_EQ(p->functions.size(), 1u);
    EXPECT_EQ(p->functions[0].mac, "");
    EXPECT_FALSE(p->functions[0].family);
    EXPECT_THAT(p->functions[0].commands, ElementsAre("./nicflsh x dir"));
}

TEST(PlanDiff, RefusesWhatIsNoPlanAndSaysWhere) {
    const struct {
        std::string from, to;
        const char* why;
    } cases[] = {
        {"\"probeFirst\": \"...\",", "", "the document has no member \"probeFirst\""},
        {"\"end\": null", "\"end\": {\"code\": 19, \"detail\": null}", "end.code is not a result code"},
        {"\"end\": null", "\"end\": {\"code\": 1e1, \"detail\": null}", "end.code is not a result code"},
        {"\"end\": null", "\"end\": 3", "end is neither an object nor null"},
        {"\"mac\": null", "\"mac\": 12", "functions[0].mac is neither a string nor null"},
        {"\"outcome\": \"update\",", "", "functions[0] has no member \"outcome\""},
        {"\"installed\": \"\"", "\"installed\": null",
         "functions[0].components[0].installed is not a string"},
        {"\"command\": null", "\"command\": false",
         "functions[0].steps[1].command is neither a string nor null"},
        {"\"tableSha256\": null", "\"tableSha256\": 0", "madeFrom.tableSha256 is neither"},
        {"\"functions\": [", "\"functions\": {\"a\": [", "functions is not an array"},
    };
    for (const auto& c : cases) {
        std::string text = SavedText;
        const std::size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from;
        text.replace(at, c.from.size(), c.to);
        if (c.to.find("{\"a\": [") != std::string::npos) text.replace(text.rfind('}'), 1, "}}");
        std::string problem;
        EXPECT_FALSE(read(text, problem)) << c.why;
        EXPECT_THAT(problem, HasSubstr(c.why));
        EXPECT_THAT(problem, HasSubstr("not a plan of qik_plan --json"));
    }
    std::string problem;
    EXPECT_FALSE(read("[]", problem));
    EXPECT_THAT(problem, HasSubstr("the document is not an object"));
}

TEST(PlanDiff, APlanSavedBeforePlansNamedTheirTableIsStillAPlan) {
    std::string text = SavedText;
    const std::size_t from = text.find("\"madeFrom\"");
    text.erase(from, text.find("\"probeFirst\"") - from);
    std::string problem;
    const std::optional<SavedPlan> p = read(text, problem);
    ASSERT_TRUE(p) << problem;
    SavedPlan now = *p;
    now.table = "vxlkqfw.cfg";
    now.tableSha256 = std::string(64, 'b');
    EXPECT_THAT(plan_differences(*p, now),
                ElementsAre("table vxlkqfw.cfg: sha256 unknown -> " + std::string(64, 'b')));
}

TEST(PlanDiff, IdenticalPlansAgreeInOneLine) {
    EXPECT_THAT(plan_differences(two_functions(), two_functions()), IsEmpty());
    EXPECT_EQ(diff_text({}, "old.json"),
              "qik_plan: the plans agree: old.json and the plan made now\n");
}

TEST(PlanDiff, NamesTheTableTheLibraryAndTheRunsEnd) {
    SavedPlan now = two_functions();
    now.tableSha256 = std::nullopt;
    now.libraryVersion = "7.0.0";
    now.end = SavedEnd{3, "vxlkqfw.cfg: cannot open"};
    EXPECT_THAT(plan_differences(two_functions(), now),
                ElementsAre("table vxlkqfw.cfg: sha256 " + std::string(64, 'a') + " -> unknown",
                            "library: version 6.24.2 -> 7.0.0",
                            "run end: none -> result 3 (vxlkqfw.cfg: cannot open)"));
}

TEST(PlanDiff, NamesEachChangeOfAFunction) {
    SavedPlan now = two_functions();
    SavedFunction& f = now.functions[1];
    f.outcome = "current";
    f.family->installed = "7.10.3";
    f.components[0].installed = "7.10";
    f.components[1].target = "7.10.4";
    f.components.push_back({"NC-SI", "1.4.6", "1.5.0"});
    f.commands = {"./nicflsh M dir", "./nicflsh M dumpnvram buimage"};
    const std::vector<std::string> lines = plan_differences(two_functions(), now);
    EXPECT_THAT(lines, ElementsAre("function eth1 001c5a100001: outcome update -> current",
                                   "function eth1 001c5a100001: family installed 7.8.2 -> 7.10.3",
                                   "function eth1 001c5a100001: bootcode installed 7.08 -> 7.10",
                                   "function eth1 001c5a100001: boot agent target 7.10.3 -> 7.10.4",
                                   "function eth1 001c5a100001: NC-SI installed (none) -> 1.4.6",
                                   "function eth1 001c5a100001: NC-SI target (none) -> 1.5.0",
                                   "function eth1 001c5a100001: command removed: ./nicflsh M "
                                   "upgrade -bc bc.bin",
                                   "function eth1 001c5a100001: command added: ./nicflsh M "
                                   "dumpnvram buimage"));
    EXPECT_EQ(diff_text(lines, "old.json").substr(diff_text(lines, "old.json").rfind("qik_plan")),
              "qik_plan: 8 differences from old.json\n");
}

TEST(PlanDiff, MatchesByServiceNameAndMacThenEitherAndSaysWhich) {
    SavedPlan now = two_functions();
    now.functions[0].service = "eth9";       // renamed: the same MAC
    now.functions[1].mac = "001c5a100099";   // the adapter replaced: the same name
    now.functions.push_back(function("eth7", ""));  // new
    SavedPlan old = two_functions();
    old.functions.push_back(function("eth8", "001c5a100008"));  // gone
    EXPECT_THAT(plan_differences(old, now),
                ElementsAre("function eth9 001c5a100000: matched by MAC; the service name was eth0",
                            "function eth1 001c5a100099: matched by service name; the MAC was "
                            "001c5a100001",
                            "function eth7 -: only in the plan made now",
                            "function eth8 001c5a100008: only in the old plan"));
}

TEST(PlanDiff, ARepeatedCommandCountsAsOftenAsItIsGiven) {
    SavedPlan now = two_functions();
    now.functions[0].commands.push_back("./nicflsh M dir");
    EXPECT_THAT(plan_differences(two_functions(), now),
                ElementsAre("function eth0 001c5a100000: command added: ./nicflsh M dir"));
}

TEST(PlanDiff, ShowsControlCharactersFromTheOldPlanAsQuestionMarks) {
    SavedPlan old = two_functions();
    old.functions[0].outcome = "up\x1b[2Jdate";
    EXPECT_THAT(plan_differences(old, two_functions()),
                ElementsAre("function eth0 001c5a100000: outcome up?[2Jdate -> update"));
}

// The plan's JSON names what it was made from, null where unknown, and the
// diff reads back what the plan wrote.
TEST(PlanDiff, ThePlansJsonNamesItsTableAndLibrary) {
    Plan plan;
    std::string problem;
    std::optional<JsonValue> document = parse_json(plan_json(plan), problem);
    ASSERT_TRUE(document) << problem;
    const JsonValue* madeFrom = document->find("madeFrom");
    ASSERT_NE(madeFrom, nullptr);
    EXPECT_EQ(madeFrom->find("table")->text, "vxlkqfw.cfg");
    EXPECT_TRUE(madeFrom->find("tableSha256")->is_null());
    EXPECT_TRUE(madeFrom->find("libraryVersion")->is_null());
    EXPECT_THAT(plan_text(plan), HasSubstr("qik_plan: made from vxlkqfw.cfg (sha256 unknown: not "
                                           "read) and library unknown: not loaded\n"));

    plan.madeFrom.tableSha256 = std::string(64, 'c');
    plan.madeFrom.libraryVersion = "6.24.2";
    plan.end = WholeRunEnd{3, "vxlkqfw.cfg:3: column 1"};
    const std::optional<SavedPlan> saved = saved_plan_of(plan, problem);
    ASSERT_TRUE(saved) << problem;
    EXPECT_EQ(saved->tableSha256, std::string(64, 'c'));
    EXPECT_EQ(saved->libraryVersion, "6.24.2");
    ASSERT_TRUE(saved->end);
    EXPECT_EQ(saved->end->code, 3u);
    EXPECT_EQ(saved->end->detail, "vxlkqfw.cfg:3: column 1");
    EXPECT_THAT(plan_text(plan),
                HasSubstr("qik_plan: made from vxlkqfw.cfg (sha256 " + std::string(64, 'c') +
                          ") and library 6.24.2\n"));
}
