#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

struct CommandResult {
    int exitStatus;
    std::string out;  // standard output, then standard error
};

// Runs the built command in `dir` with `args`.
CommandResult run_cfgcheck(const std::filesystem::path& dir, const std::string& args) {
    const std::string command = "cd '" + dir.string() + "' && '" QIK_CFGCHECK_PATH "' " + args +
                                " 2>stderr.txt; status=$?; cat stderr.txt; exit $status";
    std::FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    CommandResult run{-1, {}};
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct CheckCase {
    const char* name;
    const char* table;  // written to vxlkqfw.cfg; null: no file
    const char* args;
    int exitStatus;
    const char* output;
};

TEST(CfgCheck, OutputAndExitStatus) {
    const CheckCase cases[] = {
        {"good table, default name",
         "vxlkqfw.cfg\n! ven device subven subdev crv family bc extphy VPD\r\n"
         "14e4 7a01 1028 5b01 a0 7.12.0 bc_712.bin,7.12 phy.bin,0x105 vpd.txt,1\r\n"
         "! ven device subven subdev crv family\r\n14e4 7a01 1028 5b02 A0 7..3\r\n",
         "", 0,
         "vxlkqfw.cfg: 2 entries\n"
         "1: ven 14e4 device 7a01 subven 1028 subdev 5b01 crv a0 family 7.12.0 (71200); "
         "bc bc_712.bin 7.12 (71200); qmx phy.bin 0x105 (0); VPD vpd.txt 1\n"
         "2: ven 14e4 device 7a01 subven 1028 subdev 5b02 crv A0 family 7..3 (70300); "
         "note: matches no adapter, whose chip revision is two lower-case hex digits\n"},
        {"bad table names the line", "vxlkqfw.cfg\n! ven bc\n# c\n1 bc_7.12.bin\n", "vxlkqfw.cfg",
         1, "vxlkqfw.cfg:4: column 2 \"bc\": token \"bc_7.12.bin\" has no \",version\"\n"},
        {"table without rows", "vxlkqfw.cfg\n! ven\n", "", 1, "vxlkqfw.cfg: no data row\n"},
        {"missing file", nullptr, "other.cfg", 1,
         "other.cfg: cannot open: No such file or directory\n"},
        {"two arguments", nullptr, "a b", 2,
         "usage: qik_cfgcheck [FILE]   (default vxlkqfw.cfg)\n"},
    };
    const auto dir =
        std::filesystem::temp_directory_path() / ("qik_cfgcheck_test_" + std::to_string(getpid()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        if (c.table) std::ofstream(dir / "vxlkqfw.cfg", std::ios::binary) << c.table;
        const CommandResult run = run_cfgcheck(dir, c.args);
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(run.out, c.output);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
