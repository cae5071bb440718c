#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
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
    const char* table;   // written to vxlkqfw.cfg; null: no file
    const char* beside;  // files laid beside it, blank-separated; a trailing '/' makes a directory,
                         // a name starting "crlf" a file whose lines end in CR LF
    const char* args;
    int exitStatus;
    const char* output;
};

void lay_out(const std::filesystem::path& dir, const CheckCase& c) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    if (c.table) std::ofstream(dir / "vxlkqfw.cfg", std::ios::binary) << c.table;
    std::istringstream names(c.beside);
    for (std::string name; names >> name;) {
        if (name.ends_with('/'))
            std::filesystem::create_directory(dir / name);
        else
            std::ofstream(dir / name) << (name.starts_with("crlf") ? "line\r\n" : "image\n");
    }
}

void expect_cases(std::span<const CheckCase> cases) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("qik_cfgcheck_test_" + std::to_string(getpid()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lay_out(dir, c);
        const CommandResult run = run_cfgcheck(dir, c.args);
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(run.out, c.output);
    }
    std::filesystem::remove_all(dir);
}

constexpr const char* Usage = "usage: qik_cfgcheck [--strict] [FILE]   (default vxlkqfw.cfg)\n";

TEST(CfgCheck, OutputAndExitStatus) {
    const CheckCase cases[] = {
        {"good table, default name",
         "vxlkqfw.cfg\n! ven device subven subdev crv family bc extphy VPD\r\n"
         "14e4 7a01 1028 5b01 a0 7.12.0 bc_712.bin,7.12 kxbb_phy.bin,0x105 vpd.txt,1\r\n"
         "! ven device subven subdev crv family\r\n14e4 7a0c 1028 5b0c b1 7.2\r\n",
         "bc_712.bin kxbb_phy.bin vpd.txt modfam1.txt", "", 0,
         "vxlkqfw.cfg: 2 entries\n"
         "note: line 2 ends in CR LF (4 lines do): the utility reads them, but save the table "
         "with LF line ends\n"
         "vxlkqfw.cfg:3: ven 14e4 device 7a01 subven 1028 subdev 5b01 crv a0 family 7.12.0 "
         "(71200); "
         "bc bc_712.bin 7.12 (71200); qmx kxbb_phy.bin 0x105 (0); VPD vpd.txt 1\n"
         "vxlkqfw.cfg:5: ven 14e4 device 7a0c subven 1028 subdev 5b0c crv b1 family 7.2 (70200)\n"},
        {"bad table names the line", "vxlkqfw.cfg\n! ven bc\n# c\n1 bc_7.12.bin\n", "",
         "vxlkqfw.cfg", 1,
         "vxlkqfw.cfg:4: column 2 \"bc\": token \"bc_7.12.bin\" has no \",version\"\n"},
        {"table without rows", "vxlkqfw.cfg\n! ven\n", "", "", 1, "vxlkqfw.cfg: no data row\n"},
        {"missing file", nullptr, "", "other.cfg", 1,
         "other.cfg: cannot open: No such file or directory\n"},
        {"two arguments", nullptr, "", "a b", 2, Usage},
        {"unknown option", nullptr, "", "--strikt", 2, Usage},
        {"help", nullptr, "", "--strict --help", 0, Usage},
    };
    expect_cases(cases);
}

