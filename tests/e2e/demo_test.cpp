// The demo server of examples/demo, run the way scripts/demo runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"

using ::testing::HasSubstr;
using ::testing::Not;

TEST(Demo, FirstRunProgramsEverythingAndTheSecondFindsItCurrent) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const RunResult first = s.run();
    EXPECT_EQ(first.exitStatus, 0);
    EXPECT_TRUE(well_formed_xml(first.resultXml)) << first.resultXml;
    EXPECT_THAT(first.resultXml, Not(HasSubstr("result=\"false\"")));
    for (const char* command : {"001c5a100000 upgrade -noreset -bc bc_7a01_0710.bin => exit 0",
                                "001c5a100000 upgrade -noreset -ib_ipv4n6 ib6bt_7a01_7103.bin => exit 0",
                                "001c5a400000 upgrade -noreset -mfw1 mfw_7a06_0212.bin => exit 0",
                                "001c5a400000 upgrade -noreset -bta uefi_7a06_821.efi => exit 0",
                                "001c5a400000 prg -cfx cfx_7a06_102.bin => exit 0",
                                "001c5a400000 upgrade -noreset phy kxbb_phy_0106.bin => exit 0",
                                "001c5a400000 upgrade -noreset -vpd VpdUpdate.txt => exit 0"})
        EXPECT_THAT(first.toolLog, HasSubstr(command));

    const RunResult second = s.run();
    EXPECT_EQ(second.exitStatus, 0);
    EXPECT_TRUE(well_formed_xml(second.resultXml)) << second.resultXml;
    // The installed family versions are the table's now.
    EXPECT_THAT(second.resultXml, HasSubstr("version=\"7.10.3\" display=\"Vexlor VX7A01"));
    EXPECT_THAT(second.resultXml, HasSubstr("version=\"2.4.1\" display=\"Vexlor VX7A06"));
    // No component, PHY or pre-boot configuration write: only the backup,
    // the part-number modules and the family versions, made on every run.
    for (const char* option : {" -bc ", " -mfw1 ", " -bta ", " -mgmt ", " -qmx ", " -ib ", " -ib_ipv4n6 ",
                               " -feb ", " -cfx ", " prg ", " phy "})
        EXPECT_THAT(second.toolLog, Not(HasSubstr(option))) << second.toolLog;
    // The function the run enabled is disabled again.
    EXPECT_FALSE(second.bench["functions"][5]["enabled"].get<bool>());
}

TEST(Demo, AFailedWriteIsUndoneByTheRestore) {
    nlohmann::json bench = demo_bench();
    bench["tool"]["faults"] = {{{"option", "-mgmt"}, {"adapter", "lom"}, {"exit", 9}, {"scribble", true}}};
    Scratch s(bench);
    copy_demo_files(s);
    const std::vector<uint8_t> nvram = s.nvram("lom");
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 0x10);
    EXPECT_THAT(r.toolLog, HasSubstr("001c5a100000 upgrade -noreset -mgmt ncsi_7a01_150.bin => exit 9 (injected)\n"
                                     "./nicflsh 001c5a100000 restorenvram buimage => exit 0\n"));
    // The bootcode and boot agent written before the failure are gone again.
    EXPECT_EQ(s.nvram("lom"), nvram);
    EXPECT_EQ(r.bench["adapters"]["lom"]["firmware"]["bootcode"], "7.8");
    EXPECT_EQ(r.bench["adapters"]["lom"]["firmware"]["bta"], "7.8.2");
    EXPECT_THAT(r.resultXml, HasSubstr("<Message id=\"9\">"));
    // The other adapter is updated all the same.
    EXPECT_EQ(r.bench["adapters"]["addin"]["firmware"]["uefi"], "8.2.1");
}
