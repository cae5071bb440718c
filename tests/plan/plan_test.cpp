// What qik_plan makes of a server: the steps update_steps decides, and the
// outcome per function, from hand-made records in a scratch directory.
#include "plan/plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "adpm/adpm.h"
#include "common/result_code.h"
#include "common/text.h"
#include "support/scratch_dir.h"
#include "vpd/vpd.h"

namespace {

// One adapter on bus 3 (a module-1 card) with functions 0 and 1, whose
// bootcode is older than the table's.
struct Server {
    ScratchDir dir;
    ConfigList table = read_config_text(
        "t\n! ven device subven subdev crv family bc VPD\n"
        "1 7a01 1 5b01 a0 7.10.3 bc.bin,7.10 vpd.tpl,1\n");
    Plan plan;

    Server() {
        // What the run needs beside the table, bar the VPD template.
        ScratchDir::write("bc.bin", "image");
        ScratchDir::write("modfam1.txt", "module");
        ScratchDir::write("nicflsh", "#!/bin/sh\n");
        std::filesystem::permissions("nicflsh", std::filesystem::perms::owner_exec,
                                     std::filesystem::perm_options::add);
        plan.records.reserve(2);
        add(0);
        add(1);
    }

    void add(uint32_t function) {
        AdapterRecord& r = plan.records.emplace_back();
        r.adapterType = AdapterTypeHandled;
        r.selected = 1;
        r.wasEnabled = 1;
        r.vendorId = r.subVendorId = 1;
        r.deviceId = 0x7A01;
        r.subDeviceId = 0x5B01;
        r.bus = 3;
        r.function = function;
        copy_text(r.chipRevText, "a0");
        copy_text(r.serviceName, "eth" + std::to_string(function));
        copy_text(r.macText, "0a1b2c3d4e0" + std::to_string(function));
        copy_text(r.familyVersionText, "7.8.2");
        r.familyVersion = 70802;
        copy_text(r.bcVersionText, "7.08");
        r.bcVersion = 70800;
        r.config = table.head();
    }

