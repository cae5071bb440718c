// The working directory belongs to one run at a time, the utility's own files
// in it are never written over by a result document, and the NVRAM backup is
// on disk before the first write reaches an adapter. (A second run started
// by the tool while a real run holds the directory is in the kill sweep.)
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "demo_runs.h"
#include "harness.h"

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const std::string InProgress =
    "qik_programmer: another run is in progress in this directory; nothing was written\n";

// The scratch directory locked as a run in progress holds it.
class HeldDirectory {
  public:
    explicit HeldDirectory(const Scratch& s)
        : fd_(open(s.dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ < 0 || flock(fd_, LOCK_EX | LOCK_NB) != 0)
            throw std::runtime_error("cannot lock the scratch directory");
    }
    ~HeldDirectory() { close(fd_); }
    HeldDirectory(const HeldDirectory&) = delete;
    HeldDirectory& operator=(const HeldDirectory&) = delete;

  private:
    int fd_;
};

struct HeldCase {
    std::vector<std::string> args;
    int exitStatus;
    std::string stdoutText;  // beside what standard error says
};

}  // namespace

// Whatever the command line, a run that finds the directory held touches
// nothing in it: no result document (not even for invalid usage), no log,
// no library call, no tool command, no backup kept; only -ver and -help,
// which write nothing anyway, answer as usual.
TEST(WorkingDirectory, ASecondRunWritesNothingAndExits4) {
    const std::string usage =
        "USAGE: ./qik_programmer [-ver || -? || -help] || [(-filename <filename> || -print) & "
        "-force]\n";
    const HeldCase cases[] = {
        {{}, 4, ""},
        {{"-force"}, 4, ""},
        {{"-print"}, 4, ""},
        {{"-filename", "out.xml"}, 4, ""},
        {{"-bogus"}, 4, "Invalid Usage:  Please try again\n" + usage},
        {{"-ver"}, 0, "Vexlor LOM/NIC Programming Utility Version 227.0.1\n"},
        {{"-help"}, 0, usage},
    };
    for (const HeldCase& c : cases) {
        const std::string label = ::testing::PrintToString(c.args);
        Scratch s(demo_bench());
        copy_demo_files(s);
        const RunResult first = s.run();
        s.write_file("buimage", "a leftover backup");
        s.write_file("buimage.mac", "001c5a100000\n");
        s.keep_outputs(true);
        const HeldDirectory held(s);
        const RunResult r = s.run(c.args);
        EXPECT_EQ(r.exitStatus, c.exitStatus) << label;
        EXPECT_EQ(r.stdoutText, c.stdoutText) << label;
        if (c.exitStatus == 4) {
            EXPECT_THAT(r.stderrText, HasSubstr(InProgress)) << label;
        }
        EXPECT_EQ(s.read_file("vxlrfwprgmr.xml"), first.resultXml) << label;
        EXPECT_EQ(s.read_file("vxllcllog.txt"), first.inventoryLog) << label;
        EXPECT_FALSE(s.exists("out.xml")) << label;
        EXPECT_EQ(s.read_file("buimage"), "a leftover backup") << label;
        EXPECT_EQ(s.read_file("buimage.mac"), "001c5a100000\n") << label;
        EXPECT_THAT(r.libraryTrace, IsEmpty()) << label;
        EXPECT_THAT(r.toolLog, IsEmpty()) << label;
    }
}

TEST(WorkingDirectory, ThePlanSaysARunIsInProgressAndExits2) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const HeldDirectory held(s);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"--json"}}) {
        const ProcessResult p = s.run_plan(args);
        EXPECT_EQ(p.exitStatus, 2);
        EXPECT_EQ(p.stderrText, "qik_plan: another run is in progress in this directory\n");
        EXPECT_THAT(p.stdoutText, IsEmpty());
    }
    EXPECT_THAT(s.library_trace(), IsEmpty());
}

