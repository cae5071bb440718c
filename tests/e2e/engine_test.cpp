// The update engine on the bench: which tool commands each adapter gets, in
// what order, what each outcome reports, and that an adapter whose update
// failed is left as it was whenever its message says so.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"
#include "demo_runs.h"
#include "harness.h"

using nlohmann::json;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string reboot_trailer(bool required) {
    return std::string("<RebootRequired>") + (required ? "1" : "0") + "</RebootRequired>";
}

}  // namespace

// ---- the demo server ---------------------------------------------------------

TEST(EngineRun, DemoProgramsInOrderAndTheNextRunReadsTheFamiliesBack) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    std::vector<uint8_t> expectedNvram = s.nvram("lom");
    std::string error;
    ASSERT_TRUE(sim::vpd_set_keywords(expectedNvram, 0x100, 256, {{"V0", "FFV7.10.3"}}, error))
        << error;

    const RunResult firstRun = s.run();
    EXPECT_EQ(firstRun.exitStatus, 0);
    EXPECT_TRUE(well_formed_xml(firstRun.resultXml)) << firstRun.resultXml;
    EXPECT_THAT(commands(firstRun.toolLog),
                ElementsAreArray(joined({with_mac(Lom, LomUpdate), with_mac(Addin, AddinUpdate),
                                         with_mac(AddinPort1, AddinPort1Update)})));
    for (const std::string& line : lines_of(firstRun.toolLog))
        EXPECT_THAT(line, EndsWith(" => exit 0"));
    EXPECT_EQ(statuses(firstRun.resultXml), std::vector<int>(6, 0));
    EXPECT_THAT(firstRun.resultXml, HasSubstr(reboot_trailer(true)));
    EXPECT_FALSE(s.exists("buimage"));
    // The NVRAM route: only the family keyword changed, inside the VPD area,
    // with the reserved space taking up the longer text and a new checksum.
    EXPECT_TRUE(s.nvram("lom") == expectedNvram);
    // The extended route: the template's family line, and a blank after it.
    EXPECT_EQ(s.read_file("VpdUpdate.txt"), "PN=Text,\"VX7A06-2P\"\nV0=Text,\"FFV2.4.1\"\n ");

    const std::vector<uint8_t> nvramAfterFirstRun = s.nvram("lom");
    const RunResult secondRun = s.run();
    EXPECT_EQ(secondRun.exitStatus, 0);
    EXPECT_TRUE(well_formed_xml(secondRun.resultXml)) << secondRun.resultXml;
    // Backup, part-number module and family version only.
    EXPECT_THAT(
        commands(secondRun.toolLog),
        ElementsAreArray(joined(
            {with_mac(Lom, {"dir", "dumpnvram buimage", "upgrade -noreset -m_pn modfam1.txt"}),
             with_mac(Addin, {"dir", "dumpnvram buimage", "upgrade -noreset -m_pn modfam3.txt",
                              "upgrade -noreset -vpd VpdUpdate.txt"})})));
    EXPECT_EQ(statuses(secondRun.resultXml), std::vector<int>(6, 0));
    EXPECT_TRUE(s.nvram("lom") == nvramAfterFirstRun);
    EXPECT_FALSE(s.exists("buimage"));
    for (const char* installed : {"version=\"7.10.3\" display=\"Vexlor VX7A01",
                                  "version=\"2.4.1\" display=\"Vexlor VX7A06"})
        EXPECT_THAT(secondRun.resultXml, HasSubstr(installed));
}

