#include "engine/ext_phy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "adapter/adapter_record.h"
#include "common/text.h"
#include "config/config.h"

namespace {

ConfigEntry phy_entry(const char* file, const char* version) {
    ConfigEntry entry{};
    copy_text(entry.qmxFile, file);
    copy_text(entry.qmxVersion, version);
    return entry;
}

FirmwareInfoRecord phy_firmware(const char* version) {
    FirmwareInfoRecord info{};
    copy_text(info.extPhyVersion, version);
    return info;
}

AdapterRecord phy_record(const char* file, const char* current, const char* target) {
    AdapterRecord record{};
    record.extPhy = make_ext_phy_record(phy_firmware(current), phy_entry(file, target));
    return record;
}

TEST(CreateExtPhyFirmware, NoneNameGivesNoRecord) {
    EXPECT_EQ(make_ext_phy_record(phy_firmware("1.0"), phy_entry("none0000.000", "1.0")), nullptr);
    AdapterRecord record = phy_record("none0000.000", "1.0", "2.0");
    EXPECT_EQ(ext_phy_update_needed(record), 0);
}

TEST(CreateExtPhyFirmware, CopiesStayInsideTheirFields) {
    FirmwareInfoRecord info{};
    // A version text without its NUL runs on into the next field of the record.
    std::memset(info.extPhyVersion, '7', sizeof info.extPhyVersion);
    std::memset(info.ipmiVersion, '8', sizeof info.ipmiVersion);
    const auto phy = make_ext_phy_record(info, phy_entry("phy_kxdd.bin", "1.2"));
    ASSERT_NE(phy, nullptr);
    EXPECT_EQ(std::string(phy->currentVersion), std::string(31, '7'));
    EXPECT_STREQ(phy->fileName, "phy_kxdd.bin");
    EXPECT_STREQ(phy->targetVersion, "1.2");
    EXPECT_EQ(phy->kind, PhyKind::None);
    EXPECT_EQ(phy->updateSuppressed, 0u);
}

TEST(ExtPhyFirmwareUpdateNeeded, KindsAndTheirRules) {
    const struct {
        const char* file;
        const char* current;
        const char* target;
        PhyKind kind;
        int needed;
    } cases[] = {
        {"phy_kxaa.bin", "02.2", "2", PhyKind::A, 0},
        {"phy_kxaa.bin", "02.2", "02", PhyKind::A, 0},
        {"phy_kxaa.bin", "02.0", " 0", PhyKind::A, 0},
        {"phy_kxaa.bin", "02.0", "2", PhyKind::A, 1},
        {"phy_kxaa.bin", "02.1", "2", PhyKind::A, 1},
        {"phy_kxaa.bin", "02.1", "-1", PhyKind::A, 0},
        {"phy_kxaa.bin", "02.2", "99999999999999999999", PhyKind::A, 1},
        {"kxbb_kxaa.bin", "02.2", "2", PhyKind::A, 0},
        {"phy_kxbb.bin", "1.0105", "105", PhyKind::B, 0},
        {"phy_kxbb.bin", "1.0105", "0x105", PhyKind::B, 0},
        {"phy_kxbb.bin", "1.0106", "105", PhyKind::B, 1},
        {"phy_kxbb.bin", "105", "0", PhyKind::B, 0},
        {"phy_kxbb.bin", "105", "105", PhyKind::B, 1},
        {"phy_kxbb.bin", "1.ffffffffffffffffffff", "ffffffffffffffffffff", PhyKind::B, 0},
        {"phy_kxbb.bin", "1.100000000", "0", PhyKind::B, 1},
        {"phy_kxcc.bin", "3.1a", "1A", PhyKind::C, 0},
        {"phy_kxdd.bin", "1.2", "1.2", PhyKind::D, 0},
        {"phy_kxdd.bin", "1.2", "1.2 ", PhyKind::D, 1},
        {"phy_KXDD.bin", "1.2", "1.3", PhyKind::None, 0},
        {"", "1.2", "1.3", PhyKind::None, 0},
    };
    for (const auto& c : cases) {
        AdapterRecord record = phy_record(c.file, c.current, c.target);
        EXPECT_EQ(ext_phy_update_needed(record), c.needed)
            << c.file << " " << c.current << " " << c.target;
        EXPECT_EQ(record.extPhy->kind, c.kind) << c.file;
    }
}

TEST(ExtPhyFirmwareUpdateNeeded, NoRecordOrSuppressedNeverAsks) {
    AdapterRecord none{};
    EXPECT_EQ(ext_phy_update_needed(none), 0);
    AdapterRecord suppressed = phy_record("phy_kxdd.bin", "1.2", "1.3");
    suppressed.extPhy->updateSuppressed = 1;
    EXPECT_EQ(ext_phy_update_needed(suppressed), 0);
}

}  // namespace
