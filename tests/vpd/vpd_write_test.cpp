#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ext_vpd_family.h"
#include "support/fake_adpm.h"
#include "support/scratch_dir.h"
#include "support/tool_script.h"
#include "support/vpd_image.h"
#include "vpd/vpd.h"

namespace {

constexpr uint32_t Handle = 5;
constexpr const char* Identifier = "Dual Port 10GbE";

std::vector<uint8_t> bytes_of(const std::vector<uint32_t>& words) {
    const auto* first = reinterpret_cast<const uint8_t*>(words.data());
    return {first, first + words.size() * 4};
}

class FamilyRewrite : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeAdpm& fake = install_fake_adpm();
        fake.functions.push_back(FakeFunction{});
        fake.functions.back().handle = Handle;
    }
    static FakeAdpm& fake() { return fake_adpm(); }
    static std::vector<uint8_t> nvram_vpd() {
        const std::vector<uint8_t>& nvram = fake_adpm().functions.front().nvram;
        return {nvram.begin() + 0x100, nvram.begin() + 0x200};
    }
};

TEST_F(FamilyRewrite, KeywordCases) {
    const struct {
        const char* name;
        std::vector<VpdKeyword> before;
        int rvBefore;
        std::string family;
        std::vector<VpdKeyword> after;
        int rvAfter;
    } cases[] = {
        {"same length",
         {{"PN", "X1"}, {"V0", "7.10.3"}},
         20,
         "7.12.0",
         {{"PN", "X1"}, {"V0", "7.12.0"}},
         20},
        {"longer", {{"V0", "7.10"}}, 20, "7.12.0", {{"V0", "7.12.0"}}, 18},
        {"shorter", {{"V0", "17.10.13"}}, 20, "7.12.0", {{"V0", "7.12.0"}}, 22},
        {"uses all reserved space", {{"V0", "7.1"}}, 4, "7.12.0", {{"V0", "7.12.0"}}, 1},
        {"inserted", {{"PN", "X1"}}, 20, "7.12.0", {{"PN", "X1"}, {"V0", "7.12.0"}}, 11},
        {"FFV prefix dropped without signature",
         {{"V0", "FFV7.10.3"}},
         20,
         "7.12.0",
         {{"V0", "7.12.0"}},
         23},
        {"signature with FFV",
         {{"V1", "ZRW01"}, {"V3", "FFV7.10.3"}},
         20,
         "7.12.0",
         {{"V1", "ZRW01"}, {"V3", "FFV7.12.0"}},
         20},
        {"signature without FFV",
         {{"V0", "7.10.3"}, {"V1", "ZRW01"}},
         20,
         "7.12.0",
         {{"V0", "7.10.3"}, {"V1", "ZRW01"}, {"V0", "7.12.0"}},
         11},
        {"MN",
         {{"MN", "ABCD"}, {"V0", "7.10.3"}},
         20,
         "7.12.0",
         {{"MN", "1F3D"}, {"V0", "7.12.0"}},
         20},
        {"three family keywords",
         {{"V2", "FFV1.0"}, {"V0", "1.0"}, {"V3", "FFV1.0"}},
         20,
         "7.12.0",
         {{"V2", "FFV7.12.0"}, {"V0", "7.12.0"}, {"V3", "FFV7.12.0"}},
         11},
    };
    for (const auto& c : cases) {
        SetUp();
        std::vector<uint32_t> vpd = vpd_words(make_vpd(Identifier, c.before, c.rvBefore));
        ASSERT_EQ(
            write_nvram_family_version(fake_adpm().api, vpd, Handle, VpdNvramOffset, c.family), 0)
            << c.name;
        const std::vector<uint8_t> expected = make_vpd(Identifier, c.after, c.rvAfter);
        EXPECT_EQ(bytes_of(vpd), expected) << c.name;
        EXPECT_EQ(nvram_vpd(), expected) << c.name;
    }
}

