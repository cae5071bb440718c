#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/fake_adpm.h"
#include "support/vpd_image.h"
#include "vpd/vpd.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string Signature = std::string("ZRW") + "\x01";
const std::string Reserved(4, '\0');

TEST(IsValidFamilyText, AcceptsOnlyShortDottedVersions) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"1.2", true},        {"14.2.3", true},  {"14.02.03", true},   {"1.2.", true},
        {"1.2.3.4", true},    {"12.34.5", true}, {"99.99.9", true},    {"", false},
        {"12", false},        {"1.", false},     {"123.1", false},     {"1.234", false},
        {"1..2", false},      {".1.2", false},   {"1.2.3.4.5", false}, {"12.34.56", true},
        {"12.34.567", false}, {"1.2a", false},   {"a.1.2", false},     {"1-2.3", false},
        {"1 2.3", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_valid_family_text(c.text), c.valid) << c.text;
}

// What parse_family_version finds; a null text when it finds none.
struct Family {
    const char* text;
    int major, minor, build;
};
constexpr Family NoFamily{nullptr, 0, 0, 0};

struct ImageCase {
    const char* name;
    Bytes image;
    int signature;  // vpd_signature
    int keyword;    // family_keyword_offset: negative code, 0, or 1 for "some offset"
    Family family;
};

// The identifier is 2 bytes long, so the first keyword sits at byte 8.
std::vector<ImageCase> image_cases() {
    auto vpd = [](const std::vector<VpdKeyword>& keywords, int rv = 8) {
        return make_vpd("ID", keywords, rv);
    };
    Bytes noIdentifier = vpd({{"V0", "1.2.3"}});
    noIdentifier[0] = 0x91;
    Bytes noArea = vpd({{"V0", "1.2.3"}});
    noArea[5] = 0x91;
    const std::string sixteen = std::string("1.2") + std::string(13, '\0');
    const std::string seventeen = sixteen + '\0';
    const VpdKeyword sig{"V1", Signature}, rv{"RV", Reserved};
    return {
        {"plain V0", vpd({{"V0", "14.2.3"}}), 0, 1, {"14.2.3", 14, 2, 3}},
        {"V0 after others", vpd({{"PN", "X1"}, {"V0", "14.2"}}), 0, 1, {"14.2", 14, 2, 0}},
        {"signature, FFV", vpd({sig, {"V2", "FFV14.02.03"}}), 1, 1, {"14.02.03", 14, 2, 3}},
        {"FFV, signature", vpd({{"VA", "FFV7.1.2"}, sig}), 1, 1, {"7.1.2", 7, 1, 2}},
        {"signature ignores V0", vpd({{"V0", "1.2.3"}, sig}), 1, 0, NoFamily},
        {"V0 with FFV prefix", vpd({{"V0", "FFV7.1"}}), 0, 1, {"7.1", 7, 1, 0}},
        {"FFV text ends at V", vpd({{"V0", "FFV7.1V9"}}), 0, 1, {"7.1", 7, 1, 0}},
        {"FFV alone", vpd({{"V0", "FFV"}}), 0, 1, NoFamily},
        {"signature after RV", vpd({{"V0", "3.4"}, rv, sig}, -1), 0, 1, {"3.4", 3, 4, 0}},
        {"RV before V0", vpd({rv, {"V0", "1.2.3"}}, -1), 0, 0, NoFamily},
        {"16 bytes of data", vpd({{"V0", sixteen}}), 0, 1, {"1.2", 1, 2, 0}},
        {"17 bytes of data", vpd({{"V0", seventeen}}), 0, 1, NoFamily},
        {"four groups", vpd({{"V0", "1.2.3.4"}}), 0, 1, {"1.2.3.4", 1, 2, 3}},
        {"trailing dot", vpd({{"V0", "1.2."}}), 0, 1, {"1.2.", 1, 2, 0}},
        {"three digits", vpd({{"V0", "123.4"}}), 0, 1, NoFamily},
        {"double dot", vpd({{"V0", "1..2"}}), 0, 1, NoFamily},
        {"too short", vpd({{"V0", "12"}}), 0, 1, NoFamily},
        {"short signature data", vpd({{"V1", "ZR"}, {"V0", "1.2"}}), 0, 1, {"1.2", 1, 2, 0}},
        {"no RV", vpd({{"V1", "x"}}, -1), -3, -3, NoFamily},
        {"empty area", vpd({}, -1), -3, -3, NoFamily},
        {"no identifier tag", noIdentifier, -1, -1, NoFamily},
        {"no VPD-R tag", noArea, -2, -2, NoFamily},
        {"empty image", Bytes{}, -1, -1, NoFamily},
    };
}