// The lock dies with the run that held it: a killed run never keeps its
// retry out, and a plan looking at the directory does not keep it either.
TEST(WorkingDirectory, ARunAfterAKilledRunOrAPlanIsNotRefused) {
    Scratch s(demo_bench_with(tool_faults(
        {{{"form", "dumpnvram"}, {"occurrence", 1}, {"perform", true}, {"signalUtility", 9}}})));
    copy_demo_files(s);
    EXPECT_EQ(s.run().exitStatus, 128 + 9);
    EXPECT_EQ(s.run_plan().exitStatus, 0);
    const RunResult retry = s.run();
    EXPECT_EQ(retry.exitStatus, 0x10) << retry.stderrText;  // the LOM has a kept backup: 14
    EXPECT_EQ(statuses(retry.resultXml), lom_and_addin(14, 0));
}

// A result file named as one of the utility's own files is invalid usage;
// the refusal goes to the usual result file and the named one is untouched,
// whatever else the command line holds and wherever the name points.
TEST(WorkingDirectory, TheUtilitysOwnFilesAreNeverResultFiles) {
    struct Case {
        std::vector<std::string> args;
        std::string file;
    };
    const Case cases[] = {
        {{"-filename", "buimage_001c5a100000"}, "buimage_001c5a100000"},
        {{"-filename", "buimage_001c5a100000", "-bogus"}, "buimage_001c5a100000"},
        {{"-filename", "buimage_001c5a100000", "-ver"}, "buimage_001c5a100000"},
        {{"-filename", "./buimage_unknown_2", "-force"}, "buimage_unknown_2"},
        {{"-filename", "buimage"}, "buimage"},
        {{"-filename", "buimage.mac"}, "buimage.mac"},
        {{"-filename", "qik_enabled.txt"}, "qik_enabled.txt"},
        {{"-filename", "vxlkqfw.cfg"}, "vxlkqfw.cfg"},
        {{"-filename", "qik_enabled.txt.unread_1"}, "qik_enabled.txt.unread_1"},
        {{"-filename", "vxllcllog.txt"}, "vxllcllog.txt"},
    };
    for (const Case& c : cases) {
        const std::string label = ::testing::PrintToString(c.args);
        Scratch s(demo_bench());
        copy_demo_files(s);
        if (!s.exists(c.file)) s.write_file(c.file, "kept by an earlier run\n");
        const std::string before = s.read_file(c.file);
        // Not through run(), which reads the named file as the result.
        const ProcessResult r = run_process(s.dir(), "./qik_programmer", c.args);
        EXPECT_EQ(r.exitStatus, 1) << label;
        EXPECT_THAT(r.stderrText, HasSubstr("is a file of the utility's own, never a result file"))
            << label;
        EXPECT_EQ(s.read_file(c.file), before) << label;
        EXPECT_EQ(s.read_file("vxlrfwprgmr.xml"), error_form(1)) << label;
        EXPECT_THAT(s.tool_log(), IsEmpty()) << label;
    }
}

// A dump the tool says it made, with no backup file to sync, is no backup:
// nothing may be programmed without one, and the run ends as when the tool
// cannot write the dump file.
TEST(WorkingDirectory, AnAdapterIsNeverProgrammedWithoutABackupOnDisk) {
    Scratch s(demo_bench_with(tool_faults({{{"form", "dumpnvram"}, {"mac", Lom}, {"exit", 0}}})));
    copy_demo_files(s);
    const AdapterState lom = state_of(s, "lom");
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_EQ(r.resultXml, error_form(4));
    EXPECT_THAT(r.stderrText, HasSubstr("cannot sync the NVRAM backup buimage"));
    EXPECT_EQ(commands_for(r.toolLog, Lom), (Commands{"dir", "dumpnvram buimage"}));
    expect_unchanged(s, "lom", lom);
    EXPECT_FALSE(s.exists("buimage.mac"));
    EXPECT_FALSE(r.bench["functions"][5]["enabled"].get<bool>());
}