// Each mistake in a table the utility reads, found with the row's line.
TEST(CfgCheck, PackageMistakesNameTheirRow) {
    const CheckCase cases[] = {
        {"mistyped image name",
         "table\n! ven device subven subdev crv family bc\n\n"
         "1f3d 7a06 1c5a 5b06 a0 2.4.1 mfw_7a06_212.bin,2.12\n",
         "mfw_7a06_0212.bin modfam3.txt", "", 1,
         "vxlkqfw.cfg: 1 entry\n"
         "vxlkqfw.cfg:4: ven 1f3d device 7a06 subven 1c5a subdev 5b06 crv a0 family 2.4.1 (20401); "
         "bc mfw_7a06_212.bin 2.12 (21200)\n"
         "vxlkqfw.cfg:4: bc image \"mfw_7a06_212.bin\": no such file beside the table\n"},
        {"upper-case chip revision",
         "table\n! ven device subven subdev crv family\n\n\n"
         "1f3d 7a06 1c5a 5b06 A0 2.4.1\n",
         "modfam3.txt", "", 1,
         "vxlkqfw.cfg: 1 entry\n"
         "vxlkqfw.cfg:5: ven 1f3d device 7a06 subven 1c5a subdev 5b06 crv A0 family 2.4.1 (20401)\n"
         "vxlkqfw.cfg:5: chip revision \"A0\" matches no adapter: adapters report theirs as two "
         "lower-case hex digits\n"},
        {"no chip revision column",
         "table\n! ven device subven subdev family\n"
         "1f3d 7a06 1c5a 5b06 2.4.1\n",
         "modfam3.txt", "", 1,
         "vxlkqfw.cfg: 1 entry\n"
         "vxlkqfw.cfg:3: ven 1f3d device 7a06 subven 1c5a subdev 5b06 crv \"\" family 2.4.1 "
         "(20401)\n"
         "vxlkqfw.cfg:3: chip revision \"\" matches no adapter: adapters report theirs as two "
         "lower-case hex digits\n"},
        {"version group above 99, and a PHY version written as the PHY reports it",
         "table\n! ven device subven subdev crv family bc extphy\n"
         "1f3d 7a06 1c5a 5b06 a0 2.4.1 mfw.bin,2.100 kxbb.bin,1.0106\n",
         "mfw.bin kxbb.bin modfam3.txt", "", 1,
         "vxlkqfw.cfg: 1 entry\n"
         "vxlkqfw.cfg:3: ven 1f3d device 7a06 subven 1c5a subdev 5b06 crv a0 family 2.4.1 (20401); "
         "bc mfw.bin 2.100 (30000); qmx kxbb.bin 1.0106 (20600)\n"
         "vxlkqfw.cfg:3: bc version \"2.100\": group 100 does not fit two digits and spills into "
         "the next group (read as 30000, as 3.0.0 would be)\n"
         "vxlkqfw.cfg:3: qmx/extphy version \"1.0106\": group 0106 does not fit two digits and "
         "spills into the next group (read as 20600, as 2.6.0 would be)\n"},
        {"family the VPD reader rejects",
         "table\n! ven device subven subdev crv family\n"
         "1f3d 7a06 1c5a 5b06 a0 2.4.100\n",
         "modfam3.txt", "", 1,
         "vxlkqfw.cfg: 1 entry\n"
         "vxlkqfw.cfg:3: ven 1f3d device 7a06 subven 1c5a subdev 5b06 crv a0 family 2.4.100 "
         "(20500)\n"
         "vxlkqfw.cfg:3: family \"2.4.100\" cannot be read back from the VPD: 3 to 8 characters, "
         "digits and single dots, at most two digits in a group, a digit first\n"},
        {"template is a directory, module file missing",
         "table\n! ven device subven subdev crv family VPD\n"
         "1f3d 7a06 1c5a 5b06 a0 2.4.1 vpd.txt,1\n",
         "vpd.txt/", "", 1,
         "vxlkqfw.cfg: 1 entry\n"
         "vxlkqfw.cfg:3: ven 1f3d device 7a06 subven 1c5a subdev 5b06 crv a0 family 2.4.1 (20401); "
         "VPD vpd.txt 1\n"
         "vxlkqfw.cfg:3: VPD template \"vpd.txt\": not a regular file\n"
         "vxlkqfw.cfg:3: part-number module \"modfam3.txt\" (device 7a06, subsystem 5b06): no "
         "such file beside the table\n"},
        {"the no-PHY name needs no file, unless a qmx target hands it to the tool",
         "table\n! ven device subven subdev crv family extphy\n"
         "1f3d 7a06 1c5a 5b06 a0 2.4.1 none0000.000,0\n"
         "1f3d 7a06 1c5a 5b06 a1 2.4.1 none0000.000,1.2\n",
         "modfam3.txt", "", 1,
         "vxlkqfw.cfg: 2 entries\n"
         "vxlkqfw.cfg:3: ven 1f3d device 7a06 subven 1c5a subdev 5b06 crv a0 family 2.4.1 (20401); "
         "qmx none0000.000 0 (0)\n"
         "vxlkqfw.cfg:4: ven 1f3d device 7a06 subven 1c5a subdev 5b06 crv a1 family 2.4.1 (20401); "
         "qmx none0000.000 1.2 (10200)\n"
         "vxlkqfw.cfg:4: qmx/extphy image \"none0000.000\": no such file beside the table\n"},
    };
    expect_cases(cases);
}

