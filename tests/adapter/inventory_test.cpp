#include "adapter/inventory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adapter/enabled_note.h"
#include "common/result_code.h"
#include "common/text.h"
#include "config/config.h"
#include "support/fake_adpm.h"
#include "support/scratch_dir.h"
#include "support/vpd_image.h"
#include "vpd/vpd.h"

namespace {

using Calls = std::vector<std::string>;

constexpr uint32_t VendorId = 0x14e4, DeviceId = 0x7A0B, SubVendorId = 0x1028, SubDeviceId = 0x5B01;

class Inventory : public ::testing::Test {
  protected:
    void SetUp() override { install_fake_adpm(); }

    // The note of enabled ports lives in the working directory.
    ScratchDir dir_;

    // A function of the handled type, known by `handle` until the refresh
    // and by handle + 100 after it.
    FakeFunction& add(const std::string& serviceName, uint32_t handle, uint32_t enabled = 1) {
        FakeFunction f;
        f.handle = handle;
        f.handleAfterRefresh = handle + 100;
        f.serviceName = serviceName;
        f.enabled = enabled;
        f.vendorId = VendorId;
        f.deviceId = DeviceId;
        f.subVendorId = SubVendorId;
        f.subDeviceId = SubDeviceId;
        return fake_adpm().functions.emplace_back(std::move(f));
    }

    int run(const char* skip = "", ConfigEntry* config = nullptr) {
        records_ = std::vector<AdapterRecord>(fake_adpm().functions.size());
        return take_inventory(fake_adpm().api, process_working_directory(), records_, config, skip);
    }