TEST(EngineRun, ForceProgramsEveryComponentWithATargetButNotACurrentPhy) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const auto forced = [](const Commands& update) {
        Commands out;
        for (std::string command : update) {
            if (command.starts_with("upgrade -noreset ")) command.insert(17, "-F ");
            out.push_back(command);
        }
        return out;
    };

    // The pre-boot configuration is new to the adapter: the prg form, which
    // takes no force prefix.
    const RunResult fresh = s.run({"-force"});
    EXPECT_EQ(fresh.exitStatus, 0);
    EXPECT_TRUE(well_formed_xml(fresh.resultXml)) << fresh.resultXml;
    EXPECT_THAT(commands(fresh.toolLog),
                ElementsAreArray(
                    joined({with_mac(Lom, forced(LomUpdate)), with_mac(Addin, forced(AddinUpdate)),
                            with_mac(AddinPort1, forced(AddinPort1Update))})));

    // Everything is current now: forced again all the same, the installed
    // pre-boot configuration in the upgrade form; the PHY is never forced.
    Commands addinAgain = forced(AddinUpdate);
    addinAgain[5] = "upgrade -noreset -F -cfx cfx_7a06_102.bin";
    addinAgain.erase(addinAgain.begin() + 7);
    const RunResult again = s.run({"-force"});
    EXPECT_EQ(again.exitStatus, 0);
    EXPECT_TRUE(well_formed_xml(again.resultXml)) << again.resultXml;
    EXPECT_THAT(
        commands(again.toolLog),
        ElementsAreArray(joined({with_mac(Lom, forced(LomUpdate)), with_mac(Addin, addinAgain)})));
}

// ---- failures ----------------------------------------------------------------

