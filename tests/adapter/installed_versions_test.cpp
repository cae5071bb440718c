#include "adapter/installed_versions.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "support/fake_adpm.h"

namespace {

TEST(TrailingVersionNumber, ReadsTheTrailingRunOfDigitsAndDots) {
    const struct {
        const char* source;
        const char* text;
        uint32_t number;
    } cases[] = {
        {"7.10.3", "7.10.3", 71003},
        {"rev 2.7.15", "2.7.15", 20715},
        {"FW 1.2", "1.2", 10200},
        {"15", "15", 150000},
        {"1..3", "1..3", 10003},
        {"1.2.", "1.2.", 10200},
        {"1.2.3.4", "1.2.3.4", 10203},
        {".5", ".5", 500},
        {"v1.100.2", "1.100.2", 20002},
        {"", "", 0},
        {"2.7.15a", "", 0},
        {"7.10.3 ", "", 0},
        {"1.2.3.4.5.6.7.8.9", "1.2.3.4.5.6.7.8", 10203},
        {"build 2.3.4.5.6.7.8.9.10", "2.3.4.5.6.7.8.9", 20304},
    };
    for (const auto& c : cases) {
        char text[16] = "stale";
        EXPECT_EQ(trailing_version_number(c.source, text), c.number) << c.source;
        EXPECT_STREQ(text, c.text) << c.source;
    }
}

// Groups far beyond 32 bits wrap instead of overflowing.
TEST(TrailingVersionNumber, HugeGroupsStayDefined) {
    char text[16] = "";
    EXPECT_EQ(trailing_version_number("4294967296.0.1", text), 1u);
    EXPECT_EQ(trailing_version_number("0.0.100000000000000000000", text),
              1661992960u);  // 10^20 mod 2^32
    EXPECT_STREQ(text, "0.0.10000000000");
}

void put_text(FirmwareInfoRecord& info, std::size_t offset, const std::string& text) {
    std::memcpy(reinterpret_cast<char*>(&info) + offset, text.data(), text.size());
}

TEST(InstalledVersion, BootcodeMinorHasTwoDigits) {
    const struct {
        uint16_t word;
        const char* text;
        uint32_t number;
    } cases[] = {
        {0x0A07, "7.10", 71000}, {0x0307, "7.03", 70300},      {0x0507, "7.05", 70500},
        {0x0000, "0.00", 0},     {0xFFFF, "255.255", 2575500},
    };
    for (const auto& c : cases) {
        FirmwareInfoRecord info{};
        info.bootcodeVersion = c.word;
        char text[16] = "";
        EXPECT_EQ(read_installed_version({InstalledForm::BootcodeWord}, info, text), c.number)
            << c.text;
        EXPECT_STREQ(text, c.text);
    }
}

// The record sits at the end of its allocation, so reading past it is caught.
TEST(InstalledVersion, TextWithoutNulEndsWithTheRecord) {
    const auto info = std::make_unique<FirmwareInfoRecord>();
    std::string cfx;
    while (cfx.size() < sizeof info->cfxVersion) cfx += "1.2.";
    put_text(*info, offsetof(FirmwareInfoRecord, cfxVersion), cfx);
    char text[16] = "";
    EXPECT_EQ(read_installed_version(
                  {InstalledForm::InfoText, offsetof(FirmwareInfoRecord, cfxVersion)}, *info, text),
              10201u);
    EXPECT_STREQ(text, "1.2.1.2.1.2.1.2");
}

TEST(ReadFirmwareInfo, FillsTheRecordOrFails) {
    FakeAdpm& fake = install_fake_adpm();
    fake.functions.push_back({});
    fake.functions[0].handle = 4;
    fake.functions[0].firmware.bootcodeVersion = 0x0307;
    FirmwareInfoRecord info;
    std::memset(&info, 0xEE, sizeof info);
    EXPECT_TRUE(read_firmware_info(fake_adpm().api, 4, info));
    EXPECT_EQ(info.bootcodeVersion, 0x0307);

    fake.fail("AdpmGetFirmwareInfo", 1);
    EXPECT_FALSE(read_firmware_info(fake_adpm().api, 4, info));
}

}  // namespace
