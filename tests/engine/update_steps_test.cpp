// The decisions the engine runs and qik_plan shows: which steps an adapter
// function gets, and why the others are left.
#include "engine/update_steps.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/ext_phy_record.h"
#include "common/text.h"
#include "config/config.h"
#include "engine/nvram_backup.h"
#include "vpd/vpd.h"

namespace {

// A function 0 of a module-1 adapter whose bootcode is older than the
// table's and whose boot agent is newer; an NC-SI target it already has.
struct Card {
    ConfigEntry entry{};
    AdapterRecord record{};

    Card() {
        copy_text(entry.bcFile, "bc.bin");
        copy_text(entry.bcVersion, "7.10");
        copy_text(entry.btaFile, "bta.img");
        copy_text(entry.btaVersion, "7.1.0");
        copy_text(entry.ncsiFile, "ncsi.bin");
        copy_text(entry.ncsiVersion, "1.5.0");
        entry.familyTarget = 71003;
        entry.bcTarget = 71000;
        entry.btaTarget = 70100;
        entry.ncsiTarget = 10500;
        record.config = &entry;
        record.deviceId = 0x7A01;
        record.subDeviceId = 0x5B01;
        record.familyVersion = 70802;
        record.bcVersion = 70800;
        record.btaVersion = 70802;
        record.ncsiVersion = 10500;
    }

    std::vector<std::string> writes(bool force = false) {
        std::vector<std::string> out;
        for (const ToolStep& s : update_steps(process_working_directory(), record, force).writes)
            out.push_back(std::string(s.option) + " " + s.file);
        return out;
    }
};

TEST(UpdateSteps, WritesWhatIsOlderThenTheModule) {
    Card card;
    const UpdateSteps steps = update_steps(process_working_directory(), card.record, false);
    EXPECT_TRUE(steps.probe);
    EXPECT_TRUE(steps.programming);
    EXPECT_EQ(card.writes(), (std::vector<std::string>{"-bc bc.bin", "-m_pn modfam1.txt"}));
    ASSERT_EQ(steps.left.size(), 2u);
    EXPECT_EQ(steps.left[0].name, "boot agent");
    EXPECT_EQ(steps.left[0].why, "newer than the table's");
    EXPECT_EQ(steps.left[1].why, "current");
    EXPECT_EQ(steps.family, FamilyRoute::NvramVpd);
    // The module holds no version the plan could show beside the components.
    EXPECT_TRUE(steps.writes.front().component);
    EXPECT_FALSE(steps.writes.back().component);
    ASSERT_TRUE(steps.backup && steps.restore);
    EXPECT_EQ(std::string(steps.backup->option) + " " + steps.backup->file, "dump_nvram buimage");
    EXPECT_EQ(std::string(steps.restore->option) + " " + steps.restore->file,
              "restore_nvram buimage");
    // Forced, everything with a target is written.
    EXPECT_EQ(card.writes(true), (std::vector<std::string>{"-bc bc.bin", "-bta bta.img",
                                                           "-mgmt ncsi.bin", "-m_pn modfam1.txt"}));
}

TEST(UpdateSteps, WhyNothingIsProgrammed) {
    const struct {
        const char* name;
        void (*change)(Card&);
        std::string why;
    } cases[] = {
        {"another function", [](Card& c) { c.record.function = 1; },
         "function 0 of the adapter programs it"},
        {"no installed family", [](Card& c) { c.record.familyVersion = 0; },
         "no installed family version to compare"},
        {"no table family", [](Card& c) { c.entry.familyTarget = 0; },
         "no family version in the table"},
        {"older table family", [](Card& c) { c.entry.familyTarget = 70000; },
         "the table's family version is older"},
    };
    for (const auto& c : cases) {
        Card card;
        c.change(card);
        const UpdateSteps steps = update_steps(process_working_directory(), card.record, false);
        EXPECT_FALSE(steps.programming) << c.name;
        EXPECT_EQ(steps.notProgrammedWhy, c.why) << c.name;
        EXPECT_TRUE(steps.writes.empty()) << c.name;
        // Every component with a target is shown, with the reason.
        ASSERT_EQ(steps.left.size(), 3u) << c.name;
        EXPECT_EQ(steps.left[0].why, c.why) << c.name;
        EXPECT_EQ(update_steps(process_working_directory(), card.record, true).programming,
                  card.record.function == 0)
            << c.name;
    }
}

TEST(UpdateSteps, ExternalPhyAndFamilyRoute) {
    Card card;
    EXPECT_EQ(update_steps(process_working_directory(), card.record, false).noPhyWhy,
              "no external PHY");
    card.record.extPhy = std::make_unique<ExtPhyFirmware>();
    copy_text(card.record.extPhy->fileName, "phy.bin");
    EXPECT_EQ(update_steps(process_working_directory(), card.record, false).noPhyWhy,
              "its image names no PHY kind");
    copy_text(card.record.extPhy->fileName, "kxdd_phy.bin");
    copy_text(card.record.extPhy->currentVersion, "1.2");
    copy_text(card.record.extPhy->targetVersion, "1.2");
    EXPECT_EQ(update_steps(process_working_directory(), card.record, false).noPhyWhy, "current");
    copy_text(card.record.extPhy->targetVersion, "1.3");
    const UpdateSteps steps = update_steps(process_working_directory(), card.record, false);
    ASSERT_TRUE(steps.phy);
    EXPECT_EQ(steps.phy->file, "kxdd_phy.bin");
    EXPECT_EQ(steps.phy->from + " -> " + steps.phy->to, "1.2 -> 1.3");
    copy_text(card.record.familyVersionText, "7.8.2");
    copy_text(card.entry.family, "7.10.3");
    EXPECT_FALSE(update_steps(process_working_directory(), card.record, false).familyCurrent);
    copy_text(card.record.familyVersionText, "7.10.3");
    EXPECT_TRUE(update_steps(process_working_directory(), card.record, false).familyCurrent);
    card.record.extVpd = 1;
    const UpdateSteps templated = update_steps(process_working_directory(), card.record, false);
    EXPECT_EQ(templated.family, FamilyRoute::VpdTemplate);
    // Without a template the tool is never given the family version.
    EXPECT_FALSE(templated.familyNotWrittenWhy.empty());
    EXPECT_FALSE(templated.familyWrite);
    card.record.function = 2;
    EXPECT_EQ(update_steps(process_working_directory(), card.record, false).family,
              FamilyRoute::TakenFromFunction0);
    EXPECT_FALSE(update_steps(process_working_directory(), card.record, false).probe);
}

// The engine runs these lines and the plan shows them: force reaches every
// write, never the probe, backup or restore.
TEST(UpdateSteps, EveryStepCarriesTheCommandItRuns) {
    Card card;
    copy_text(card.record.macText, "0a1b2c3d4e5f");
    for (const bool force : {false, true}) {
        const UpdateSteps steps = update_steps(process_working_directory(), card.record, force);
        const std::string prefix = "./nicflsh 0a1b2c3d4e5f ";
        const std::string upgrade = prefix + "upgrade -noreset " + (force ? "-F " : "");
        EXPECT_EQ(steps.probe->command, prefix + "dir >/dev/null 2>&1");
        EXPECT_EQ(steps.backup->command, prefix + "dumpnvram buimage >/dev/null 2>&1");
        EXPECT_EQ(steps.restore->command, prefix + "restorenvram buimage >/dev/null 2>&1");
        EXPECT_EQ(steps.writes.front().command, upgrade + "-bc bc.bin >/dev/null 2>&1");
        EXPECT_EQ(steps.writes.back().command, upgrade + "-m_pn modfam1.txt >/dev/null 2>&1");
    }
}

TEST(UpdateSteps, WhatIsLeftAloneAndTheCodeItReports) {
    const struct {
        const char* name;
        uint32_t function;
        uint32_t status;
        std::optional<uint32_t> function0Status;
        std::optional<ResultCode> code;
        bool byFunction0;
    } cases[] = {
        {"function 0 goes on", 0, 0, std::nullopt, std::nullopt, false},
        {"unreadable firmware", 0, 10, std::nullopt, ResultCode::AdapterListFailed, false},
        {"after a function 0 that succeeded", 1, 0, 0, std::nullopt, false},
        {"after a function 0 not yet handled", 1, 0, std::nullopt, std::nullopt, false},
        {"after a failed function 0", 1, 0, 14, ResultCode::RestoreFailed, true},
        {"its own unreadable firmware first", 1, 10, 9, ResultCode::AdapterListFailed, false},
        // A second function 0 at the location is no function after it.
        {"function 0 after another", 0, 0, 9, std::nullopt, false},
    };
    for (const auto& c : cases) {
        AdapterRecord r{};
        r.function = c.function;
        r.status = c.status;
        const std::optional<LeftAlone> alone = left_alone_before_steps(r, c.function0Status);
        ASSERT_EQ(alone.has_value(), c.code.has_value()) << c.name;
        if (!alone) continue;
        EXPECT_EQ(alone->code, *c.code) << c.name;
        EXPECT_EQ(alone->byFunction0, c.byFunction0) << c.name;
    }
    // An extended VPD that could not be read leaves it alone after the probe.
    Card card;
    EXPECT_FALSE(update_steps(process_working_directory(), card.record, false).leftAloneAfterProbe);
    card.record.familyVersion = FamilyVersionUnavailable;
    const UpdateSteps steps = update_steps(process_working_directory(), card.record, false);
    EXPECT_TRUE(steps.probe);
    EXPECT_EQ(steps.leftAloneAfterProbe, ResultCode::FamilyWriteFailed);
}

// The files the steps need are looked at through the working directory.
struct FakeDirectory {
    static inline std::string unusable;  // the one name access(2) refuses
    static inline EntryKind backupNote = EntryKind::None;