namespace {

struct FailureCase {
    const char* name;
    json patch;       // merged into the demo bench
    const char* mac;  // the function whose commands are checked
    Commands commands;
    std::vector<int> statuses;  // of the LOM's four functions, then the add-in's two
    int exitStatus;
    bool rebootRequired;
    const char* unchangedAdapter;  // left exactly as before the run, or none
    const char* missingFile = nullptr;
    const char* stdoutText = "";
};

json library_fault(const char* call, const char* adapter) {
    return {{"library", {{"faults", {{{"call", call}, {"adapter", adapter}, {"result", 9}}}}}}};
}

const FailureCase FailureCases[] = {
    // A failed write: the backup made before it puts everything back.
    {"BootcodeWriteFails",
     tool_faults({{{"option", "-bc"}, {"adapter", "lom"}, {"exit", 9}, {"scribble", true}}}), Lom,
     first(LomUpdate, 3, Restore), lom_and_addin(9, 0), 0x10, true, "lom"},
    {"ToolKilledWritingTheBootAgent",
     tool_faults({{{"option", "-bta"}, {"adapter", "lom"}, {"signal", 9}, {"scribble", true}}}),
     Lom, first(LomUpdate, 4, Restore), lom_and_addin(9, 0), 0x10, true, "lom"},
    {"DriverRefusesAComponent",
     tool_faults(
         {{{"option", "-ib_ipv4n6"}, {"adapter", "lom"}, {"exit", 40}, {"scribble", true}}}),
     Lom, first(LomUpdate, 6, Restore), lom_and_addin(18, 0), 0x08, false, "lom"},
    {"ModuleStepFails",
     tool_faults({{{"option", "-m_pn"}, {"adapter", "lom"}, {"exit", 7}, {"scribble", true}}}), Lom,
     joined({LomUpdate, Restore}), lom_and_addin(9, 0), 0x10, true, "lom"},
    // No backup: nothing is programmed, and there is nothing to restore.
    {"BackupFailsWithAnotherCode",
     tool_faults({{{"form", "dumpnvram"}, {"adapter", "lom"}, {"exit", 7}}}), Lom,
     first(LomUpdate, 2), lom_and_addin(9, 0), 0x10, true, "lom"},
    {"BackupWriteProtected",
     tool_faults({{{"form", "dumpnvram"}, {"adapter", "lom"}, {"exit", 203}}}), Lom,
     first(LomUpdate, 2), lom_and_addin(14, 0), 0x10, true, "lom"},
    {"RestoreFails",
     tool_faults({{{"option", "-mgmt"}, {"adapter", "lom"}, {"exit", 9}, {"scribble", true}},
                  {{"form", "restorenvram"}, {"exit", 1}}}),
     Lom, first(LomUpdate, 5, Restore), lom_and_addin(14, 0), 0x10, true, nullptr},
    {"ProbeSaysDriverNotSupported",
     tool_faults({{{"form", "dir"}, {"adapter", "lom"}, {"exit", 40}}}), Lom, first(LomUpdate, 1),
     lom_and_addin(18, 0), 0x08, false, "lom"},
    {"ExternalPhyFails", tool_faults({{{"option", "phy"}, {"mac", Addin}, {"exit", 7}}}), Addin,
     first(AddinUpdate, 8), lom_and_addin(0, 16), 0x10, true, nullptr},
    {"NvramFamilyWriteFails", library_fault("AdpmWriteFirmware", "lom"), Lom, LomUpdate,
     lom_and_addin(13, 0), 0x10, true, nullptr},
    // The installed family falls back to the bootcode's, so the update runs;
    // only the family version has no VPD to go into.
    {"NvramVpdUnreadable", library_fault("AdpmReadFirmware", "lom"), Lom, LomUpdate,
     lom_and_addin(13, 0), 0x10, true, nullptr},
    {"ExtendedVpdTooShort", json{{"adapters", {{"addin", {{"extVpdLength", 2}}}}}}, Addin,
     first(AddinUpdate, 1), lom_and_addin(0, 13), 0x10, true, "addin"},
    {"VpdCommandWriteProtected", tool_faults({{{"option", "-vpd"}, {"exit", 203}}}), Addin,
     AddinUpdate, lom_and_addin(0, 5), 0x04, true, nullptr},
    {"VpdCommandDriverNotSupported", tool_faults({{{"option", "-vpd"}, {"exit", 40}}}), Addin,
     AddinUpdate, lom_and_addin(0, 18), 0x08, false, nullptr},
    {"VpdCommandFails", tool_faults({{{"option", "-vpd"}, {"exit", 9}}}), Addin, AddinUpdate,
     lom_and_addin(0, 13), 0x10, true, nullptr},
    {"VpdTemplateMissing", json::object(), Addin, first(AddinUpdate, 8), lom_and_addin(0, 13), 0x10,
     true, nullptr, "vpd_7a06.txt", "failed to program VPD information into device\n"},
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class Failure : public ::testing::TestWithParam<FailureCase> {};

}  // namespace

TEST_P(Failure, ReportsItsCodeAndLeavesTheAdapterAsTheMessageSays) {
    const FailureCase& c = GetParam();
    Scratch s(demo_bench_with(c.patch));
    copy_demo_files(s);
    if (c.missingFile != nullptr) s.remove_file(c.missingFile);
    const std::string unchanged = c.unchangedAdapter != nullptr ? c.unchangedAdapter : "";
    const AdapterState before = unchanged.empty() ? AdapterState{} : state_of(s, unchanged);

    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, c.exitStatus);
    EXPECT_TRUE(well_formed_xml(r.resultXml)) << r.resultXml;
    EXPECT_EQ(statuses(r.resultXml), c.statuses) << r.resultXml;
    EXPECT_THAT(r.resultXml, HasSubstr(reboot_trailer(c.rebootRequired)));
    EXPECT_THAT(commands_for(r.toolLog, c.mac), ElementsAreArray(c.commands)) << r.toolLog;
    EXPECT_EQ(r.stdoutText, c.stdoutText);
    EXPECT_FALSE(s.exists("buimage"));
    if (!unchanged.empty()) expect_unchanged(s, unchanged, before);
}

