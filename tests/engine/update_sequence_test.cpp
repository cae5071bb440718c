#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "common/working_directory.h"
#include "config/components.h"
#include "config/config.h"
#include "engine/ext_phy.h"
#include "engine/nvram_backup.h"
#include "engine/update_sequence.h"
#include "support/fake_adpm.h"
#include "support/scratch_dir.h"
#include "support/tool_script.h"
#include "vpd/vpd.h"

namespace {

using Steps = std::vector<std::string>;

// A command as the step it stands for: "probe", "dump", "restore", or the
// option and file the tool is given ("-bc bc.bin", "prg -cfx cfx.bin").
std::string step_of(const std::string& command) {
    if (command.find(" dir ") != std::string::npos) return "probe";
    if (command.find(" dumpnvram ") != std::string::npos) return "dump";
    if (command.find(" restorenvram ") != std::string::npos) return "restore";
    std::string step = command.substr(0, command.find(" >/dev/null"));
    for (const std::string prefix : {" upgrade -noreset ", " prg "}) {
        const std::size_t at = step.find(prefix);
        if (at != std::string::npos)
            step = (prefix == " prg " ? "prg " : "") + step.substr(at + prefix.size());
    }
    return starts_with(step, "-F ") ? step.substr(3) : step;
}

// One server for one case: a scratch working directory, the fake library,
// the scripted tool, one configuration entry and the adapter records. The
// run reaches the directory through `directory`, whose operations a case may
// replace, and watches `stop`.
struct Bench {
    Bench() {
        install_fake_adpm();
        records.reserve(8);
        fill_entry(entry);
        ScratchDir::write("vpd.tpl", "V0=Text,\"FFV7.10.3\"\n");
        // The tool leaves its backup read-only; the engine must still remove it.
        tool.on_run([](const std::string& command) {
            if (command.find("dumpnvram") == std::string::npos) return;
            ScratchDir::write("buimage", "nvram");
            std::filesystem::permissions("buimage", std::filesystem::perms::owner_read);
        });
    }

    // Every component names an image and a target newer than what
    // add_function installs.
    static void fill_entry(ConfigEntry& e) {
        copy_text(e.family, "7.12.0");
        copy_text(e.vpdFile, "vpd.tpl");
        copy_text(e.qmxFile, "none0000.000");
        const std::pair<char(*)[32], const char*> files[] = {
            {&e.bcFile, "bc.bin"},     {&e.btaFile, "bta.bin"},   {&e.uefiFile, "uefi.bin"},
            {&e.ncsiFile, "ncsi.bin"}, {&e.ipmiFile, "ipmi.bin"}, {&e.iscsibFile, "ib.bin"},
            {&e.fcoebFile, "feb.bin"}, {&e.cfxFile, "cfx.bin"},
        };
        for (const auto& [field, name] : files) copy_text(*field, name);
        e.familyTarget = 71200;
        for (uint32_t* target : {&e.bcTarget, &e.btaTarget, &e.ncsiTarget, &e.ipmiTarget,
                                 &e.iscsibTarget, &e.fcoebTarget, &e.cfxTarget})
            *target = 20000;
    }

    // A matched function on the extended VPD route with every component older
    // than the entry's, at device 0 of `bus`.
    AdapterRecord& add_function(uint32_t function, uint32_t bus = 3) {
        const uint32_t handle = static_cast<uint32_t>(records.size()) + 1;
        FakeFunction f;
        f.handle = handle;
        f.extVpd = std::vector<uint8_t>(68, 0x11);
        fake_adpm().functions.push_back(f);

        AdapterRecord& r = records.emplace_back();
        r.handle = handle;
        r.adapterType = 2;
        r.function = function;
        r.bus = bus;
        r.deviceId = 0x7A0B;
        r.subDeviceId = 0x5B10;
        r.familyVersion = 71000;
        r.extVpd = 1;
        copy_text(r.macText, "0a1b2c3d4e0" + std::to_string(handle));
        for (uint32_t* installed : {&r.bcVersion, &r.btaVersion, &r.ncsiVersion, &r.ipmiVersion,
                                    &r.iscsibVersion, &r.fcoebVersion, &r.cfxVersion})
            *installed = 10000;
        r.config = &entry;
        return r;
    }