TEST_F(FamilyRewrite, WritesBackInsideOneDiagnosticBracket) {
    std::vector<uint32_t> vpd = vpd_words(make_vpd(Identifier, {{"V0", "7.10.3"}}, 20));
    ASSERT_EQ(write_nvram_family_version(fake_adpm().api, vpd, Handle, VpdNvramOffset, "7.12.0"),
              0);
    EXPECT_EQ(fake().calls,
              (std::vector<std::string>{"AdpmInitDiag(5)=0", "AdpmWriteFirmware(5,256,64)=0",
                                        "AdpmUnInitDiag(5)=0"}));
}

// The old reserved bytes behind the checksum move with the family keyword.
TEST_F(FamilyRewrite, ReservedBytesFollowTheChecksum) {
    const struct {
        std::string oldFamily, newFamily;
        std::vector<uint8_t> tail;  // the area's last bytes after the new checksum
    } cases[] = {
        {"7.10", "7.12.0", {0xA3, 0xA4, 0xA5}},
        {"17.10.13", "7.12.0", {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0, 0}},
    };
    for (const auto& c : cases) {
        SetUp();
        std::vector<uint8_t> image = make_vpd(Identifier, {{"V0", c.oldFamily}}, 6);
        const std::size_t areaEnd = 3 + 15 + 3 + 3 + c.oldFamily.size() + 3 + 6;
        for (uint8_t i = 0; i < 5; ++i) image[areaEnd - 5 + i] = static_cast<uint8_t>(0xA1 + i);
        std::vector<uint32_t> vpd = vpd_words(image);
        ASSERT_EQ(
            write_nvram_family_version(fake_adpm().api, vpd, Handle, VpdNvramOffset, c.newFamily),
            0);
        const std::vector<uint8_t> after = bytes_of(vpd);
        const std::size_t checksumAt = areaEnd - c.tail.size() - 1;
        EXPECT_EQ(std::vector<uint8_t>(after.begin() + static_cast<long>(checksumAt) + 1,
                                       after.begin() + static_cast<long>(areaEnd)),
                  c.tail)
            << c.newFamily;
        EXPECT_EQ(vpd_sum(after, checksumAt + 1), 0) << c.newFamily;
    }
}

TEST_F(FamilyRewrite, RefusesWhatCannotBeRewrittenInPlace) {
    auto with_length_at = [](std::vector<uint8_t> image, std::size_t at, uint8_t length) {
        image[at] = length;
        return image;
    };
    const std::vector<uint8_t> good = make_vpd(Identifier, {{"V0", "7.10.3"}}, 20);
    const std::size_t areaStart = 3 + 15 + 3;
    const struct {
        const char* name;
        std::vector<uint8_t> image;
        std::string family;
    } cases[] = {
        {"growth beyond the reserved space", make_vpd(Identifier, {{"V0", "7.1"}}, 3), "7.12.0"},
        {"insertion beyond the reserved space", make_vpd(Identifier, {{"PN", "X"}}, 9), "7.12.0"},
        {"MN of another length", make_vpd(Identifier, {{"MN", "ABC"}, {"V0", "7.1"}}, 20),
         "7.12.0"},
        {"no RV", make_vpd(Identifier, {{"V0", "7.10.3"}, {"PN", "X1"}}, -1), "7.12.0"},
        {"RV without checksum byte", make_vpd(Identifier, {{"V0", "7.10.13"}}, 0), "7.12.0"},
        {"keyword runs past the area", with_length_at(good, areaStart + 2, 200), "7.10.3"},
        {"area past the written part", make_vpd(std::string(200, 'x'), {{"V0", "7.1"}}, 60),
         "7.12.0"},
        {"identifier past the written part", with_length_at(good, 2, 1), "7.12.0"},
        {"no identifier tag", with_length_at(good, 0, 0x83), "7.12.0"},
        {"no VPD-R tag", with_length_at(good, 18, 0x91), "7.12.0"},
    };
    for (const auto& c : cases) {
        SetUp();
        std::vector<uint32_t> vpd = vpd_words(c.image);
        const std::vector<uint32_t> before = vpd;
        EXPECT_EQ(
            write_nvram_family_version(fake_adpm().api, vpd, Handle, VpdNvramOffset, c.family), 1)
            << c.name;
        EXPECT_EQ(vpd, before) << c.name;
        EXPECT_TRUE(fake().calls_of("AdpmWriteFirmware").empty()) << c.name;
    }
}

