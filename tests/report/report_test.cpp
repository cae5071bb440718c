#include "report/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "config/config.h"

namespace {

// Captures what the report writes to both streams.
class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        result_ = std::tmpfile();
        log_ = std::tmpfile();
    }
    void TearDown() override {
        std::fclose(result_);
        std::fclose(log_);
    }
    static std::string contents(std::FILE* file) {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        return text;
    }
    std::string result() { return contents(result_); }
    std::string log() { return contents(log_); }

    std::FILE* result_ = nullptr;
    std::FILE* log_ = nullptr;
};

AdapterRecord matched_record(ConfigEntry& entry, uint32_t status) {
    AdapterRecord r{};
    r.vendorId = 0x14e4;
    r.deviceId = 0x7A0B;
    r.subVendorId = 0x1028;
    r.subDeviceId = 0x5B01;
    r.bus = 3;
    r.device = 0;
    r.function = 1;
    copy_text(r.description, "Quad Port LOM");
    copy_text(r.familyVersionText, "7.10.3");
    r.status = status;
    r.config = &entry;
    return r;
}

TEST(Messages, TextsAreExact) {
    EXPECT_STREQ(messages[0], "Update success.");
    EXPECT_STREQ(messages[2], "Dependency failure. Unsuppported operating system.");
    EXPECT_STREQ(messages[9],
                 "Update failure. Firmware programming utility returned an error. Original "
                 "firmware restored");
    EXPECT_STREQ(messages[17],
                 "Update Incomplete!!  Firmware too old.  Reboot, then run this QIK program AGAIN "
                 "to complete the update.");
    EXPECT_STREQ(messages[18],
                 "Update failure. Driver not supported. See release notes for recommended driver.");
}

TEST_F(ReportTest, ErrorFormIsByteExact) {
    print_qik_error(result_, 3);
    EXPECT_EQ(result(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SVMExecution lang=\"en\">\n"
              "\t<SPStatus result=\"false\" code=\"1\">\n\t\t<Message id=\"3\">\n"
              "\t\t\tDependency failure. Could not read configuration file.\n"
              "\t\t</Message>\n\t</SPStatus>\n\t<RebootRequired>0</RebootRequired>\n"
              "</SVMExecution>\n");
    EXPECT_EQ(log(), "");
}

TEST_F(ReportTest, DeviceAndLogFormsAreByteExact) {
    ConfigEntry entry{};
    copy_text(entry.family, "7.12.0");
    const std::vector<AdapterRecord> records = [&] {
        std::vector<AdapterRecord> v;
        v.push_back(matched_record(entry, 0));
        return v;
    }();
    print_qik_execution(result_, log_, records);
    EXPECT_EQ(result(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SVMExecution lang=\"en\">\n"
              "\t<Device vendorID=\"14e4\" deviceID=\"7a0b\" subVendorID=\"1028\" "
              "subDeviceID=\"5b01\" bus=\"3\" device=\"0\" function=\"1\" display=\"Quad Port "
              "LOM\">\n"
              "\t\t<Application componentType=\"FRMW\" version=\"7.10.3\" display=\"Quad Port "
              "LOM\">\n"
              "\t\t\t<Package version=\"7.12.0\"/>\n"
              "\t\t\t<SPStatus result=\"true\">\n"
              "\t\t\t\t<Message id=\"0\">Update success.</Message>\n"
              "\t\t\t</SPStatus>\n\t\t</Application>\n\t</Device>\n"
              "\t<RebootRequired>1</RebootRequired>\n</SVMExecution>\n");
    EXPECT_EQ(log(),
              "<Device vendorID=\"14e4\" deviceID=\"7a0b\" subVendorID=\"1028\" "
              "subDeviceID=\"5b01\" bus=\"3\" device=\"0\" function=\"1\" display=\"Quad Port "
              "LOM\">\n"
              "\t<Application componentType=\"FRMW\" version=\"7.10.3\" display=\"Quad Port "
              "LOM\" />\n</Device>\n");
}

TEST_F(ReportTest, RebootRequiredFollowsDriverNotSupportedEvenUnmatched) {
    ConfigEntry entry{};
    std::vector<AdapterRecord> records;
    records.push_back(matched_record(entry, 0));
    records.push_back(matched_record(entry, 9));
    records.push_back(AdapterRecord{});
    records.back().status = 18;  // unmatched, copied from its function 0
    print_qik_execution(result_, log_, records);
    const std::string xml = result();
    EXPECT_NE(xml.find("<Message id=\"9\">"), std::string::npos);
    EXPECT_NE(xml.find("result=\"false\""), std::string::npos);
    EXPECT_NE(xml.find("<RebootRequired>0</RebootRequired>"), std::string::npos);
}

TEST_F(ReportTest, NoMatchedAdapterGivesCode12AndEmptyLog) {
    std::vector<AdapterRecord> records(2);
    print_qik_execution(result_, log_, records);
    EXPECT_NE(
        result().find("<Message id=\"12\">\n\t\t\tUpdate failure. No supported devices found."),
        std::string::npos);
    EXPECT_EQ(log(), "");
}

TEST(XmlEscape, MarkupControlAndInvalidUtf8) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e'f"},
        {"tab\tnl\ncr\r", "tab\tnl?cr?"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xE2\x82\xAC euro", "\xE2\x82\xAC euro"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"bad\xC3", "bad?"},
        {"\xC0\xAF", "??"},            // overlong
        {"\xED\xA0\x80", "???"},       // surrogate
        {"\xEF\xBF\xBE", "???"},       // U+FFFE
        {"\xF5\x80\x80\x80", "????"},  // beyond U+10FFFF
        {"\x80x", "?x"},
    };
    for (const auto& c : cases) EXPECT_EQ(xml_escape(c.in), c.out) << c.in;
}

TEST_F(ReportTest, HostileDescriptionStaysInsideItsField) {
    ConfigEntry entry{};
    copy_text(entry.family, "7<1");
    std::vector<AdapterRecord> records;
    records.push_back(matched_record(entry, 0));
    std::memset(records[0].description, 'x', sizeof records[0].description);  // no NUL
    print_qik_execution(result_, log_, records);
    const std::string xml = result();
    EXPECT_NE(xml.find("display=\"" + std::string(80, 'x') + "\""), std::string::npos);
    EXPECT_NE(xml.find("<Package version=\"7&lt;1\"/>"), std::string::npos);
}

}  // namespace