    // Installs every component at the entry's target.
    AdapterRecord& add_current_function(uint32_t function, uint32_t bus = 3) {
        AdapterRecord& r = add_function(function, bus);
#define QIK_INSTALL_TARGET(key, ...) r.key##Version = entry.key##Target;
        QIK_COMPONENTS(QIK_INSTALL_TARGET)
#undef QIK_INSTALL_TARGET
        return r;
    }

    int run(bool force = false) {
        const RunContext context{
            .adpm = fake_adpm().api,
            .tools = tool.runner(),
            .directory = directory,
            .stopRequested = stop,
            .force = force,
            .progress = Progress(),
            .vpdDiagnostics = stdout,
            .result = nullptr,
            .inventoryLog = nullptr,
        };
        return run_updates(context, records);
    }

    Steps steps() const {
        Steps out;
        for (const std::string& c : tool.commands()) out.push_back(step_of(c));
        return out;
    }

    // What the tool wrote between the backup and the family step.
    Steps component_steps() const {
        Steps out;
        for (const std::string& s : steps())
            if (s != "probe" && s != "dump" && s != "-vpd VpdUpdate.txt") out.push_back(s);
        return out;
    }

    ScratchDir dir;
    ToolScript tool;
    WorkingDirectory directory = process_working_directory();
    volatile std::sig_atomic_t stop = 0;
    ConfigEntry entry{};
    std::vector<AdapterRecord> records;
};

const Steps AllComponents = {"-bc bc.bin", "-bta bta.bin", "-mgmt ncsi.bin", "-mgmt ipmi.bin",
                             "-ib ib.bin", "-feb feb.bin", "-cfx cfx.bin"};

TEST(UpdateSequence, ProgramsEveryOutOfDateComponentInOrder) {
    Bench bench;
    AdapterRecord& r = bench.add_function(0);
    EXPECT_EQ(bench.run(), 0);
    Steps expected = {"probe", "dump"};
    expected.insert(expected.end(), AllComponents.begin(), AllComponents.end());
    expected.push_back("-vpd VpdUpdate.txt");
    EXPECT_EQ(bench.steps(), expected);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(fake_adpm().calls_of("AdpmGetExtVPD"), Steps{"AdpmGetExtVPD(1,512)=0"});
    EXPECT_EQ(ScratchDir::read("VpdUpdate.txt"), "V0=Text,\"FFV7.12.0\"\n ");
    EXPECT_FALSE(ScratchDir::exists("buimage"));
}

TEST(UpdateSequence, ComponentChoices) {
    using Change = std::function<void(ConfigEntry&, AdapterRecord&)>;
    const struct {
        const char* name;
        Change change;
        bool force;
        Steps components;
    } cases[] = {
        {"all current", [](ConfigEntry&, AdapterRecord&) {}, 0, {}},
        {"installed newer, forced", [](ConfigEntry&, AdapterRecord& r) { r.bcVersion = 30000; }, 1,
         AllComponents},
        {"no target, even forced",
         [](ConfigEntry& e, AdapterRecord&) {
             e.bcTarget = e.btaTarget = e.ncsiTarget = e.ipmiTarget = e.iscsibTarget =
                 e.fcoebTarget = 0;
         },
         1,
         {"-cfx cfx.bin"}},
        {"bootcode image of the mf kind",
         [](ConfigEntry& e, AdapterRecord& r) {
             copy_text(e.bcFile, "mfw_boot.bin");
             r.bcVersion = 1;
         },
         0,
         {"-mfw1 mfw_boot.bin"}},
        {"Mf is not mf",
         [](ConfigEntry& e, AdapterRecord& r) {
             copy_text(e.bcFile, "Mfw_boot.bin");
             r.bcVersion = 1;
         },
         0,
         {"-bc Mfw_boot.bin"}},
        {"uefi image when its target is higher",
         [](ConfigEntry& e, AdapterRecord&) {
             e.btaTarget = 0;
             e.uefiTarget = 60000;
         },
         0,
         {"-bta uefi.bin"}},
        {"bta image when the targets are equal",
         [](ConfigEntry& e, AdapterRecord& r) {
             e.uefiTarget = e.btaTarget;
             r.uefiVersion = 1;
         },
         0,
         {"-bta bta.bin"}},
        {"cfx not installed takes the prg form",
         [](ConfigEntry&, AdapterRecord& r) { r.cfxVersion = 0; },
         0,
         {"prg -cfx cfx.bin"}},
        {"dual-stack iSCSI image",
         [](ConfigEntry& e, AdapterRecord& r) {
             copy_text(e.iscsibFile, "ib6bt.bin");
             r.iscsibVersion = 1;
         },
         0,
         {"-ib_ipv4n6 ib6bt.bin"}},
        {"qmx image named in the PHY column",
         [](ConfigEntry& e, AdapterRecord&) {
             copy_text(e.qmxFile, "phy_kxzz.bin");
             e.qmxTarget = 10000;
         },
         0,
         {"-qmx phy_kxzz.bin"}},
    };
    for (const auto& c : cases) {
        Bench bench;
        c.change(bench.entry, bench.add_current_function(0));
        bench.run(c.force);
        EXPECT_EQ(bench.component_steps(), c.components) << c.name;
    }
}

TEST(UpdateSequence, FamilyVersionGatesTheBackupAndComponents) {
    const struct {
        uint32_t installed, target;
        bool force;
        bool programs;
    } cases[] = {
        {71000, 71200, 0, true}, {71200, 71200, 0, true}, {71300, 71200, 0, false},
        {0, 71200, 0, false},    {71000, 0, 0, false},    {71300, 71200, 1, true},
        {0, 0, 1, true},
    };
    for (const auto& c : cases) {
        Bench bench;
        bench.entry.familyTarget = c.target;
        bench.add_function(0).familyVersion = c.installed;
        bench.run(c.force);
        const Steps expected = c.programs ? AllComponents : Steps{};
        EXPECT_EQ(bench.tool.ran("dumpnvram"), c.programs) << c.installed << " " << c.target;
        EXPECT_EQ(bench.component_steps(), expected) << c.installed << " " << c.target;
        EXPECT_TRUE(bench.tool.ran("-vpd VpdUpdate.txt")) << c.installed << " " << c.target;
    }
}

TEST(UpdateSequence, ModuleStepTakesTheFirstMatchingRow) {
    const struct {
        uint32_t deviceId, subDeviceId;
        Steps components;
    } cases[] = {
        {0x7A01, 0x5B02, {"-m_pn modfam1.txt"}},
        {0x7A05, 0x5B03, {"-m_pn modfam2.txt"}},
        {0x7A02, 0x5B05, {"-m_pn modfam2.txt"}},
        {0x7A08, 0x5B06, {"-m_pn modfam3.txt"}},
        {0x7A01, 0x5B03, {}},
        {0x7A06, 0x5B05, {}},
    };
    for (const auto& c : cases) {
        Bench bench;
        AdapterRecord& r = bench.add_current_function(0);
        r.deviceId = c.deviceId;
        r.subDeviceId = c.subDeviceId;
        bench.run();
        EXPECT_EQ(bench.component_steps(), c.components)
            << std::hex << c.deviceId << " " << c.subDeviceId;
    }
}

TEST(UpdateSequence, FailuresRestoreTheBackupUnlessWriteProtected) {
    const struct {
        const char* name;
        std::vector<std::pair<std::string, int>> exits;
        uint32_t status;
        int lastResult;
        Steps steps;
    } cases[] = {
        {"bootcode fails", {{"-bc", 1}}, 9, 0, {"probe", "dump", "-bc bc.bin", "restore"}},
        {"cfx driver not supported",
         {{"-cfx", 40}},
         18,
         0,
         {"probe", "dump", "-bc bc.bin", "-cfx cfx.bin", "restore"}},
        {"cfx write protected",
         {{"-cfx", 203}},
         5,
         5,
         {"probe", "dump", "-bc bc.bin", "-cfx cfx.bin"}},
        {"module fails",
         {{"-m_pn", 7}},
         9,
         0,
         {"probe", "dump", "-bc bc.bin", "-cfx cfx.bin", "-m_pn modfam1.txt", "restore"}},
        {"restore fails",
         {{"-bc", 1}, {"restorenvram", 1}},
         14,
         9,
         {"probe", "dump", "-bc bc.bin", "restore"}},
        {"backup write protected", {{"dumpnvram", 203}}, 14, 9, {"probe", "dump"}},
        {"backup fails", {{"dumpnvram", 1}}, 9, 0, {"probe", "dump"}},
        {"probe finds no driver", {{" dir ", 40}}, 18, 0, {"probe"}},
        {"probe fails otherwise",
         {{" dir ", 1}},
         0,
         0,
         {"probe", "dump", "-bc bc.bin", "-cfx cfx.bin", "-m_pn modfam1.txt",
          "-vpd VpdUpdate.txt"}},
        {"family step write protected",
         {{"-vpd", 203}},
         5,
         0,
         {"probe", "dump", "-bc bc.bin", "-cfx cfx.bin", "-m_pn modfam1.txt",
          "-vpd VpdUpdate.txt"}},
        {"family step fails otherwise",
         {{"-vpd", 1}},
         13,
         0,
         {"probe", "dump", "-bc bc.bin", "-cfx cfx.bin", "-m_pn modfam1.txt",
          "-vpd VpdUpdate.txt"}},
    };
    for (const auto& c : cases) {
        Bench bench;
        AdapterRecord& r = bench.add_current_function(0);
        r.bcVersion = r.cfxVersion = 1;
        r.deviceId = 0x7A01;
        r.subDeviceId = 0x5B01;
        for (const auto& [fragment, code] : c.exits) bench.tool.exit_with(fragment, code);
        EXPECT_EQ(bench.run(), c.lastResult) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(bench.steps(), c.steps) << c.name;
    }
}

TEST(UpdateSequence, BackupImpossibleAbandonsTheRun) {
    for (const int code : {10, 11}) {
        Bench bench;
        bench.add_function(0, 3);
        bench.add_function(0, 4);
        bench.tool.exit_with("dumpnvram", code);
        EXPECT_EQ(bench.run(), 4) << code;
        EXPECT_EQ(bench.steps(), (Steps{"probe", "dump"})) << code;
        EXPECT_EQ(bench.records[0].status, 0u);
        EXPECT_EQ(bench.records[1].status, 0u);
    }
}

// A backup that cannot be made safe (its note unwritten, the dump or the
// directory not synced) is no backup: the run ends before any write, and no
// backup stays behind to be taken for an interrupted adapter's. (A note
// without its backup is removed by the next run.)
TEST(UpdateSequence, ABackupTheDirectoryCannotKeepAbandonsTheRunAndLeavesNothing) {
    const struct {
        const char* name;
        void (*fail)(WorkingDirectory& directory);
        Steps steps;
    } cases[] = {
        {"the note cannot be opened",
         [](WorkingDirectory& d) {
             d.open_output = [](const char*, OutputMode) {
                 errno = EIO;
                 return File();
             };
         },
         {"probe"}},
        {"the directory cannot be synced",
         [](WorkingDirectory& d) {
             d.sync = [] {
                 errno = EIO;
                 return false;
             };
         },
         {"probe"}},
        {"the dump cannot be synced",
         [](WorkingDirectory& d) {
             d.sync_file = [](const char*) {
                 errno = EIO;
                 return false;
             };
         },
         {"probe", "dump"}},
    };
    for (const auto& c : cases) {
        Bench bench;
        bench.add_function(0, 3);
        bench.add_function(0, 4);
        c.fail(bench.directory);
        EXPECT_EQ(bench.run(), RunAbandoned) << c.name;
        EXPECT_EQ(bench.steps(), c.steps) << c.name;
        EXPECT_FALSE(ScratchDir::exists("buimage")) << c.name;
    }
}

TEST(UpdateSequence, UnusableVpdReadsLeaveTheAdapterAlone) {
    const struct {
        const char* name;
        std::function<void(FakeAdpm&, AdapterRecord&)> setup;
        uint32_t status;
    } cases[] = {
        {"library fails", [](FakeAdpm& f, AdapterRecord&) { f.fail("AdpmGetExtVPD", 1); }, 13},
        {"fewer than four bytes",
         [](FakeAdpm& f, AdapterRecord&) { f.functions[0].extVpd.resize(3); }, 13},
        {"more than the buffer holds",
         [](FakeAdpm& f, AdapterRecord&) { f.functions[0].extVpd.resize(900, 0x22); }, 0},
        {"unreadable when the inventory read the family version",
         [](FakeAdpm&, AdapterRecord& r) { r.familyVersion = FamilyVersionUnavailable; }, 13},
    };
    for (const auto& c : cases) {
        Bench bench;
        AdapterRecord& r = bench.add_function(0);
        c.setup(fake_adpm(), r);
        bench.run();
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(bench.tool.ran("dumpnvram"), c.status == 0) << c.name;
    }
}

TEST(UpdateSequence, NvramRouteWithoutVpdFailsOnlyTheFamilyStep) {
    Bench bench;
    AdapterRecord& r = bench.add_function(0);
    r.extVpd = 0;  // the fake's NVRAM holds no VPD
    EXPECT_EQ(bench.run(), 0);
    EXPECT_EQ(bench.component_steps(), AllComponents);
    EXPECT_EQ(r.status, 13u);
    EXPECT_TRUE(fake_adpm().calls_of("AdpmWriteFirmware").empty());
}

TEST(UpdateSequence, UnreadableOrUnmatchedAdaptersTakeNoPart) {
    Bench bench;
    bench.add_function(0).status = code_of(ResultCode::AdapterListFailed);
    bench.add_function(0, 4).config = nullptr;
    bench.add_function(1, 3).config = nullptr;
    bench.run();
    EXPECT_TRUE(bench.tool.commands().empty());
    EXPECT_TRUE(fake_adpm().calls.empty());
    EXPECT_EQ(bench.records[0].status, code_of(ResultCode::AdapterListFailed));
    EXPECT_EQ(bench.records[2].status, code_of(ResultCode::AdapterListFailed));  // its function 0's
}

TEST(UpdateSequence, OtherFunctionsTakeTheirFunctionZeroStatus) {
    Bench bench;
    bench.add_function(1, 3);  // before its function 0
    bench.add_function(0, 3);
    bench.add_function(2, 3).config = nullptr;  // unmatched
    bench.add_function(1, 5);                   // no function 0 on its device
    bench.add_function(1, 3).device = 1;        // another device
    bench.tool.exit_with("-bc", 1);
    bench.run();
    const uint32_t statuses[] = {9, 9, 9, 0, 0};
    for (std::size_t i = 0; i < std::size(statuses); ++i)
        EXPECT_EQ(bench.records[i].status, statuses[i]) << i;
    // Only function 0 is probed, backed up and programmed.
    EXPECT_EQ(bench.steps(), (Steps{"probe", "dump", "-bc bc.bin", "restore"}));
}

TEST(UpdateSequence, LaterFunctionsKeepTheLastFamilyResult) {
    const struct {
        const char* name;
        uint32_t firstExtVpd;
        int vpdExit;
        uint32_t status;
    } cases[] = {
        {"no VPD to rewrite", 0, 0, 13},
        {"write protected", 1, 203, 5},
        {"driver not supported", 1, 40, 18},
        {"tool failed", 1, 1, 13},
        {"written", 1, 0, 0},
    };
    for (const auto& c : cases) {
        Bench bench;
        bench.add_current_function(0, 3).extVpd = c.firstExtVpd;
        bench.add_current_function(1, 4);  // its device has no function 0
        bench.tool.exit_with("-vpd", c.vpdExit);
        bench.run();
        EXPECT_EQ(bench.records[0].status, c.status) << c.name;
        EXPECT_EQ(bench.records[1].status, c.status) << c.name;
    }
}

TEST(UpdateSequence, ExternalPhyStep) {
    const struct {
        const char* name;
        const char* installed;
        int phyExit;
        uint32_t function;
        uint32_t status;
        Steps steps;
    } cases[] = {
        {"differs",
         "1.2",
         0,
         0,
         0,
         {"probe", "dump", "-qmx phy_kxdd.bin", "phy phy_kxdd.bin", "-vpd VpdUpdate.txt"}},
        {"current", "1.3", 0, 0, 0, {"probe", "dump", "-qmx phy_kxdd.bin", "-vpd VpdUpdate.txt"}},
        {"fails", "1.2", 1, 0, 16, {"probe", "dump", "-qmx phy_kxdd.bin", "phy phy_kxdd.bin"}},
        {"function 1 runs its own", "1.2", 0, 1, 0, {"phy phy_kxdd.bin"}},
    };
    for (const auto& c : cases) {
        Bench bench;
        copy_text(bench.entry.qmxFile, "phy_kxdd.bin");
        copy_text(bench.entry.qmxVersion, "1.3");
        bench.entry.qmxTarget = 10300;
        AdapterRecord& r = bench.add_current_function(c.function, 7);
        // The firmware does not report the management port, so the PHY's
        // image is written under its option as well.
        r.qmxVersion = 0;
        FirmwareInfoRecord info{};
        copy_text(info.extPhyVersion, c.installed);
        r.extPhy = make_ext_phy_record(info, bench.entry);
        bench.tool.exit_with("upgrade -noreset phy", c.phyExit);
        EXPECT_EQ(bench.run(), c.phyExit == 0 ? 0 : 9) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(bench.steps(), c.steps) << c.name;
    }
}

}  // namespace

