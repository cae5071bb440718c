// What qik_plan and qik_cfgcheck tell a person beside the plan and the
// check: their usage and version in every form people try, table rows
// named by their line, and functions updated with their function 0.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

using nlohmann::json;
using ::testing::HasSubstr;

namespace {

json plan_function(const json& plan, const std::string& service) {
    for (const json& f : plan["functions"])
        if (f["service"] == service) return f;
    ADD_FAILURE() << "no function " << service;
    return {};
}

TEST(Messages, PlanAndCfgcheckAnswerEveryHelpAndVersionForm) {
    const struct {
        const char* option;
        bool version;
    } forms[] = {{"-?", false},     {"-h", false},  {"-help", false},
                 {"--help", false}, {"-ver", true}, {"--version", true}};
    Scratch s(demo_bench());
    for (const auto& f : forms) {
        SCOPED_TRACE(f.option);
        const ProcessResult plan = s.run_plan({f.option});
        const ProcessResult check = run_process(s.dir(), QIK_CFGCHECK_PATH, {f.option});
        for (const ProcessResult* r : {&plan, &check}) {
            EXPECT_EQ(r->exitStatus, 0);
            EXPECT_EQ(r->stderrText, "");
        }
        EXPECT_EQ(plan.stdoutText,
                  f.version ? "qik_plan 227.0.1\n"
                            : "usage: qik_plan [-skip <names>] [-force] [--json]\n"
                              "       qik_plan --verify [RESULT_FILE] [-skip <names>] [--json]\n"
                              "       qik_plan --diff OLD.json [-skip <names>] [-force]\n");
        EXPECT_EQ(check.stdoutText,
                  f.version ? "qik_cfgcheck 227.0.1\n"
                            : "usage: qik_cfgcheck [--strict] [FILE]   (default vxlkqfw.cfg)\n");
    }
}

// The demo's rows are on lines 7 and 13; eth6's IDs get a row for another
// chip revision on line 15.
TEST(Messages, PlanNamesRowsByTheirLine) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    s.write_file("vxlkqfw.cfg", s.read_file("vxlkqfw.cfg") +
                                    "! ven device subven subdev crv family\n"
                                    "1f3d 7a0c 1c5a 5b0c a2 1.2.3\n");
    const ProcessResult text = s.run_plan();
    const json plan = json::parse(s.run_plan({"--json"}).stdoutText);
    const struct {
        const char* service;
        json line;
        const char* shown;
    } cases[] = {
        {"eth0", 7, "table row vxlkqfw.cfg:7\n"},
        {"eth5", 13, "table row vxlkqfw.cfg:13\n"},
        {"eth6", nullptr,
         "the rows for 1f3d 7a0c 1c5a 5b0c name chip revision a2 (vxlkqfw.cfg:15), the adapter "
         "has a1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service);
        EXPECT_EQ(plan_function(plan, c.service)["line"], c.line);
        EXPECT_THAT(text.stdoutText, HasSubstr(c.shown));
    }
}

// eth1-eth3 have no step of their own: their function 0 (eth0) programs the
// firmware they share. eth5 writes its own PHY.
TEST(Messages, PlanSaysWhoIsUpdatedWithItsFunction0) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const std::string text = s.run_plan().stdoutText;
    const json plan = json::parse(s.run_plan({"--json"}).stdoutText);
    const struct {
        const char* service;
        bool withFunction0;
    } cases[] = {{"eth0", false}, {"eth1", true}, {"eth3", true}, {"eth5", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service);
        const json f = plan_function(plan, c.service);
        EXPECT_EQ(f["outcome"], "update");
        EXPECT_EQ(f["withFunction0"], c.withFunction0);
        const std::string block = text.substr(text.find(std::string(c.service) + "  "));
        EXPECT_THAT(block.substr(0, block.find("\n\n") + 1),
                    HasSubstr(c.withFunction0 ? "  outcome: updated with function 0\n"
                                              : "  outcome: update\n"));
    }
}

}  // namespace