// A mistake in how the table is written says what to write instead.
TEST(CfgCheck, MessagesNameWhatToDo) {
    const char* crlfTable =
        "table\r\n! ven device subven subdev crv family\r\n"
        "1f3d 7a0c 1c5a 5b0c a1 1.2.3\r\n";
    const char* crlfSummary =
        "vxlkqfw.cfg: 1 entry\n"
        "note: line 1 ends in CR LF (3 lines do): the utility reads them, but save the table "
        "with LF line ends\n"
        "vxlkqfw.cfg:3: ven 1f3d device 7a0c subven 1c5a subdev 5b0c crv a1 family 1.2.3 (10203)\n";
    const std::string crlfStrict =
        std::string(crlfSummary) +
        "vxlkqfw.cfg:1: ends in CR LF (3 lines do): the utility reads them, but save the table "
        "with LF line ends\n";
    const CheckCase cases[] = {
        {"header on the title line",
         "! ven device subven subdev crv family\n1f3d 7a0c 1c5a 5b0c a1 1.2.3\n", "", "", 1,
         "vxlkqfw.cfg: 1 entry\n"
         "vxlkqfw.cfg:2: ven 0000 device 0000 subven 0000 subdev 0000 crv \"\" family \"\" (0)\n"
         "vxlkqfw.cfg:1: line 1 is the table's title and never read, so this header names no "
         "columns: put a title line above it\n"
         "vxlkqfw.cfg:2: chip revision \"\" matches no adapter: adapters report theirs as two "
         "lower-case hex digits\n"
         "vxlkqfw.cfg:2: family \"\" cannot be read back from the VPD: 3 to 8 characters, "
         "digits and single dots, at most two digits in a group, a digit first\n"},
        {"header alone on the title line", "! ven device\n", "", "", 1,
         "vxlkqfw.cfg: no data row\n"
         "vxlkqfw.cfg:1: line 1 is the table's title and never read, so this header names no "
         "columns: put a title line above it\n"},
        {"unknown column", "table\n! ven device Crv\n1f3d 7a0c a1\n", "", "", 1,
         "vxlkqfw.cfg:2: header: \"Crv\" is not a column name (names are case-sensitive: "
         "\"crv\"); the columns are: ven device subven subdev crv family ibcfg lconf "
         "expose_fcoe enable_dcbx VPD SystemName bc bta ncsi qmx extphy ipmi l2fw iscsib uefi "
         "fcoeb cfx\n"},
        {"CR LF table", crlfTable, "", "", 0, crlfSummary},
        {"CR LF table, strict", crlfTable, "", "--strict", 1, crlfStrict.c_str()},
        {"CR LF template",
         "table\n! ven device subven subdev crv family VPD\n"
         "1f3d 7a0c 1c5a 5b0c a1 1.2.3 crlf.txt,1\n",
         "crlf.txt", "", 0,
         "vxlkqfw.cfg: 1 entry\n"
         "vxlkqfw.cfg:3: ven 1f3d device 7a0c subven 1c5a subdev 5b0c crv a1 family 1.2.3 (10203); "
         "VPD "
         "crlf.txt 1; note: VPD template \"crlf.txt\" has lines ending in CR LF: the tool gets "
         "them so, but the family line with LF alone; save it with LF line ends\n"},
    };
    expect_cases(cases);
}