namespace {

// The tool's backup, as the bench's fake tool makes it; `also` sees every command.
void back_up_and(Bench& bench, std::function<void(const std::string&)> also) {
    bench.tool.on_run([also = std::move(also)](const std::string& command) {
        if (command.find("dumpnvram") != std::string::npos) ScratchDir::write("buimage", "nvram");
        also(command);
    });
}

}  // namespace

TEST(UpdateSequence, TheBackupNamesItsAdapterForAsLongAsItExists) {
    Bench bench;
    bench.add_function(0);
    std::vector<std::string> notes;
    back_up_and(bench,
                [&](const std::string&) { notes.push_back(ScratchDir::read("buimage.mac")); });
    bench.run();
    // From the dump (written before it runs) to the last write; gone before the family step.
    const std::vector<std::string> expected = {"",
                                               "0a1b2c3d4e01\n",
                                               "0a1b2c3d4e01\n",
                                               "0a1b2c3d4e01\n",
                                               "0a1b2c3d4e01\n",
                                               "0a1b2c3d4e01\n",
                                               "0a1b2c3d4e01\n",
                                               "0a1b2c3d4e01\n",
                                               "0a1b2c3d4e01\n",
                                               ""};
    EXPECT_EQ(notes, expected);
    EXPECT_FALSE(ScratchDir::exists("buimage"));
    EXPECT_FALSE(ScratchDir::exists("buimage.mac"));
}