TEST_F(FamilyRewrite, ShortBufferAndFailedWriteGiveOne) {
    std::vector<uint32_t> shortVpd = vpd_words(make_vpd(Identifier, {{"V0", "7.1"}}, 8, 128));
    EXPECT_EQ(write_nvram_family_version(fake_adpm().api, shortVpd, Handle, VpdNvramOffset, "7.2"),
              1);
    EXPECT_TRUE(fake().calls.empty());

    fake().fail("AdpmWriteFirmware", 3);
    std::vector<uint32_t> vpd = vpd_words(make_vpd(Identifier, {{"V0", "7.10.3"}}, 20));
    EXPECT_EQ(write_nvram_family_version(fake_adpm().api, vpd, Handle, VpdNvramOffset, "7.12.0"),
              1);
    EXPECT_EQ(fake().diagOpen[Handle], 0);
}

// --- the extended route: the template and the tool ---

constexpr const char* Mac = "0a1b2c3d4e5f";
constexpr const char* VpdCommand =
    "./nicflsh 0a1b2c3d4e5f upgrade -noreset -vpd VpdUpdate.txt >/dev/null 2>&1";

int update_from_template(const ToolScript& tool, const char* templatePath,
                         std::string_view family) {
    const FamilyWriter writer{tool.runner(), process_working_directory(), stdout};
    return writer.write_from_template(Mac, 2, family, templatePath, false);
}

TEST(VpdTemplate, RewritesTheFamilyLine) {
    const std::string longLine = std::string(350, 'x') + "\n";
    const struct {
        const char* name;
        std::string templateText;
        std::string family;
        std::string written;
    } cases[] = {
        {"trailing newline", "A=1\nV0=Text,\"FFV7.10.3\"\nB=2\n", "7.12.0",
         "A=1\nV0=Text,\"FFV7.12.0\"\nB=2\n "},
        {"no trailing newline", "A=1\n  V0 FFV old", "7.12.0", "A=1\nV0=Text,\"FFV7.12.0\"\n"},
        {"V0 without FFV", "V0=Text,\"7.10\"\n", "7.12.0", "V0=Text,\"7.10\"\n "},
        {"family cut to ten", "V0=Text,\"FFV1\"\n", "7.12.0.1.2.3", "V0=Text,\"FFV7.12.0.1.2\"\n "},
        {"long line copied whole", longLine, "7.12.0", longLine + " "},
        {"empty template", "", "7.12.0", ""},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        ToolScript tool;
        ScratchDir::write("vpd.tpl", c.templateText);
        // A file left by an earlier adapter is replaced whole, however long.
        ScratchDir::write(VpdUpdateFileName, std::string(1000, 'z'));
        EXPECT_EQ(update_from_template(tool, "vpd.tpl", c.family), 0) << c.name;
        EXPECT_EQ(ScratchDir::read(VpdUpdateFileName), c.written) << c.name;
        EXPECT_EQ(tool.commands(), std::vector<std::string>{VpdCommand}) << c.name;
    }
}

TEST(VpdTemplate, MissingTemplateLeavesAnEmptyFileAndRunsNothing) {
    ScratchDir dir;
    ToolScript tool;
    ScratchDir::write(VpdUpdateFileName, "old contents");
    testing::internal::CaptureStdout();
    EXPECT_EQ(update_from_template(tool, "missing.tpl", "7.12.0"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "failed to program VPD information into device\n");
    EXPECT_EQ(ScratchDir::read(VpdUpdateFileName), "");
    EXPECT_TRUE(tool.commands().empty());
}

TEST(VpdTemplate, WriteProtectAndDriverResultsPassOnOtherFailuresGiveOne) {
    const struct { int exitCode, result; } cases[] = {{0, 0}, {1, 1}, {203, 5}, {40, 18}};
    for (const auto& c : cases) {
        ScratchDir dir;
        ToolScript tool;
        ScratchDir::write("vpd.tpl", "V0 FFV\n");
        tool.exit_with("-vpd", c.exitCode);
        EXPECT_EQ(update_from_template(tool, "vpd.tpl", "7.12.0"), c.result) << c.exitCode;
    }
}

}  // namespace
