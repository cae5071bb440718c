#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/tool_command.h"
#include "support/tool_script.h"

namespace {

constexpr const char* Mac = "0a1b2c3d4e5f";

TEST(ProgramDevice, CommandLinesAreByteExact) {
    const struct {
        bool force;
        const char* option;
        const char* file;
        uint32_t installed;
        std::string line;
    } cases[] = {
        {true, "dump_nvram", "buimage", 0,
         "./nicflsh 0a1b2c3d4e5f dumpnvram buimage >/dev/null 2>&1"},
        {true, "restore_nvram", "buimage", 0,
         "./nicflsh 0a1b2c3d4e5f restorenvram buimage >/dev/null 2>&1"},
        {true, "-cfx", "cfx.bin", 0, "./nicflsh 0a1b2c3d4e5f prg -cfx cfx.bin >/dev/null 2>&1"},
        {true, "-cfx", "cfx.bin", 1,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -F -cfx cfx.bin >/dev/null 2>&1"},
        {false, "-cfx", "cfx.bin", 1,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -cfx cfx.bin >/dev/null 2>&1"},
        {true, "-ipmi", "x.bin", 0,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -F -mgmt x.bin >/dev/null 2>&1"},
        {false, "-ipmi", "x.bin", 0,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -mgmt x.bin >/dev/null 2>&1"},
        {false, "-ib", "ib6bt_1.bin", 0,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -ib_ipv4n6 ib6bt_1.bin >/dev/null 2>&1"},
        {false, "-ib", "IB6BT_1.bin", 0,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -ib IB6BT_1.bin >/dev/null 2>&1"},
        {false, "-ib", "ib6b_1.bin", 0,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -ib ib6b_1.bin >/dev/null 2>&1"},
        {false, "-mfw1", "mfw.bin", 0,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -mfw1 mfw.bin >/dev/null 2>&1"},
        {true, "-m_pn", "modfam2.txt", 0xFFFFFFFF,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -F -m_pn modfam2.txt >/dev/null 2>&1"},
        {false, "-vpd", "VpdUpdate.txt", 0xFFFFFFFF,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -vpd VpdUpdate.txt >/dev/null 2>&1"},
        {true, "phy", "kxaa.bin", 0,
         "./nicflsh 0a1b2c3d4e5f upgrade -noreset -F phy kxaa.bin >/dev/null 2>&1"},
    };
    for (const auto& c : cases) {
        ToolScript tool;
        EXPECT_EQ(tool.runner().program(Mac, 2, c.option, c.file, c.installed, c.force).result, 0);
        EXPECT_EQ(tool.commands(), std::vector<std::string>{c.line}) << c.option << " " << c.file;
    }
}

TEST(ProgramDevice, ProbeCarriesNoForcePrefix) {
    ToolScript tool;
    tool.exit_with("dir", 40);
    EXPECT_EQ(tool.runner().probe(Mac), 40);
    EXPECT_EQ(tool.commands(),
              std::vector<std::string>{"./nicflsh 0a1b2c3d4e5f dir >/dev/null 2>&1"});
}

TEST(ProgramDevice, ExitStatusDecoding) {
    const struct {
        int waitStatus, code;
    } cases[] = {
        {0, 0},      {35 << 8, 35}, {95 << 8, 95}, {203 << 8, 203}, {40 << 8, 40},
        {1 << 8, 1}, {9, 9},        {0x8B, 0x8B},  {-1, -1},        {255 << 8, 255},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_exit_status(c.waitStatus), c.code) << c.waitStatus;
}

TEST(ProgramDevice, ResultsAndTheFailingCode) {
    const struct {
        int waitStatus;
        int result;
        int exitCode;
    } cases[] = {
        {0, 0, 0},         {35 << 8, 0, 0}, {95 << 8, 0, 0},  {203 << 8, 5, 203},
        {40 << 8, 18, 40}, {1 << 8, 9, 1},  {10 << 8, 9, 10}, {9, 9, 9},  // killed by a signal
        {35, 9, 35},  // killed by signal 35: not the exit code 35
        {-1, 9, -1},  // no shell
    };
    for (const auto& c : cases) {
        ToolScript tool;
        tool.wait_status("", c.waitStatus);
        const ToolOutcome outcome = tool.runner().program(Mac, 2, "-bc", "bc.bin", 0, false);
        EXPECT_EQ(outcome.result, c.result) << c.waitStatus;
        EXPECT_EQ(outcome.exitCode, c.exitCode) << c.waitStatus;
    }
}

TEST(ProgramDevice, RefusedCommandsRunNothingAndGiveNoExitCode) {
    const std::string longName(300, 'a');
    const struct {
        uint32_t adapterType;
        const char* option;
        const char* file;
    } cases[] = {
        {false, "-bc", "bc.bin"},      {4, "dump_nvram", "buimage"},
        {2, "-bc", longName.c_str()},  {2, "dump_nvram", longName.c_str()},
        {2, "-cfx", longName.c_str()},
    };
    for (const auto& c : cases) {
        ToolScript tool;
        const ToolOutcome outcome =
            tool.runner().program(Mac, c.adapterType, c.option, c.file, 0, false);
        EXPECT_EQ(outcome.result, ToolError);
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_TRUE(tool.commands().empty());
    }
    ToolScript tool;
    EXPECT_EQ(tool.runner().probe(longName.c_str()), -1);
    EXPECT_TRUE(tool.commands().empty());
}

}  // namespace