TEST(UpdateSequence, AStopRequestFinishesTheAdapterInHand) {
    for (const bool beforeTheRun : {true, false}) {
        Bench bench;
        bench.add_function(0, 3);
        bench.add_function(1, 3);
        bench.add_function(0, 4);
        if (beforeTheRun) bench.stop = 1;
        back_up_and(bench, [&bench](const std::string& command) {
            if (command.find("-bta") != std::string::npos) bench.stop = 1;
        });
        bench.run();
        const std::vector<uint32_t> expected =
            beforeTheRun ? std::vector<uint32_t>{17, 17, 17} : std::vector<uint32_t>{0, 17, 17};
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(bench.records[i].status, expected[i]) << beforeTheRun << i;
        EXPECT_EQ(bench.tool.ran("0a1b2c3d4e03"), false);
        EXPECT_EQ(bench.tool.ran("-vpd VpdUpdate.txt"), !beforeTheRun);
    }
}

TEST(NvramBackup, KeptBackupsAreFoundByTheWholeMac) {
    const std::vector<std::string> kept = {"buimage_001c5a100000_2", "buimage_001c5a1000001",
                                           "buimage_001c5a400000_x", "buimage_unknown"};
    EXPECT_EQ(kept_backup_of(kept, "001c5a100000"), "buimage_001c5a100000_2");
    EXPECT_EQ(kept_backup_of(kept, "001c5a400000"), "");
    EXPECT_EQ(kept_backup_of(kept, "001c5a10000"), "");
    EXPECT_EQ(kept_backup_of({"buimage_001c5a400000"}, "001c5a400000"), "buimage_001c5a400000");
}