    const FunctionPlan& function(std::size_t i) {
        if (plan.functions.empty()) plan_functions(plan, table);
        return plan.functions.at(i);
    }
};

std::vector<std::string> step_names(const FunctionPlan& f) {
    std::vector<std::string> names;
    for (const PlannedStep& s : f.steps) names.push_back(s.step);
    return names;
}

TEST(Plan, FunctionZeroProgramsAndTheOtherSharesItsOutcome) {
    Server server;
    const FunctionPlan& f0 = server.function(0);
    EXPECT_EQ(f0.outcome, PlanOutcome::Update);
    EXPECT_EQ(step_names(f0), (std::vector<std::string>{"probe", "back up NVRAM", "bootcode",
                                                        "part number module", "family version"}));
    EXPECT_EQ(f0.steps[1].command, "./nicflsh 0a1b2c3d4e00 dumpnvram buimage >/dev/null 2>&1");
    EXPECT_NE(f0.onFailedWrite.find("restorenvram buimage"), std::string::npos);
    // The module holds no version: it is a step, never a component.
    ASSERT_EQ(f0.components.size(), 1u);
    EXPECT_EQ(f0.components[0].name, "bootcode");
    const FunctionPlan& f1 = server.function(1);
    EXPECT_TRUE(f1.steps.empty());
    EXPECT_EQ(f1.outcome, PlanOutcome::Update);
}

// Each with the code the run reports for the function, and the steps it
// still shows (function 0's probe runs before the extended VPD is read).
TEST(Plan, WhyAFunctionIsLeftAlone) {
    const struct {
        const char* name;
        void (*change)(Server&);
        std::size_t function;
        std::string why;
        ResultCode code;
        std::vector<std::string> steps;
    } cases[] = {
        {"kept backup",
         [](Server&) { ScratchDir::write("buimage_0a1b2c3d4e00", "nvram"); },
         0,
         "(result 14)",
         ResultCode::RestoreFailed,
         {}},
        {"kept backup, another function",
         [](Server&) { ScratchDir::write("buimage_0a1b2c3d4e00", "nvram"); },
         1,
         "its adapter's NVRAM backup is kept",
         ResultCode::RestoreFailed,
         {}},
        {"left-over backup",
         [](Server&) {
             ScratchDir::write("buimage", "nvram");
             ScratchDir::write("buimage.mac", "0a1b2c3d4e00\n");
         },
         0,
         "an earlier run's",
         ResultCode::RestoreFailed,
         {}},
        {"unreadable firmware",
         [](Server& s) { s.plan.records[0].status = code_of(ResultCode::AdapterListFailed); },
         0,
         "(result 10)",
         ResultCode::AdapterListFailed,
         {}},
        {"function 0 left alone",
         [](Server& s) { s.plan.records[0].status = code_of(ResultCode::AdapterListFailed); },
         1,
         "its function 0 is left alone",
         ResultCode::AdapterListFailed,
         {}},
        {"unreadable extended VPD",
         [](Server& s) { s.plan.records[0].familyVersion = FamilyVersionUnavailable; },
         0,
         "(result 13)",
         ResultCode::FamilyWriteFailed,
         {"probe"}},
    };
    for (const auto& c : cases) {
        Server server;
        c.change(server);
        const FunctionPlan& f = server.function(c.function);
        EXPECT_EQ(f.outcome, PlanOutcome::LeftAlone) << c.name;
        EXPECT_NE(f.why.find(c.why), std::string::npos) << c.name << ": " << f.why;
        EXPECT_EQ(f.reportedCode, c.code) << c.name;
        EXPECT_EQ(step_names(f), c.steps) << c.name;
    }
}

// A step that needs a file it cannot have fails on every adapter the run
// gives it: the plan names the file, and the code of function 0 and the
// functions that report its outcome.
TEST(Plan, NamesTheFileAFailingStepCannotHave) {
    const struct {
        const char* name;
        void (*change)(Server&);
        std::string why;
        ResultCode code;
    } cases[] = {
        {"image", [](Server&) { std::filesystem::remove("bc.bin"); },
         "bootcode: bc.bin cannot be read (result 9)", ResultCode::ToolErrorRestored},
        {"module file", [](Server&) { std::filesystem::remove("modfam1.txt"); },
         "part number module: modfam1.txt cannot be read (result 9)",
         ResultCode::ToolErrorRestored},
        {"tool", [](Server&) { std::filesystem::remove("nicflsh"); },
         "back up NVRAM: ./nicflsh cannot be run (result 9)", ResultCode::ToolErrorRestored},
        {"VPD template", [](Server& s) { s.plan.records[0].extVpd = 1; },
         "family version: the VPD template vpd.tpl cannot be read (result 13)",
         ResultCode::FamilyWriteFailed},
    };
    for (const auto& c : cases) {
        Server server;
        c.change(server);
        const FunctionPlan& f0 = server.function(0);
        EXPECT_EQ(f0.outcome, PlanOutcome::WouldFail) << c.name;
        EXPECT_EQ(f0.why, c.why) << c.name;
        const FunctionPlan& f1 = server.function(1);
        EXPECT_EQ(f1.outcome, PlanOutcome::WouldFail) << c.name;
        EXPECT_EQ(f1.why,
                  "its function 0 would fail at " + c.why + ", so it runs no step of its own")
            << c.name;
        EXPECT_EQ(f1.reportedCode, c.code) << c.name;
    }
}

// Function 0 writes a lower family version over a higher one without
// programming anything; the plan warns once, on the function that writes.
TEST(Plan, WarnsOfALowerFamilyVersion) {
    Server server;
    copy_text(server.plan.records[0].familyVersionText, "7.11.0");
    server.plan.records[0].familyVersion = 71100;
    const FunctionPlan& f0 = server.function(0);
    EXPECT_NE(f0.warning.find("7.10.3 is lower than the installed 7.11.0"), std::string::npos)
        << f0.warning;
    EXPECT_EQ(server.function(1).warning, "");
}

// A row for another adapter, and one for another revision of this one.
TEST(Plan, ListsTheRowsThatMatchNoAdapter) {
    Server server;
    server.table = read_config_text(
        "t\n! ven device subven subdev crv family bc\n"
        "1 7a01 1 5b01 a0 7.10.3 bc.bin,7.10\n"
        "1 7a02 1 5b03 a0 7.10.3 bc.bin,7.10\n"
        "1 7a01 1 5b01 b0 7.10.3 bc.bin,7.10\n");
    for (AdapterRecord& r : server.plan.records) r.config = server.table.head();
    server.function(0);
    ASSERT_EQ(server.plan.unmatchedRows.size(), 2u);
    EXPECT_EQ(server.plan.unmatchedRows[0].row, 2u);
    EXPECT_EQ(server.plan.unmatchedRows[0].line, 4u);
    EXPECT_EQ(server.plan.unmatchedRows[0].ids, "0001 7a02 0001 5b03");
    EXPECT_EQ(server.plan.unmatchedRows[1].row, 3u);
    EXPECT_EQ(server.plan.unmatchedRows[1].chipRevision, "b0");
}

// Written or not, the components are listed in the table's order.
TEST(Plan, ListsTheComponentsInTableOrder) {
    Server server;
    server.table = read_config_text(
        "t\n! ven device subven subdev crv family bc bta\n"
        "1 7a01 1 5b01 a0 7.10.3 bc.bin,7.08 bc.bin,7.10.3\n");
    AdapterRecord& r = server.plan.records[0];
    r.config = server.plan.records[1].config = server.table.head();
    copy_text(r.btaVersionText, "7.8.2");
    r.btaVersion = 70802;
    const FunctionPlan& f0 = server.function(0);
    ASSERT_EQ(f0.components.size(), 2u);
    EXPECT_EQ(f0.components[0].name, "bootcode");
    EXPECT_EQ(f0.components[0].action, "current");
    EXPECT_EQ(f0.components[1].name, "boot agent");
    EXPECT_EQ(f0.components[1].action, "update");
}

// The plan shows the lines the run gives the tool: forced, every write
// carries the tool's force prefix; the backup and the probe never do.
TEST(Plan, ForceReachesEveryWrite) {
    Server server;
    server.plan.force = true;
    const FunctionPlan& f0 = server.function(0);
    ASSERT_EQ(f0.steps.size(), 5u);
    EXPECT_EQ(f0.steps[0].command, "./nicflsh 0a1b2c3d4e00 dir >/dev/null 2>&1");
    EXPECT_EQ(f0.steps[1].command, "./nicflsh 0a1b2c3d4e00 dumpnvram buimage >/dev/null 2>&1");
    EXPECT_EQ(f0.steps[2].command,
              "./nicflsh 0a1b2c3d4e00 upgrade -noreset -F -bc bc.bin >/dev/null 2>&1");
    EXPECT_EQ(f0.steps[3].command,
              "./nicflsh 0a1b2c3d4e00 upgrade -noreset -F -m_pn modfam1.txt >/dev/null 2>&1");
}

// A disabled function cannot read its own firmware; it takes its function 0's.
TEST(Plan, ADisabledFunctionReadsThroughItsFunctionZero) {
    Server server;
    AdapterRecord& r = server.plan.records[1];
    r.wasEnabled = 0;
    r.status = code_of(ResultCode::AdapterListFailed);
    r.bcVersion = 0;
    const FunctionPlan& f1 = server.function(1);
    EXPECT_FALSE(f1.enabled);
    EXPECT_NE(f1.readThrough.find("eth0"), std::string::npos);
    EXPECT_EQ(r.bcVersion, 70800u);
    EXPECT_EQ(f1.outcome, PlanOutcome::Update);
}

}  // namespace
