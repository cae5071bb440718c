// The demo server of examples/demo, run the way scripts/demo runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"

using ::testing::HasSubstr;
using ::testing::Not;

TEST(Demo, TwoRunsGiveWellFormedResultsAndTheSecondWritesNoComponent) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const RunResult first = s.run();
    EXPECT_TRUE(first.resultFileExists);
    EXPECT_TRUE(well_formed_xml(first.resultXml)) << first.resultXml;

    const RunResult second = s.run();
    EXPECT_TRUE(well_formed_xml(second.resultXml)) << second.resultXml;
    // Everything the first run programmed is current now: no component, PHY
    // or pre-boot configuration write (the backup, the part-number module
    // and the family version are written on every run that matches).
    for (const char* option : {" -bc ", " -mfw1 ", " -bta ", " -mgmt ", " -qmx ", " -ib ", " -ib_ipv4n6 ",
                               " -feb ", " -cfx ", " prg ", " phy "})
        EXPECT_THAT(second.toolLog, Not(HasSubstr(option))) << second.toolLog;
    // The disabled function is disabled again after every run.
    EXPECT_FALSE(second.bench["functions"][5]["enabled"].get<bool>());
}