    std::vector<AdapterRecord> records_;
};

TEST_F(Inventory, SelectsEnablesAndRestores) {
    const struct {
        const char* name;
        std::string serviceName;
        uint32_t adapterType;
        uint32_t enabled;
        const char* skip;
        uint32_t enableAnswer;  // injected into the enabling call; 0 = none
        uint32_t selected;
        Calls enableCalls;  // through the inventory and restore_device_state
    } cases[] = {
        // clang-format off
        {"listed",               "eth1", 2, 1, "eth1,eth2", 0,   0, {}},
        {"inside a listed name", "eth",  2, 1, "eth1,eth2", 0,   0, {}},
        {"not listed",           "eth3", 2, 1, "eth1,eth2", 0,   1, {}},
        {"empty name",           "",     2, 1, "",          0,   0, {}},
        {"listed and disabled",  "eth1", 2, 0, "eth1",      0,   0, {}},
        {"other type",           "eth0", 4, 0, "",          0,   0, {}},
        {"disabled",             "eth0", 2, 0, "",          0,   1,
         {"AdpmEnableDevice(5,1)=0", "AdpmEnableDevice(105,0)=0"}},
        {"already on",           "eth0", 2, 0, "",          251, 1,
         {"AdpmEnableDevice(5,1)=251", "AdpmEnableDevice(105,0)=0"}},
        // A failed enable may still have left the port on.
        {"enabling fails",       "eth0", 2, 0, "",          1,   0,
         {"AdpmEnableDevice(5,1)=1", "AdpmEnableDevice(105,0)=0"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        install_fake_adpm();
        add(c.serviceName, 5, c.enabled).adapterType = c.adapterType;
        if (c.enableAnswer != 0) fake_adpm().fail("AdpmEnableDevice", c.enableAnswer, 1);
        ASSERT_EQ(run(c.skip), 0);
        const AdapterRecord& r = records_[0];
        EXPECT_EQ(r.selected, c.selected);
        EXPECT_EQ(r.adapterType, c.adapterType == 2 ? 2u : 0u);
        EXPECT_EQ(r.wasEnabled, c.enabled);
        EXPECT_EQ(r.handle, 105u);
        restore_device_state(fake_adpm().api, process_working_directory(), records_);
        EXPECT_EQ(fake_adpm().calls_of("AdpmEnableDevice"), c.enableCalls);
        EXPECT_FALSE(ScratchDir::exists(EnabledNoteName));
    }
}

// A port that an earlier, killed run of this boot enabled (and noted) is
// found enabled; it is disabled at the end all the same, and so is one whose
// enabling failed.
TEST_F(Inventory, PortsAnInterruptedRunEnabledAreDisabledAgain) {
    const std::string boot = this_boot_id().value();
    ScratchDir::write(EnabledNoteName, "000000000001 eth0 " + boot + "\n");
    add("eth0", 5, 1).mac = {0, 0, 0, 0, 0, 1};
    add("eth1", 6, 1).mac = {0, 0, 0, 0, 0, 2};
    add("eth7", 7, 0).mac = {0, 0, 0, 0, 0, 7};
    fake_adpm().fail("AdpmEnableDevice", 1, 1);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(ScratchDir::read(EnabledNoteName),
              "000000000001 eth0 " + boot + "\n000000000007 eth7 " + boot + "\n");
    restore_device_state(fake_adpm().api, process_working_directory(), records_);
    EXPECT_EQ(fake_adpm().calls_of("AdpmEnableDevice"),
              (Calls{"AdpmEnableDevice(7,1)=1", "AdpmEnableDevice(107,0)=0",
                     "AdpmEnableDevice(105,0)=0"}));
    EXPECT_FALSE(ScratchDir::exists(EnabledNoteName));
}

TEST_F(Inventory, CallsInOrderWithHandlesFoundAgainByName) {
    FakeFunction& handled = add("eth0", 5, 0);
    handled.description = std::string(90, 'D');
    handled.bus = 3;
    handled.device = 0;
    handled.function = 1;
    handled.chipRevisionId = 0x102;
    handled.mac = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc};
    FakeFunction& other = add("eth1", 6);
    other.adapterType = 4;
    other.mac = {1, 2, 3, 4, 5, 6};

    ASSERT_EQ(run(), 0);
    const Calls expected = {
        "AdpmGetAllPhyNicHandles(2)=0",
        "AdpmGetPhyNic(5)=0",
        "AdpmGetServiceName(5)=0",
        "AdpmGetVXLRNicInfoEx(5)=0",  // the MAC, for the note
        "AdpmEnableDevice(5,1)=0",
        "AdpmGetPhyNic(6)=0",
        "AdpmGetServiceName(6)=0",
        "AdpmRefreshData()=0",
        "AdpmGetHandleByServiceName(eth0)=0",
        "AdpmGetPhyNic(105)=0",
        "AdpmGetVXLRNicInfoEx(105)=0",
        "AdpmGetHandleByServiceName(eth1)=0",
    };
    EXPECT_EQ(fake_adpm().calls, expected);

    const AdapterRecord& r = records_[0];
    EXPECT_EQ(field_text(r.serviceName), "eth0");
    EXPECT_EQ(field_text(r.description), std::string(79, 'D'));
    EXPECT_EQ(r.handle, 105u);
    EXPECT_EQ(r.vendorId, VendorId);
    EXPECT_EQ(r.deviceId, DeviceId);
    EXPECT_EQ(r.subVendorId, SubVendorId);
    EXPECT_EQ(r.subDeviceId, SubDeviceId);
    EXPECT_EQ(r.bus, 3u);
    EXPECT_EQ(r.function, 1u);
    EXPECT_EQ(field_text(r.macText), "001122aabbcc");
    EXPECT_EQ(r.chipRev, 0xB2u);
    EXPECT_EQ(field_text(r.chipRevText), "b2");
    EXPECT_EQ(r.config, nullptr);
    EXPECT_EQ(field_text(r.familyVersionText), "");
    EXPECT_EQ(r.status, 0u);

    const AdapterRecord& o = records_[1];
    EXPECT_EQ(o.handle, 106u);
    EXPECT_EQ(o.wasEnabled, 1u);
    EXPECT_EQ(o.selected, 0u);
    EXPECT_EQ(o.deviceId, DeviceId);
    EXPECT_EQ(field_text(o.macText), "");
}

TEST_F(Inventory, NoFunctions) {
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(fake_adpm().calls, (Calls{"AdpmGetAllPhyNicHandles(0)=0", "AdpmRefreshData()=0"}));
}

TEST_F(Inventory, FailingCallEndsAtOnceLeavingAdaptersEnabled) {
    const struct {
        const char* call;
        unsigned occurrence;
        uint32_t enabledAfter[2];
    } cases[] = {
        {"AdpmGetAllPhyNicHandles", 1, {0, 0}},
        {"AdpmGetPhyNic", 1, {0, 0}},
        {"AdpmGetPhyNic", 2, {1, 0}},
        {"AdpmGetServiceName", 2, {1, 0}},
        {"AdpmRefreshData", 1, {1, 1}},
        {"AdpmGetHandleByServiceName", 2, {1, 1}},
        {"AdpmGetPhyNic", 3, {1, 1}},
        {"AdpmGetVXLRNicInfoEx", 4, {1, 1}},
        // The MAC is read for the note before the enable.
        {"AdpmGetVXLRNicInfoEx", 2, {1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.occurrence));
        install_fake_adpm();
        add("eth0", 5, 0);
        add("eth1", 6, 0);
        fake_adpm().fail(c.call, 7, c.occurrence);
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(fake_adpm().calls.back().rfind(c.call, 0), 0u);
        EXPECT_EQ(fake_adpm().functions[0].enabled, c.enabledAfter[0]);
        EXPECT_EQ(fake_adpm().functions[1].enabled, c.enabledAfter[1]);
    }
}

TEST(ChipRevision, LetterAndDigitSteps) {
    const struct {
        uint32_t type;
        uint32_t id;
        uint32_t rev;
    } cases[] = {
        {2, 0x000, 0xA0}, {2, 0x102, 0xB2}, {2, 0x510, 0xF0}, {2, 0x600, 0x00},
        {2, 0x609, 0x09}, {2, 0x509, 0xF9}, {2, 0x00A, 0xA0}, {2, 0xF10F, 0xB0},
        {4, 0x102, 0xB2}, {5, 0x102, 0xB2}, {0, 0x102, 0},    {3, 0x102, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chip_revision(c.type, c.id), c.rev) << c.type << " " << std::hex << c.id;
}

// --- adapters matched to a table entry ---

std::unique_ptr<ConfigEntry> entry_for(uint32_t deviceId) {
    auto entry = std::make_unique<ConfigEntry>();
    entry->ven = VendorId;
    entry->device = deviceId;
    entry->subven = SubVendorId;
    entry->subdev = SubDeviceId;
    copy_text(entry->crv, "a0");
    copy_text(entry->family, "7.10.4");
    return entry;
}

void put_nvram_vpd(FakeFunction& f, const std::vector<uint8_t>& image) {
    std::memcpy(f.nvram.data() + VpdNvramOffset, image.data(), image.size());
}

TEST_F(Inventory, MatchedAdapterGetsItsInstalledVersions) {
    FakeFunction& f = add("eth0", 5);
    f.firmware.bootcodeVersion = 0x0307;
    copy_text(f.firmware.btaVersion, "2.4.6");
    copy_text(f.firmware.ncsiVersion, "4.6.8");
    copy_text(f.firmware.ipmiVersion, "IPMI 1.2.3");
    copy_text(f.firmware.iscsiVersion, "v3.5.7");
    copy_text(f.firmware.uefiVersion, "5.7.9");
    copy_text(f.firmware.cfxVersion, "6.8.10");
    put_nvram_vpd(f, make_vpd("ID", {{"V0", "7.10.3"}}, 8));
    const auto entry = entry_for(DeviceId);

    ASSERT_EQ(run("", entry.get()), 0);
    const AdapterRecord& r = records_[0];
    ASSERT_EQ(r.config, entry.get());
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.extVpd, 0u);
    const struct {
        const char* name;
        const char* text;
        uint32_t number;
        const char* expectedText;
        uint32_t expectedNumber;
    } fields[] = {
        {"family", r.familyVersionText, r.familyVersion, "7.10.3", 71003},
        {"bootcode", r.bcVersionText, r.bcVersion, "7.03", 70300},
        {"bta", r.btaVersionText, r.btaVersion, "2.4.6", 20406},
        {"ncsi", r.ncsiVersionText, r.ncsiVersion, "4.6.8", 40608},
        {"qmx", r.qmxVersionText, r.qmxVersion, "0", 0},
        {"ipmi", r.ipmiVersionText, r.ipmiVersion, "1.2.3", 10203},
        {"iscsi", r.iscsibVersionText, r.iscsibVersion, "3.5.7", 30507},
        {"uefi", r.uefiVersionText, r.uefiVersion, "5.7.9", 50709},
        {"fcoe", r.fcoebVersionText, r.fcoebVersion, "0", 0},
        {"cfx", r.cfxVersionText, r.cfxVersion, "6.8.10", 60810},
    };
    for (const auto& field : fields) {
        EXPECT_STREQ(field.text, field.expectedText) << field.name;
        EXPECT_EQ(field.number, field.expectedNumber) << field.name;
    }
    // Everything after the refresh goes to the new handle.
    EXPECT_EQ(fake_adpm().calls_of("AdpmGetFirmwareInfo"), Calls{"AdpmGetFirmwareInfo(105)=0"});
    EXPECT_EQ(fake_adpm().calls_of("AdpmReadFirmware").front(), "AdpmReadFirmware(105,256,64)=0");
}

TEST_F(Inventory, ExtendedVpdFlagChoosesTheExtendedRoute) {
    FakeFunction& f = add("eth0", 5);
    f.firmware.extVpd = 1;
    f.extVpd = make_vpd("ID", {{"V0", "2.3"}}, 8);
    const auto entry = entry_for(DeviceId);
    ASSERT_EQ(run("", entry.get()), 0);
    EXPECT_EQ(records_[0].extVpd, 1u);
    EXPECT_EQ(records_[0].familyVersion, 20300u);
    EXPECT_TRUE(fake_adpm().calls_of("AdpmReadFirmware").empty());
}

TEST_F(Inventory, UnreadableFirmwareInfoIsReportedButNotProgrammed) {
    add("eth0", 5);
    const auto entry = entry_for(DeviceId);
    fake_adpm().fail("AdpmGetFirmwareInfo", 1);

    ASSERT_EQ(run("", entry.get()), 0);
    const AdapterRecord& r = records_[0];
    EXPECT_EQ(r.config, entry.get());
    EXPECT_EQ(r.status, code_of(ResultCode::AdapterListFailed));
    EXPECT_EQ(field_text(r.familyVersionText), "");
    EXPECT_EQ(field_text(r.bcVersionText), "");
    EXPECT_TRUE(fake_adpm().calls_of("AdpmReadFirmware").empty());
}

TEST_F(Inventory, FamilyTextDisplayFixups) {
    const struct {
        uint32_t deviceId;
        const char* family;
        const char* iscsi;
        const char* shown;
        uint32_t number;  // as read, whatever is shown
    } cases[] = {
        {0x7A09, "4.4.1", "2.7.15", "4.4.2", 40401}, {0x7A0A, "4.4.1", "2.7.15", "4.4.2", 40401},
        {0x7A09, "4.4.1", "2.7.16", "4.4.1", 40401}, {0x7A0B, "3.09", "2.7.15", "3.10", 30900},
        {0x7A0B, "3.09", "2.7.1", "3.09", 30900},    {0x7A0B, "4.4.1", "2.7.15", "4.4.1", 40401},
        {0x7A09, "3.09", "2.7.15", "3.09", 30900},   {0x7A0C, "4.4.1", "2.7.15", "4.4.1", 40401},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.deviceId) + " " + c.family + " " + c.iscsi);
        install_fake_adpm();
        FakeFunction& f = add("eth0", 5);
        f.deviceId = c.deviceId;
        copy_text(f.firmware.iscsiVersion, c.iscsi);
        put_nvram_vpd(f, make_vpd("ID", {{"V0", c.family}}, 8));
        const auto entry = entry_for(c.deviceId);
        ASSERT_EQ(run("", entry.get()), 0);
        EXPECT_EQ(field_text(records_[0].familyVersionText), c.shown);
        EXPECT_EQ(records_[0].familyVersion, c.number);
    }
}

