// What qik_plan and qik_cfgcheck tell a person beside the plan and the
// check: their usage and version in every form people try.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

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
        EXPECT_EQ(plan.stdoutText, f.version
                                       ? "qik_plan 227.0.1\n"
                                       : "usage: qik_plan [-skip <names>] [-force] [--json]\n");
        EXPECT_EQ(check.stdoutText,
                  f.version ? "qik_cfgcheck 227.0.1\n"
                            : "usage: qik_cfgcheck [--strict] [FILE]   (default vxlkqfw.cfg)\n");
    }
}

}  // namespace