    static WorkingDirectory table() {
        WorkingDirectory d = process_working_directory();
        d.accessible = [](const char* name, int) { return unusable != name; };
        d.kind_of = [](const char* name) -> EntryKind {
            return std::string_view(name) == BuImageMacName ? backupNote : EntryKind::None;
        };
        return d;
    }
};

TEST(UpdateSteps, NamesTheFirstStepItsDirectoryCannotServe) {
    const struct {
        const char* unusable;
        EntryKind backupNote;
        const char* failingStep;  // null when every step can run
        const char* why;
    } cases[] = {
        {"", EntryKind::None, nullptr, ""},
        {"./nicflsh", EntryKind::None, "back up NVRAM", "./nicflsh cannot be run"},
        {"bc.bin", EntryKind::RegularFile, "bootcode", "bc.bin cannot be read"},
        {"modfam1.txt", EntryKind::None, "part number module", "modfam1.txt cannot be read"},
        {"", EntryKind::Directory, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.unusable);
        FakeDirectory::unusable = c.unusable;
        FakeDirectory::backupNote = c.backupNote;
        Card card;
        const UpdateSteps steps = update_steps(FakeDirectory::table(), card.record, false);
        ASSERT_EQ(steps.failing.has_value(), c.failingStep != nullptr);
        EXPECT_EQ(steps.noBackupWhy.empty(), c.backupNote != EntryKind::Directory);
        if (!steps.failing) continue;
        EXPECT_EQ(steps.failing->step, c.failingStep);
        EXPECT_EQ(steps.failing->why, c.why);
        EXPECT_EQ(steps.failing->code, ResultCode::ToolErrorRestored);
    }
}

}  // namespace
