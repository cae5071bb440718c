// Progress lines for a person at a terminal, and nothing else changing:
// the same run with standard error redirected writes nothing there and
// leaves the same bytes behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "schema.h"

using nlohmann::json;
using ::testing::Contains;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::MatchesRegex;

namespace {

// The demo with one failing write, so that a failed step shows too.
json demo_with_a_failure() {
    json bench = demo_bench();
    bench["tool"]["faults"] = {{{"option", "-mgmt"}, {"adapter", "lom"}, {"exit", 9}}};
    return bench;
}

// What a run under a pseudo-terminal left, and the lines the terminal showed
// (its CR LF line ends made LF).
struct TerminalRun {
    RunResult run;
    std::vector<std::string> shown;
};

// script runs the shell command with a terminal for the standard streams it
// does not redirect, and copies what the terminal shows to its own output.
TerminalRun run_in_terminal(Scratch& s, const std::string& term,
                            const std::string& command = "./qik_programmer") {
    const ProcessResult p = run_process(
        s.dir(), "/usr/bin/env", {"TERM=" + term, "/usr/bin/script", "-qec", command, "/dev/null"});
    TerminalRun t{};
    t.run.exitStatus = p.exitStatus;
    t.run.resultFileExists = s.exists("vxlrfwprgmr.xml");
    t.run.resultXml = s.read_file("vxlrfwprgmr.xml");
    t.run.inventoryLogExists = s.exists("vxllcllog.txt");
    t.run.inventoryLog = s.read_file("vxllcllog.txt");
    t.run.toolLog = s.tool_log();
    std::string text = p.stdoutText;
    std::erase(text, '\r');
    t.shown = lines_of(text);
    return t;
}

void expect_same_outputs(const RunResult& terminal, const RunResult& redirected) {
    EXPECT_EQ(terminal.exitStatus, redirected.exitStatus);
    EXPECT_EQ(terminal.resultXml, redirected.resultXml);
    EXPECT_EQ(terminal.inventoryLog, redirected.inventoryLog);
    EXPECT_EQ(terminal.toolLog, redirected.toolLog);
}

}  // namespace

TEST(Progress, TerminalShowsEachStepAndRedirectedRunsStayTheSame) {
    Scratch plain(demo_with_a_failure());
    copy_demo_files(plain);
    const RunResult redirected = plain.run();
    EXPECT_EQ(redirected.exitStatus, 0x10);
    EXPECT_EQ(redirected.stderrText, "");
    EXPECT_EQ(redirected.stdoutText, "");

    Scratch terminal(demo_with_a_failure());
    copy_demo_files(terminal);
    const TerminalRun shown = run_in_terminal(terminal, "xterm");
    expect_same_outputs(shown.run, redirected);
    EXPECT_TRUE(valid_outputs(shown.run));
    EXPECT_THAT(
        shown.shown,
        IsSupersetOf({
            "eth0 0000:01:00.0  back up NVRAM ... ok",
            "eth0 0000:01:00.0  bootcode 7.08 -> 7.10 ... ok",
            "eth0 0000:01:00.0  NC-SI 1.4.6 -> 1.5.0 ... failed (9)",
            "eth0 0000:01:00.0  restore NVRAM ... ok",
            "eth4 0000:04:00.0  UEFI driver 8.1.0 -> 8.2.1 ... ok",
            "eth4 0000:04:00.0  external PHY 1.0105 -> 0x0106 ... ok",
            "eth4 0000:04:00.0  family version 2.3.0 -> 2.4.1 ... ok",
            "eth0 0000:01:00.0  result 9: Update failure. Firmware programming utility returned an "
            "error. Original firmware restored",
            "eth3 0000:01:00.3  result 9: Update failure. Firmware programming utility returned an "
            "error. Original firmware restored",
            "eth5 0000:04:00.1  result 0: Update success.",
        }));
    // Nothing but progress lines reaches the terminal.
    EXPECT_THAT(shown.shown,
                Each(MatchesRegex("eth[0-9] 0000:0[14]:00\\.[0-3]  "
                                  "(.* \\.\\.\\. (ok|failed \\([0-9]+\\))|result [0-9]+: .*)")));
    EXPECT_THAT(shown.shown, Contains(MatchesRegex(".*result.*")).Times(6));
}

TEST(Progress, NothingShowsWithoutASmartTerminalOnStandardError) {
    struct Case {
        const char* term;
        const char* command;
    };
    for (const Case& c :
         {Case{"dumb", "./qik_programmer"}, Case{"xterm", "./qik_programmer 2>stderr.txt"}}) {
        SCOPED_TRACE(c.command);
        Scratch s(demo_bench());
        copy_demo_files(s);
        const TerminalRun shown = run_in_terminal(s, c.term, c.command);
        EXPECT_EQ(shown.run.exitStatus, 0);
        EXPECT_TRUE(valid_outputs(shown.run));
        EXPECT_THAT(shown.run.resultXml, HasSubstr("<RebootRequired>1</RebootRequired>"));
        EXPECT_THAT(shown.shown, IsEmpty());
        EXPECT_EQ(s.read_file("stderr.txt"), "");
    }
}