TEST(VpdParsers, ReadTheFamilyVersionKeyword) {
    for (const ImageCase& c : image_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vpd_signature(c.image), c.signature);
        const int keyword = family_keyword_offset(c.image);
        EXPECT_EQ(keyword > 1 ? 1 : keyword, c.keyword);

        int major = -1, minor = -1, build = -1;
        char text[16] = "untouched";
        const int result = parse_family_version(c.image, major, minor, build, text);
        if (c.family.text == nullptr) {
            EXPECT_EQ(result, 1);
            EXPECT_STREQ(text, "untouched");
            EXPECT_EQ(major, -1);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_STREQ(text, c.family.text);
            EXPECT_EQ(major, c.family.major);
            EXPECT_EQ(minor, c.family.minor);
            EXPECT_EQ(build, c.family.build);
        }
    }
}

TEST(VpdParsers, KeywordOffsetCountsFromTheStartOfTheImage) {
    EXPECT_EQ(family_keyword_offset(make_vpd("ID", {{"V0", "1.2"}}, 8)), 8);
    EXPECT_EQ(family_keyword_offset(make_vpd("ID", {{"PN", "X1"}, {"V0", "1.2"}}, 8)), 13);
    EXPECT_EQ(family_keyword_offset(make_vpd("ID", {{"V1", Signature}, {"V2", "FFV1.2"}}, 8)), 15);
}

// Each image is held in a buffer of exactly its own size, so a read past the
// end is caught by the sanitizers.
TEST(VpdParsers, LengthsReachingPastTheImageMakeItUnusable) {
    const Bytes whole = make_vpd("ID", {{"V0", "1.2.3"}}, 8, 0);
    auto with = [&](std::size_t at, uint8_t value) {
        Bytes image = whole;
        image[at] = value;
        return image;
    };
    const struct {
        const char* name;
        Bytes image;
        int signature;
    } cases[] = {
        {"identifier length", with(2, 0xFF), -2},
        {"area length", with(6, 0x7F), -3},
        {"keyword length", with(10, 0xF0), -3},
        {"RV length", with(18, 0x40), -3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vpd_signature(c.image), c.signature);
        EXPECT_EQ(family_keyword_offset(c.image), c.signature);
        int major = 0, minor = 0, build = 0;
        char text[16] = "";
        EXPECT_EQ(parse_family_version(c.image, major, minor, build, text), 1);
    }
}

TEST(VpdParsers, EveryTruncatedImageIsUnusable) {
    const Bytes whole = make_vpd("ID", {{"V1", Signature}, {"V2", "FFV1.2.3"}}, 8, 0);
    for (std::size_t size = 0; size < whole.size(); ++size) {
        const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        int major = 0, minor = 0, build = 0;
        char text[16] = "";
        EXPECT_EQ(parse_family_version(part, major, minor, build, text), 1) << size;
    }
    int major = 0, minor = 0, build = 0;
    char text[16] = "";
    EXPECT_EQ(parse_family_version(whole, major, minor, build, text), 0);
}

// --- reading through the library ---

constexpr uint32_t Handle = 7;

class VpdRead : public ::testing::Test {
  protected:
    void SetUp() override {
        reset();
        info_.bootcodeVersion = 0x0207;
    }
    void reset() {
        install_fake_adpm().functions.push_back({});
        function().handle = Handle;
    }
    FakeFunction& function() { return fake_adpm().functions.front(); }
    void put_nvram_vpd(const Bytes& image) {
        std::vector<uint8_t>& nvram = function().nvram;
        if (nvram.size() < VpdNvramOffset + image.size())
            nvram.resize(VpdNvramOffset + image.size());
        std::memcpy(nvram.data() + VpdNvramOffset, image.data(), image.size());
    }
    uint32_t family(char (&text)[16]) {
        return read_installed_family_version(fake_adpm().api, Handle, info_, text);
    }

    FirmwareInfoRecord info_{};
};

TEST_F(VpdRead, ShortImageKeepsTheWholeAreaAsFirstRead) {
    // L + R + 4 = 2 + 17 + 4 = 23 words: less than the 64-word area.
    Bytes image = make_vpd("ID", {{"V0", "1.2"}}, 8, 256);
    image[200] = 0xAB;
    put_nvram_vpd(image);
    const std::optional<VpdBuffer> vpd = read_nvram_vpd(fake_adpm().api, Handle, VpdNvramOffset);
    ASSERT_TRUE(vpd);
    ASSERT_EQ(vpd->size(), VpdAreaWords);
    EXPECT_EQ(std::vector<uint8_t>(vpd_bytes(*vpd).begin(), vpd_bytes(*vpd).end()), image);
    const std::vector<std::string> expected = {
        "AdpmInitDiag(7)=0", "AdpmReadFirmware(7,256,64)=0", "AdpmUnInitDiag(7)=0",
        "AdpmInitDiag(7)=0", "AdpmReadFirmware(7,256,23)=0", "AdpmUnInitDiag(7)=0"};
    EXPECT_EQ(fake_adpm().calls, expected);
}