TEST(CfgCheck, StrictTurnsNotesIntoErrors) {
    const char* table =
        "table\n! ven device subven subdev crv family\n"
        "1f3d 7a0c 1c5a 5b0c a1 1.2.3\n"
        "1f3d 17a0c 1c5a 5b0c a1 1.2.3\n"
        "1f3d 7a0c 1c5a 5b0c a1 1.2.4\n"
        "! ven device subven subdev crv family extphy\n"
        "1f3d 7a0c 1c5a 5b0c a2 1.2.3 phy_106.bin,0x106\n";
    const char* summary =
        "vxlkqfw.cfg: 4 entries\n"
        "vxlkqfw.cfg:3: ven 1f3d device 7a0c subven 1c5a subdev 5b0c crv a1 family 1.2.3 (10203)\n"
        "vxlkqfw.cfg:4: ven 1f3d device 17a0c subven 1c5a subdev 5b0c crv a1 family 1.2.3 (10203); "
        "note: matches no adapter: PCI IDs have at most four hex digits\n"
        "vxlkqfw.cfg:5: ven 1f3d device 7a0c subven 1c5a subdev 5b0c crv a1 family 1.2.4 (10204); "
        "note: never used: vxlkqfw.cfg:3 has the same IDs and chip revision\n"
        "vxlkqfw.cfg:7: ven 1f3d device 7a0c subven 1c5a subdev 5b0c crv a2 family 1.2.3 (10203); "
        "qmx phy_106.bin 0x106 (0); note: qmx/extphy image \"phy_106.bin\" is never programmed: "
        "its name holds no PHY kind and its version no qmx target\n";
    const std::string strictErrors =
        std::string(summary) +
        "vxlkqfw.cfg:4: matches no adapter: PCI IDs have at most four hex digits\n"
        "vxlkqfw.cfg:5: never used: vxlkqfw.cfg:3 has the same IDs and chip revision\n"
        "vxlkqfw.cfg:7: qmx/extphy image \"phy_106.bin\" is never programmed: its name holds no "
        "PHY kind and its version no qmx target\n";
    const CheckCase cases[] = {
        {"notes only", table, "phy_106.bin", "", 0, summary},
        {"strict", table, "phy_106.bin", "vxlkqfw.cfg --strict", 1, strictErrors.c_str()},
    };
    expect_cases(cases);
}

// The line named is the row's, also past comments, blank lines, carriage
// returns and a line that fills the reader's buffer to the last character.
TEST(CfgCheck, FindingsNameTheLineOfTheirRow) {
    const std::string longRow = "1f3d 7a0c 1c5a 5b0c B1 1.2.3" + std::string(471, ' ') + "\r\n";
    const std::string table =
        "table\r\n# comment\r\n\r\n! ven device subven subdev crv family\r\n" + longRow +
        "1f3d 7a0c 1c5a 5b0c A1 1.2.3\n";
    const CheckCase cases[] = {
        {"long line", table.c_str(), "", "", 1,
         "vxlkqfw.cfg: 2 entries\n"
         "note: line 1 ends in CR LF (5 lines do): the utility reads them, but save the table "
         "with LF line ends\n"
         "vxlkqfw.cfg:5: ven 1f3d device 7a0c subven 1c5a subdev 5b0c crv B1 family 1.2.3 (10203)\n"
         "vxlkqfw.cfg:6: ven 1f3d device 7a0c subven 1c5a subdev 5b0c crv A1 family 1.2.3 (10203)\n"
         "vxlkqfw.cfg:5: chip revision \"B1\" matches no adapter: adapters report theirs as two "
         "lower-case hex digits\n"
         "vxlkqfw.cfg:6: chip revision \"A1\" matches no adapter: adapters report theirs as two "
         "lower-case hex digits\n"},
    };
    expect_cases(cases);
}

}  // namespace