// A disabled function reads as its function 0, with the PHY image its own
// row names.
TEST(ReadThroughFunction0, TakesTheSharedFirmwareAndItsOwnRowsPhyImage) {
    ConfigEntry entry{};
    copy_text(entry.qmxFile, "kxdd_phy.bin");
    copy_text(entry.qmxVersion, "1.3");
    AdapterRecord function0{};
    copy_text(function0.familyVersionText, "7.10.3");
    function0.familyVersion = 71003;
    copy_text(function0.uefiVersionText, "5.7.9");
    function0.uefiVersion = 50709;
    function0.extVpd = 1;
    function0.extPhy = std::make_unique<ExtPhyFirmware>();
    copy_text(function0.extPhy->currentVersion, "1.2");
    AdapterRecord r{};
    r.config = &entry;
    r.status = code_of(ResultCode::AdapterListFailed);

    read_through_function0(r, function0);
    EXPECT_EQ(field_text(r.familyVersionText), "7.10.3");
    EXPECT_EQ(r.uefiVersion, 50709u);
    EXPECT_EQ(r.extVpd, 1u);
    EXPECT_EQ(r.status, 0u);
    ASSERT_NE(r.extPhy, nullptr);
    EXPECT_EQ(field_text(r.extPhy->currentVersion), "1.2");
    EXPECT_EQ(field_text(r.extPhy->fileName), "kxdd_phy.bin");
    EXPECT_EQ(field_text(r.extPhy->targetVersion), "1.3");

    copy_text(entry.qmxFile, NoExtPhyFile);
    read_through_function0(r, function0);
    EXPECT_EQ(r.extPhy, nullptr);
}

}  // namespace