TEST_F(VpdRead, LongImageIsReadWhole) {
    const Bytes image = make_vpd(std::string(100, 'I'), {{"V0", "3.4.5"}}, 200, 0);
    function().nvram.resize(4096);
    put_nvram_vpd(image);
    const std::optional<VpdBuffer> vpd = read_nvram_vpd(fake_adpm().api, Handle, VpdNvramOffset);
    ASSERT_TRUE(vpd);
    const std::size_t words = 100 + (8 + 203) + 4;
    ASSERT_EQ(vpd->size(), words);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), vpd_bytes(*vpd).begin()));
    char text[16] = "";
    EXPECT_EQ(family(text), 30405u);
    EXPECT_STREQ(text, "3.4.5");
}

TEST_F(VpdRead, FailedOrUnusableReadsGiveNoBuffer) {
    for (unsigned failing : {1u, 2u}) {
        reset();
        put_nvram_vpd(make_vpd("ID", {{"V0", "1.2"}}, 8));
        fake_adpm().fail("AdpmReadFirmware", 3, failing);
        EXPECT_FALSE(read_nvram_vpd(fake_adpm().api, Handle, VpdNvramOffset)) << "read " << failing;
        EXPECT_EQ(fake_adpm().diagOpen[Handle], 0);
    }
    function().nvram[VpdNvramOffset] = 0;
    EXPECT_FALSE(read_nvram_vpd(fake_adpm().api, Handle, VpdNvramOffset));
}

TEST_F(VpdRead, FamilyVersionOrBootcodeFallback) {
    const struct {
        const char* name;
        Bytes nvramVpd;
        uint16_t bootcode;
        uint32_t number;
        const char* text;
    } cases[] = {
        {"VPD version", make_vpd("ID", {{"V0", "14.2.3"}}, 8), 0x0207, 140203, "14.2.3"},
        {"no keyword", make_vpd("ID", {{"PN", "X"}}, 8), 0x0207, 70200, "7.02.0"},
        {"invalid text", make_vpd("ID", {{"V0", "123.4"}}, 8), 0x0A07, 71000, "7.10.0"},
        {"no VPD", Bytes(256, 0), 0x0000, 0, "0.00.0"},
        {"both bytes full", Bytes(256, 0), 0xFFFF, 255 * 10000 + 255 * 100, "255.255.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put_nvram_vpd(c.nvramVpd);
        info_.bootcodeVersion = c.bootcode;
        char text[16] = "";
        EXPECT_EQ(family(text), c.number);
        EXPECT_STREQ(text, c.text);
    }
}

TEST_F(VpdRead, ExtendedVpdIsParsedFromItsFirstByte) {
    info_.extVpd = 1;
    function().extVpd = make_vpd("ID", {{"V1", Signature}, {"V2", "FFV21.1.4"}}, 8, 0);
    char text[16] = "";
    EXPECT_EQ(family(text), 210104u);
    EXPECT_STREQ(text, "21.1.4");
    EXPECT_EQ(fake_adpm().calls_of("AdpmGetExtVPD"),
              std::vector<std::string>{"AdpmGetExtVPD(7,512)=0"});
    EXPECT_TRUE(fake_adpm().calls_of("AdpmReadFirmware").empty());
}

// The fake claims every byte it holds, 700, though only 512 fit the buffer.
TEST_F(VpdRead, ExtendedVpdClaimingMoreThanItsBufferIsCut) {
    info_.extVpd = 1;
    const Bytes fits = make_vpd("ID", {{"V0", "1.2"}}, 8, 700);
    Bytes areaPastBuffer = fits;
    areaPastBuffer[6] = 600 & 0xFF;
    areaPastBuffer[7] = 600 >> 8;
    const struct {
        const char* name;
        Bytes image;
        uint32_t number;
    } cases[] = {{"image inside", fits, 10200}, {"area past the buffer", areaPastBuffer, 70200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        function().extVpd = c.image;
        char text[16] = "";
        EXPECT_EQ(family(text), c.number);
    }
}

TEST_F(VpdRead, FailedExtendedVpdLeavesTextUntouched) {
    info_.extVpd = 1;
    fake_adpm().fail("AdpmGetExtVPD", 4);
    char text[16] = "kept";
    EXPECT_EQ(family(text), static_cast<uint32_t>(-3));
    EXPECT_STREQ(text, "kept");
}

}  // namespace
