// The configuration table end to end: which row an adapter gets, how the run
// ends on a table it cannot read, and what qik_cfgcheck says about the same
// table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

const std::string TableName = "vxlkqfw.cfg";

ProcessResult run_cfgcheck(const Scratch& s, const std::vector<std::string>& args = {}) {
    return run_process(s.dir(), QIK_CFGCHECK_PATH, args);
}

// A line of a table (1-based) and what replaces it.
struct LineEdit {
    std::size_t number;
    std::string text;
};

std::string edited(const std::string& table, const std::vector<LineEdit>& edits) {
    std::vector<std::string> lines = lines_of(table);
    for (const LineEdit& edit : edits) lines.at(edit.number - 1) = edit.text;
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string crlf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// The LOM row of the demo table, family last, with its first columns given.
std::string lom_row(const std::string& ids, const std::string& bc, const std::string& family) {
    return ids + " " + bc +
           " bta_7a01_7103.img,7.10.3 ncsi_7a01_150.bin,1.5.0 ib6bt_7a01_7103.bin,7.10.3 "
           "Kestrel_KS2200 " +
           family;
}

}  // namespace

// An adapter gets the first row whose four IDs and chip revision text all
// match, in a table written with CRLF line ends.
TEST(Config, AdapterGetsTheFirstRowMatchingAllItsIds) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const std::string lom = "1f3d 7a01 1c5a 5b01 b2";
    s.write_file(
        TableName,
        crlf({"Kestrel KS2200, written on another system",
              "# Rows that differ from the LOM in one ID come first; a later duplicate last.",
              "! ven device subven subdev crv bc bta ncsi iscsib SystemName family",
              lom_row("1f3e 7a01 1c5a 5b01 b2", "decoy_ven.bin,9.9.9", "9.0.1"),
              lom_row("1f3d 7a02 1c5a 5b01 b2", "decoy_device.bin,9.9.9", "9.0.2"),
              lom_row("1f3d 7a01 1c5b 5b01 b2", "decoy_subven.bin,9.9.9", "9.0.3"),
              lom_row("1f3d 7a01 1c5a 5b02 b2", "decoy_subdev.bin,9.9.9", "9.0.4"),
              lom_row("1f3d 7a01 1c5a 5b01 B2", "decoy_crv.bin,9.9.9", "9.0.5"),
              lom_row(lom, "bc_7a01_0710.bin,7.10", "7.10.3"),
              lom_row(lom, "decoy_later.bin,9.9.9", "9.0.6"), "",
              "! ven device subven subdev crv family bc uefi ipmi cfx extphy VPD SystemName",
              "1f3d 7a06 1c5a 5b06 a0 2.4.1 mfw_7a06_0212.bin,2.12 uefi_7a06_821.efi,8.2.1 "
              "ipmi_7a06_320.bin,3.2.0 cfx_7a06_102.bin,1.0.2 kxbb_phy_0106.bin,0x0106 "
              "vpd_7a06.txt,2.4.1 Kestrel_KS2200"}));

    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_THAT(r.toolLog,
                HasSubstr("001c5a100000 upgrade -noreset -bc bc_7a01_0710.bin => exit 0"));
    EXPECT_THAT(r.toolLog, Not(HasSubstr("decoy")));
    // The family ends its row, so it ended with the carriage return too.
    std::size_t lomDevices = 0, addinDevices = 0;
    for (const std::string& line : lines_of(r.resultXml)) {
        if (line.find("<Package version=") == std::string::npos) continue;
        lomDevices += line == "\t\t\t<Package version=\"7.10.3\"/>";
        addinDevices += line == "\t\t\t<Package version=\"2.4.1\"/>";
    }
    EXPECT_EQ(lomDevices, 4u);
    EXPECT_EQ(addinDevices, 2u);
    EXPECT_THAT(r.resultXml, Not(HasSubstr("result=\"false\"")));
}