INSTANTIATE_TEST_SUITE_P(EngineRun, Failure, ::testing::ValuesIn(FailureCases),
                         [](const ::testing::TestParamInfo<FailureCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(EngineRun, WriteProtectIsNotRestoredAndExitBitsCombine) {
    json bench = demo_bench();
    bench.merge_patch(tool_faults({{{"option", "-bta"}, {"adapter", "lom"}, {"exit", 203}},
                                   {{"option", "-mgmt"}, {"adapter", "addin"}, {"exit", 9}}}));
    Scratch s(bench);
    copy_demo_files(s);
    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 0x14);
    EXPECT_TRUE(well_formed_xml(r.resultXml)) << r.resultXml;
    EXPECT_EQ(statuses(r.resultXml), lom_and_addin(5, 9));
    // A locked adapter takes no write, so no restore either: the bootcode
    // written before the lock stays.
    EXPECT_THAT(commands_for(r.toolLog, Lom), ElementsAreArray(first(LomUpdate, 4)));
    EXPECT_EQ(r.bench["adapters"]["lom"]["firmware"]["bootcode"], "7.10");
    EXPECT_THAT(commands_for(r.toolLog, Addin), ElementsAreArray(first(AddinUpdate, 5, Restore)));
    EXPECT_FALSE(s.exists("buimage"));
}

class BackupImpossible : public ::testing::TestWithParam<int> {};

TEST_P(BackupImpossible, AbandonsTheRunWithCode4AndNoReport) {
    json bench = demo_bench();
    bench.merge_patch(
        tool_faults({{{"form", "dumpnvram"}, {"adapter", "addin"}, {"exit", GetParam()}}}));
    Scratch s(bench);
    copy_demo_files(s);
    const AdapterState addin = state_of(s, "addin");
    const RunResult r = s.run();
    // The LOM was programmed before the run was abandoned: not a success.
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_EQ(r.resultXml, error_form(4));
    EXPECT_TRUE(well_formed_xml(r.resultXml));
    EXPECT_TRUE(r.inventoryLogExists);
    EXPECT_EQ(r.inventoryLog, "");
    // No record after the failed backup is handled, not even the add-in's
    // second port.
    EXPECT_THAT(commands(r.toolLog),
                ElementsAreArray(
                    joined({with_mac(Lom, LomUpdate), with_mac(Addin, first(AddinUpdate, 2))})));
    expect_unchanged(s, "addin", addin);
    EXPECT_FALSE(s.exists("buimage"));
    EXPECT_FALSE(s.exists("buimage.mac"));
}

INSTANTIATE_TEST_SUITE_P(EngineRun, BackupImpossible, ::testing::Values(10, 11),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return "ToolCode" + std::to_string(param.param);
                         });

// ---- one decision per adapter --------------------------------------------------

namespace {

// A single-function adapter of a generated server, its row of the table and
// the commands it should get after the probe.
struct Card {
    uint32_t deviceId;
    uint32_t subDeviceId;
    const char* installedFamily;  // the "V0" of its NVRAM VPD; none: no "V0"
    json firmware;
    std::string row;  // the columns after the identity and chip revision
    Commands expected;
};

using Files = std::vector<std::pair<std::string, std::string>>;

std::string mac_of(std::size_t card) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "001c5a8000%02zx", card);
    return mac;
}

json server_of(const std::vector<Card>& cards) {
    json bench = empty_bench();
    for (std::size_t i = 0; i < cards.size(); ++i) {
        const Card& c = cards[i];
        const std::string name = "card" + std::to_string(i);
        json keywords = json::array();
        if (c.installedFamily != nullptr)
            keywords.push_back(json::array({"V0", c.installedFamily}));
        bench["adapters"][name] = {
            {"vendorId", 0x1f3d},
            {"deviceId", c.deviceId},
            {"subVendorId", 0x1c5a},
            {"subDeviceId", c.subDeviceId},
            {"bus", i + 1},
            {"device", 0},
            {"firmware", c.firmware},
            {"nvram", {{"vpd", {{"identifier", "Card " + name}, {"keywords", keywords}}}}}};
        bench["functions"].push_back({{"serviceName", "eth" + std::to_string(i)},
                                      {"adapter", name},
                                      {"function", 0},
                                      {"mac", mac_of(i)}});
    }
    return bench;
}

std::string table_of(const std::string& columns, const std::vector<Card>& cards) {
    std::string table = "Generated table\n! ven device subven subdev crv " + columns + "\n";
    for (const Card& c : cards) {
        char ids[40];
        std::snprintf(ids, sizeof ids, "1f3d %04x 1c5a %04x a0 ", c.deviceId, c.subDeviceId);
        table += ids + c.row + "\n";
    }
    return table;
}

std::string image(const char* component, const char* version) {
    return std::string("component=") + component + "\nversion=" + version + "\n";
}

// One run of the server: every card succeeds with its own commands.
void expect_commands(const std::vector<Card>& cards, const std::string& columns, const Files& files,
                     const std::vector<std::string>& args = {}) {
    Scratch s(server_of(cards));
    s.write_file("vxlkqfw.cfg", table_of(columns, cards));
    for (const auto& [name, contents] : files) s.write_file(name, contents);
    const RunResult r = s.run(args);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(well_formed_xml(r.resultXml)) << r.resultXml;
    EXPECT_EQ(statuses(r.resultXml), std::vector<int>(cards.size(), 0)) << r.resultXml;
    for (std::size_t i = 0; i < cards.size(); ++i)
        EXPECT_THAT(commands_for(r.toolLog, mac_of(i)),
                    ElementsAreArray(joined({{"dir"}, cards[i].expected})))
            << "card " << i << ": " << cards[i].row;
}

}  // namespace

TEST(EngineRun, FamilyVersionDecidesWhetherAnythingIsProgrammed) {
    const Commands bootcode = {"dumpnvram buimage", "upgrade -noreset -bc bc.bin"};
    const Commands backupOnly = {"dumpnvram buimage"};
    const json oldBootcode = {{"bootcode", "1.8"}};
    const json newBootcode = {{"bootcode", "1.10"}};
    std::vector<Card> cards = {
        {0x7b01, 0x5c01, "1.2.0", oldBootcode, "1.3.0 bc.bin,1.10", bootcode},
        // The same family: what is out of date, or only the backup.
        {0x7b02, 0x5c01, "1.2.0", oldBootcode, "1.2.0 bc.bin,1.10", bootcode},
        {0x7b03, 0x5c01, "1.2.0", newBootcode, "1.2.0 bc.bin,1.10", backupOnly},
        {0x7b04, 0x5c01, "1.2.0", oldBootcode, "1.1.0 bc.bin,1.10", {}},
        // No family target, or no installed family (neither VPD nor bootcode).
        {0x7b05, 0x5c01, "1.2.0", oldBootcode, "0.0 bc.bin,1.10", {}},
        {0x7b06, 0x5c01, nullptr, {{"bootcode", 0}}, "1.2.0 bc.bin,1.10", {}},
    };
    const Files files = {{"bc.bin", image("bc", "1.10")}};
    expect_commands(cards, "family bc", files);
    for (Card& c : cards) c.expected = {"dumpnvram buimage", "upgrade -noreset -F -bc bc.bin"};
    expect_commands(cards, "family bc", files, {"-force"});
}

TEST(EngineRun, BootAgentStepChoosesTheBootAgentOrTheUefiImage) {
    const Commands bta = {"dumpnvram buimage", "upgrade -noreset -bta bta.img"};
    const Commands uefi = {"dumpnvram buimage", "upgrade -noreset -bta uefi.efi"};
    const auto card = [](uint32_t deviceId, const char* installedBta, const char* installedUefi,
                         const char* targets, Commands expected) {
        return Card{deviceId,
                    0x5c01,
                    "1.0.0",
                    {{"bta", installedBta}, {"uefi", installedUefi}},
                    std::string("1.0.0 ") + targets,
                    std::move(expected)};
    };
    const std::vector<Card> cards = {
        card(0x7b11, "7.8.2", "", "bta.img,7.10.3 none.img,0", bta),
        card(0x7b12, "", "8.1.0", "none.img,0 uefi.efi,8.2.1", uefi),
        card(0x7b13, "8.1.0", "8.1.0", "bta.img,8.2.1 uefi.efi,8.2.1", bta),
        card(0x7b14, "7.8.2", "8.1.0", "bta.img,7.10.3 uefi.efi,8.2.1", uefi),
        // Only the UEFI driver is out of date, yet the higher boot agent
        // target picks the image.
        card(0x7b15, "9.0.0", "8.1.0", "bta.img,9.0.0 uefi.efi,8.2.1", bta),
        card(0x7b16, "7.10.3", "8.2.1", "bta.img,7.10.3 uefi.efi,8.2.1", {"dumpnvram buimage"}),
    };
    expect_commands(cards, "family bta uefi",
                    {{"bta.img", image("bta", "7.10.3")}, {"uefi.efi", image("uefi", "8.2.1")}});
}