// Any line the reader refuses ends the run with code 3 before the library is
// initialised, even when the rows before it were good; qik_cfgcheck names
// the line.
TEST(Config, UnreadableTableEndsTheRunBeforeTheLibraryAndTheCheckerNamesTheLine) {
    struct Case {
        const char* what;
        std::vector<LineEdit> edits;  // on the demo table; none: there is no table
        std::string diagnostic;       // what qik_cfgcheck's message starts with
    };
    const Case cases[] = {
        {"header names an unknown column",
         {{12, "! ven device subven subdev crv family bc uefi ipmi cfx extPhy VPD SystemName"}},
         "vxlkqfw.cfg:12: "},
        {"pair token without a comma",
         {{13,
           "1f3d 7a06 1c5a 5b06 a0 2.4.1 mfw_7a06_0212.bin,2.12 uefi_7a06_821.efi,8.2.1 "
           "ipmi_7a06_320.bin,3.2.0 "
           "cfx_7a06_102.bin1.0.2 kxbb_phy_0106.bin,0x0106 vpd_7a06.txt,2.4.1 Kestrel_KS2200"}},
         "vxlkqfw.cfg:13: "},
        {"data row short of a column",
         {{7,
           "1f3d 7a01 1c5a 5b01 b2 7.10.3 bc_7a01_0710.bin,7.10 bta_7a01_7103.img,7.10.3 "
           "ncsi_7a01_150.bin,1.5.0 "
           "ib6bt_7a01_7103.bin,7.10.3"}},
         "vxlkqfw.cfg:7: "},
        {"line of blanks under a header", {{8, "   \t"}}, "vxlkqfw.cfg:8: "},
        {"image file name longer than its field",
         {{13,
           "1f3d 7a06 1c5a 5b06 a0 2.4.1 mfw_7a06_0212.bin,2.12 uefi_7a06_821.efi,8.2.1 "
           "ipmi_7a06_320.bin,3.2.0 "
           "cfx_7a06_102.bin,1.0.2 kxbb_phy_0106_with_long_name.bin,0x0106 vpd_7a06.txt,2.4.1 "
           "Kestrel_KS2200"}},
         "vxlkqfw.cfg:13: "},
        {"vendor ID without a hex digit",
         {{7,
           "zz3d 7a01 1c5a 5b01 b2 7.10.3 bc_7a01_0710.bin,7.10 bta_7a01_7103.img,7.10.3 "
           "ncsi_7a01_150.bin,1.5.0 "
           "ib6bt_7a01_7103.bin,7.10.3 Kestrel_KS2200"}},
         "vxlkqfw.cfg:7: "},
        // The add-in row commented out behind a long note: read 499
        // characters at a time, the row would be live again.
        {"comment longer than a line read",
         {{13, "#" + std::string(497, '-') +
                   " 1f3d 7a06 1c5a 5b06 a0 2.4.1 mfw_7a06_0212.bin,2.12 uefi_7a06_821.efi,8.2.1 "
                   "ipmi_7a06_320.bin,3.2.0 cfx_7a06_102.bin,1.0.2 kxbb_phy_0106.bin,0x0106 "
                   "vpd_7a06.txt,2.4.1 Kestrel_KS2200"}},
         "vxlkqfw.cfg:13: line is too long"},
        {"no data row", {{7, "# the LOM row"}, {13, "# the add-in row"}}, "vxlkqfw.cfg: "},
        {"no table", {}, "vxlkqfw.cfg: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch s(demo_bench());
        copy_demo_files(s);
        if (c.edits.empty())
            s.remove_file(TableName);
        else
            s.write_file(TableName, edited(s.read_file(TableName), c.edits));

        const RunResult r = s.run();
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.resultXml, error_form(3));
        EXPECT_THAT(r.libraryTrace, HasSubstr("AdpmGetVersion()=0"));
        EXPECT_THAT(r.libraryTrace, Not(HasSubstr("AdpmInitialize")));
        EXPECT_TRUE(r.inventoryLogExists);
        EXPECT_EQ(r.inventoryLog, "");
        EXPECT_EQ(r.toolLog, "");

        const ProcessResult check = run_cfgcheck(s);
        EXPECT_EQ(check.exitStatus, 1);
        EXPECT_EQ(check.stdoutText, "");
        EXPECT_THAT(check.stderrText, StartsWith(c.diagnostic));
        EXPECT_EQ(lines_of(check.stderrText).size(), 1u) << check.stderrText;
    }
}

TEST(Config, CheckerSummarisesAGoodTable) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {TableName}}) {
        const ProcessResult check = run_cfgcheck(s, args);
        EXPECT_EQ(check.exitStatus, 0);
        EXPECT_EQ(check.stderrText, "");
        const std::vector<std::string> lines = lines_of(check.stdoutText);
        ASSERT_EQ(lines.size(), 3u) << check.stdoutText;
        EXPECT_EQ(lines[0], "vxlkqfw.cfg: 2 entries");
        EXPECT_THAT(lines[1], StartsWith("vxlkqfw.cfg:7: ven 1f3d device 7a01 subven 1c5a subdev "
                                         "5b01 crv b2 family 7.10.3"));
        EXPECT_THAT(lines[1], HasSubstr("bc bc_7a01_0710.bin 7.10 (71000)"));
        EXPECT_THAT(lines[2], StartsWith("vxlkqfw.cfg:13: ven 1f3d device 7a06 subven 1c5a subdev "
                                         "5b06 crv a0 family 2.4.1"));
    }
}