TEST(EngineRun, PartNumberModuleFollowsTheDeviceAndSubsystem) {
    const auto module = [](const char* file) {
        return Commands{"dumpnvram buimage", std::string("upgrade -noreset -m_pn ") + file};
    };
    const Commands none = {"dumpnvram buimage"};
    const std::vector<Card> cards = {
        {0x7a01, 0x5b01, "1.0.0", json::object(), "1.0.0", module("modfam1.txt")},
        {0x7a01, 0x5b02, "1.0.0", json::object(), "1.0.0", module("modfam1.txt")},
        {0x7a01, 0x5b03, "1.0.0", json::object(), "1.0.0", none},
        {0x7a02, 0x5b03, "1.0.0", json::object(), "1.0.0", module("modfam2.txt")},
        {0x7a05, 0x5b05, "1.0.0", json::object(), "1.0.0", module("modfam2.txt")},
        {0x7a03, 0x5b06, "1.0.0", json::object(), "1.0.0", none},
        {0x7a06, 0x5b06, "1.0.0", json::object(), "1.0.0", module("modfam3.txt")},
        {0x7a08, 0x5b06, "1.0.0", json::object(), "1.0.0", module("modfam3.txt")},
        {0x7a07, 0x5b05, "1.0.0", json::object(), "1.0.0", none},
    };
    expect_commands(
        cards, "family",
        {{"modfam1.txt", "PN=ONE\n"}, {"modfam2.txt", "PN=TWO\n"}, {"modfam3.txt", "PN=THREE\n"}});
}

TEST(EngineRun, ExternalPhyKindDecidesWhetherItIsProgrammed) {
    // The table's family is older than the installed one, so no component
    // step runs: the qmx step, which shares the PHY's columns, stays out.
    const auto phy = [](const char* file) {
        return Commands{std::string("upgrade -noreset phy ") + file};
    };
    const auto card = [](uint32_t deviceId, const char* installed, const std::string& column,
                         Commands expected) {
        return Card{deviceId,           0x5c01, "2.0.0", {{"extPhy", installed}}, "1.0.0 " + column,
                    std::move(expected)};
    };
    const std::vector<Card> cards = {
        card(0x7b21, "02.2", "kxaa_phy.bin,2", {}),
        card(0x7b22, "02.1", "kxaa_phy.bin,2", phy("kxaa_phy.bin")),
        // "kxaa" is looked for first; read as kind B these would match.
        card(0x7b23, "1.0105", "kxbb_kxaa_phy.bin,105", phy("kxbb_kxaa_phy.bin")),
        card(0x7b24, "1.0105", "kxbb_phy.bin,0x105", {}),
        card(0x7b25, "1.0105", "kxbb_phy.bin,106", phy("kxbb_phy.bin")),
        card(0x7b26, "1.0106", "kxcc_phy.bin,105", phy("kxcc_phy.bin")),
        card(0x7b27, "7", "kxcc_phy.bin,0", {}),
        card(0x7b28, "1.2", "kxdd_phy.bin,1.2", {}),
        card(0x7b29, "1.2", "kxdd_phy.bin,1.2.0", phy("kxdd_phy.bin")),
        card(0x7b2a, "1.0", "plain_phy.bin,2.0", {}),
    };
    Files files;
    for (const char* name :
         {"kxaa_phy.bin", "kxbb_kxaa_phy.bin", "kxbb_phy.bin", "kxcc_phy.bin", "kxdd_phy.bin"})
        files.emplace_back(name, image("extphy", "9.9"));
    expect_commands(cards, "family extphy", files);
}

// With the result document on standard output, the one diagnostic line must
// not land inside it.
TEST(Engine, DiagnosticGoesToStandardErrorWhenTheResultIsPrinted) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    s.remove_file("vpd_7a06.txt");
    const RunResult r = s.run({"-print"});
    EXPECT_EQ(r.exitStatus, 0x10);
    EXPECT_TRUE(well_formed_xml(r.stdoutText)) << r.stdoutText;
    EXPECT_EQ(r.stdoutText.find("failed to program VPD"), std::string::npos);
    EXPECT_EQ(r.stderrText, "failed to program VPD information into device\n");
}
