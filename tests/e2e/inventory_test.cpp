// The adapter inventory seen from outside: which functions a run selects,
// enables and disables again, and how the report shows what it found.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness.h"

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// One Device element of the result document.
struct ReportedDevice {
    std::string location;   // "bus:device.function"
    std::string installed;  // Application version: the installed family text
    std::string target;     // Package version: the entry's family text
    int message;
};

std::vector<ReportedDevice> reported_devices(const std::string& xml) {
    static const std::regex device(
        "<Device [^>]* bus=\"(\\d+)\" device=\"(\\d+)\" function=\"(\\d+)\" [^>]*>\\s*"
        "<Application componentType=\"FRMW\" version=\"([^\"]*)\"[^>]*>\\s*"
        "<Package version=\"([^\"]*)\"/>\\s*<SPStatus result=\"\\w+\">\\s*<Message id=\"(\\d+)\">");
    std::vector<ReportedDevice> devices;
    for (auto m = std::sregex_iterator(xml.begin(), xml.end(), device); m != std::sregex_iterator();
         ++m) {
        const std::smatch& d = *m;
        devices.push_back(
            {d[1].str() + ":" + d[2].str() + "." + d[3].str(), d[4], d[5], std::stoi(d[6])});
    }
    return devices;
}

std::vector<std::string> reported_locations(const std::string& xml) {
    std::vector<std::string> locations;
    for (const ReportedDevice& d : reported_devices(xml)) locations.push_back(d.location);
    return locations;
}

// The trace lines of one library call, in the order they were made.
std::vector<std::string> calls_to(const std::string& trace, const std::string& call) {
    std::vector<std::string> found;
    for (const std::string& line : lines_of(trace))
        if (line.starts_with(call + "(")) found.push_back(line);
    return found;
}

json& function_named(json& bench, const std::string& service) {
    for (json& f : bench["functions"])
        if (f["serviceName"] == service) return f;
    throw std::runtime_error("no function " + service);
}

bool enabled_after(const RunResult& r, const std::string& service) {
    json bench = r.bench;
    return function_named(bench, service)["enabled"].get<bool>();
}

// Function 0 of `adapter` at PCI bus `bus`, with a handle and MAC of its own.
void add_function(json& bench, const std::string& adapter, unsigned bus, const std::string& service,
                  bool enabled = true) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "00:1c:5a:ab:00:%02x", bus);
    bench["functions"].push_back({{"serviceName", service},
                                  {"adapter", adapter},
                                  {"function", 0},
                                  {"handle", 0x10000 + bus},
                                  {"mac", mac},
                                  {"enabled", enabled}});
}

// A function on another adapter with the IDs of the demo's adapter `like`,
// so that the demo table would match it.
void add_copy_of(json& bench, const std::string& like, unsigned bus, const std::string& service,
                 bool enabled) {
    json adapter = bench["adapters"][like];
    adapter["bus"] = bus;
    const std::string name = like + std::to_string(bus);
    bench["adapters"][name] = adapter;
    add_function(bench, name, bus, service, enabled);
}

void add_fault(json& bench, const char* part, json fault) {
    bench[part]["faults"].push_back(std::move(fault));
}

}  // namespace

// Selection: type 2 only, "-skip" as a plain substring search, disabled
// functions enabled and disabled again, failed enables deselected.
TEST(Inventory, SelectsEnablesAndRestoresTheRightFunctions) {
    json bench = demo_bench();
    function_named(bench, "eth3")["enabled"] = false;  // matched: enabled, reported, disabled again
    function_named(bench, "eth6")["enabled"] = false;  // unmatched: the same, but not reported
    json& fcoe = function_named(bench, "fcoe0");       // type 4: left alone
    fcoe["enabled"] = false;
    fcoe["handleAfterRefresh"] = 12544;
    // eth5 starts disabled; its enable answers "already enabled" but works.
    add_fault(bench, "library",
              {{"call", "AdpmEnableDevice"},
               {"serviceName", "eth5"},
               {"occurrence", 1},
               {"result", 251},
               {"perform", true}});
    // Functions the table would match were they selected.
    add_copy_of(bench, "lom", 2, "eth", false);
    add_copy_of(bench, "lom", 3, "", true);
    add_copy_of(bench, "lom", 5, "eth7", false);
    add_fault(bench, "library",
              {{"call", "AdpmEnableDevice"}, {"serviceName", "eth7"}, {"result", 1}});
    Scratch s(bench);
    copy_demo_files(s);

    const RunResult r = s.run({"-skip", "eth1,eth2"});
    EXPECT_EQ(r.exitStatus, 0);
    // eth1 and eth2 are skipped, and so are "eth" (inside the skip text) and
    // the function without a service name; eth7 could not be enabled.
    EXPECT_THAT(reported_locations(r.resultXml), ElementsAre("1:0.0", "1:0.3", "4:0.0", "4:0.1"));
    EXPECT_THAT(r.resultXml, Not(HasSubstr("result=\"false\"")));

    // Enabled in the first pass, disabled at the end with the handle the
    // refresh gave; nothing else is ever enabled or disabled.
    EXPECT_THAT(calls_to(r.libraryTrace, "AdpmEnableDevice"),
                ElementsAre("AdpmEnableDevice(4099,1)=0",
                            "AdpmEnableDevice(8193,1)=251 (injected, performed)",
                            "AdpmEnableDevice(16384,1)=0", "AdpmEnableDevice(65541,1)=1 (injected)",
                            "AdpmEnableDevice(4099,0)=0", "AdpmEnableDevice(8449,0)=0",
                            "AdpmEnableDevice(16384,0)=0",
                            // A failed enable may still have left eth7 on.
                            "AdpmEnableDevice(65541,0)=1 (injected)"));
    for (const char* service : {"eth3", "eth5", "eth6", "fcoe0", "eth", "eth7"})
        EXPECT_FALSE(enabled_after(r, service)) << service;
    EXPECT_TRUE(enabled_after(r, ""));

    // Every handle is looked up again after the refresh and only the new
    // ones are used from then on.
    const std::string afterRefresh =
        r.libraryTrace.substr(r.libraryTrace.find("AdpmRefreshData()=0"));
    EXPECT_THAT(afterRefresh, HasSubstr("AdpmGetHandleByServiceName(\"fcoe0\")=0 handle=12544"));
    EXPECT_THAT(afterRefresh, HasSubstr("AdpmGetHandleByServiceName(\"\")=0 handle=65539"));
    EXPECT_THAT(afterRefresh, HasSubstr("AdpmGetVXLRNicInfoEx(8449)=0"));
    for (const char* stale : {"(8192", "(8193", "(12288"})
        EXPECT_THAT(afterRefresh, Not(HasSubstr(stale)));

    // Only the selected, matched adapters meet the tool.
    for (const char* mac : {"001c5a100001", "001c5a100002", "001c5aab0002", "001c5aab0003",
                            "001c5aab0005", "001c5a600000", "001c5a700000"})
        EXPECT_THAT(r.toolLog, Not(HasSubstr(mac))) << mac;
}

// The report names each matched adapter with the family version installed
// on it: the signature's FFV keyword, a plain V0, or the bootcode.
TEST(Inventory, ReportShowsTheInstalledFamilyText) {
    json bench = demo_bench();
    const auto add_adapter = [&](const std::string& name, const std::string& deviceId, unsigned bus,
                                 json firmware, json vpd) {
        json adapter = {{"vendorId", "0x1f3d"},
                        {"deviceId", deviceId},
                        {"subVendorId", "0x1c5a"},
                        {"subDeviceId", "0x5b" + deviceId.substr(4)},
                        {"bus", bus},
                        {"device", 0},
                        {"chipRevisionId", "0x000"},
                        {"description", "Vexlor VX" + deviceId.substr(2)},
                        {"firmware", std::move(firmware)}};
        adapter.update(vpd);
        bench["adapters"][name] = adapter;
        add_function(bench, name, bus, "eth" + std::to_string(bus));
    };
    const auto vpd = [](const char* keyword, const char* data) {
        return json{{"identifier", "Vexlor"},
                    {"keywords", json::array({json::array({keyword, data})})}};
    };
    // The VPD's family text is no valid version: the bootcode stands in.
    add_adapter("invalid", "0x7a0d", 10, {{"bootcode", "7.2"}},
                {{"nvram", {{"vpd", vpd("V0", "1..2")}}}});
    // A firmware set whose VPD names its family one step behind.
    add_adapter("behind", "0x7a09", 11, {{"bootcode", "4.4"}, {"iscsi", "2.7.15"}},
                {{"nvram", {{"vpd", vpd("V0", "4.4.1")}}}});
    // An extended VPD the library claims is longer than the buffer.
    add_adapter("longext", "0x7a0e", 12, {{"bootcode", "3.1"}},
                {{"extendedVpd", true},
                 {"extVpd", {{"vpd", vpd("V0", "FFV3.1.4")}}},
                 {"extVpdLength", 600}});
    // An extended VPD whose VPD-R length reaches far past what is delivered.
    add_adapter("hostile", "0x7a0f", 13, {{"bootcode", "5.3"}},
                {{"extendedVpd", true}, {"extVpd", "82 0400 41424344 90 ffff 5630 05 312e322e33"}});
    // A function without a service name is skipped even without "-skip".
    add_copy_of(bench, "lom", 3, "", true);
    Scratch s(bench);
    copy_demo_files(s);
    s.write_file("vxlkqfw.cfg", s.read_file("vxlkqfw.cfg") +
                                    "! ven device subven subdev crv family\n"
                                    "1f3d 7a0c 1c5a 5b0c a1 1.4.0\n"
                                    "1f3d 7a0d 1c5a 5b0d a0 7.3.0\n"
                                    "1f3d 7a09 1c5a 5b09 a0 4.4.2\n"
                                    "! ven device subven subdev crv family VPD\n"
                                    "1f3d 7a0e 1c5a 5b0e a0 3.2.0 vpd_7a06.txt,3.2.0\n"
                                    "1f3d 7a0f 1c5a 5b0f a0 5.4.0 vpd_7a06.txt,5.4.0\n");

    const RunResult r = s.run();
    std::vector<std::string> shown;
    for (const ReportedDevice& d : reported_devices(r.resultXml))
        shown.push_back(d.location + " " + d.installed + " -> " + d.target);
    EXPECT_THAT(
        shown,
        ElementsAre("1:0.0 7.8.2 -> 7.10.3", "1:0.1 7.8.2 -> 7.10.3", "1:0.2 7.8.2 -> 7.10.3",
                    "1:0.3 7.8.2 -> 7.10.3", "4:0.0 2.3.0 -> 2.4.1", "4:0.1 2.3.0 -> 2.4.1",
                    "7:0.0 1.4.0 -> 1.4.0", "10:0.0 7.02.0 -> 7.3.0", "11:0.0 4.4.2 -> 4.4.2",
                    "12:0.0 3.1.4 -> 3.2.0", "13:0.0 5.03.0 -> 5.4.0"));
    // The log names the same adapters with the same installed texts.
    EXPECT_THAT(r.inventoryLog,
                HasSubstr("bus=\"10\" device=\"0\" function=\"0\" display=\"Vexlor VX7a0d\">\n"
                          "\t<Application componentType=\"FRMW\" version=\"7.02.0\""));
}

// An adapter whose firmware information cannot be read is reported with
// code 10 and left untouched; the rest of the run goes on.
TEST(Inventory, UnreadableFirmwareInformationIsReportedAndNeverProgrammed) {
    struct Case {
        json filter;
        std::vector<std::string> unreadable;  // locations reported with code 10
    };
    const Case cases[] = {
        {{{"adapter", "lom"}}, {"1:0.0", "1:0.1", "1:0.2", "1:0.3"}},
        {{{"serviceName", "eth1"}}, {"1:0.1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter.dump());
        json bench = demo_bench();
        json fault = c.filter;
        fault.update({{"call", "AdpmGetFirmwareInfo"}, {"result", 9}});
        add_fault(bench, "library", fault);
        Scratch s(bench);
        copy_demo_files(s);
        const std::vector<uint8_t> nvram = s.nvram("lom");

        const RunResult r = s.run();
        EXPECT_EQ(r.exitStatus, 0x10);
        for (const ReportedDevice& d : reported_devices(r.resultXml)) {
            const bool unreadable =
                std::ranges::find(c.unreadable, d.location) != c.unreadable.end();
            EXPECT_EQ(d.message, unreadable ? 10 : 0) << d.location;
            if (unreadable) {
                EXPECT_EQ(d.installed, "") << d.location;
            }
        }
        EXPECT_THAT(r.resultXml,
                    HasSubstr("<SPStatus result=\"false\">\n\t\t\t\t<Message id=\"10\">"
                              "Update failure. Could not acquire network adapter list.</Message>"));
        EXPECT_EQ(reported_devices(r.resultXml).size(), 6u);
        // The adapter whose function 0 could not be read is not written.
        if (c.unreadable.front() == "1:0.0") {
            EXPECT_THAT(r.toolLog, Not(HasSubstr("001c5a10000")));
            EXPECT_EQ(s.nvram("lom"), nvram);
            EXPECT_EQ(r.bench["adapters"]["lom"]["firmware"]["bootcode"], "7.8");
        }
        EXPECT_EQ(r.bench["adapters"]["addin"]["firmware"]["bootcode"], "2.12");
    }
}

// A failing library call during the inventory ends the run with code 10;
// nothing is reported or written, and adapters enabled so far are disabled
// again, found by their service names.
TEST(Inventory, LibraryFailureEndsTheRunAndDisablesEnabledAdaptersAgain) {
    const json faults[] = {
        {{"call", "AdpmRefreshData"}},
        {{"call", "AdpmGetPhyNic"}, {"occurrence", 9}},  // the first of the second pass
        {{"call", "AdpmGetHandleByServiceName"},
         {"serviceName", "fcoe0"}},  // unselected, looked up all the same
        // The second pass's: the first reads the MAC for the note.
        {{"call", "AdpmGetVXLRNicInfoEx"}, {"serviceName", "eth5"}, {"occurrence", 2}},
    };
    for (const json& fault : faults) {
        SCOPED_TRACE(fault.dump());
        json bench = demo_bench();
        add_fault(bench, "library", fault);
        Scratch s(bench);
        copy_demo_files(s);

        const RunResult r = s.run();
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.resultXml, error_form(10));
        EXPECT_TRUE(r.inventoryLogExists);
        EXPECT_EQ(r.inventoryLog, "");
        EXPECT_EQ(r.toolLog, "");
        EXPECT_THAT(calls_to(r.libraryTrace, "AdpmEnableDevice"),
                    ElementsAre("AdpmEnableDevice(8193,1)=0", EndsWith(",0)=0")));
        EXPECT_FALSE(enabled_after(r, "eth5"));
        EXPECT_THAT(r.libraryTrace, HasSubstr("AdpmUninitialize()=0"));
    }
}

// Whatever texts and numbers the library reports, the report stays a valid
// document: markup characters escaped, control bytes other than DEL replaced, an 80-byte
// description without a terminating NUL cut to 79 bytes.
TEST(Inventory, ReportStaysValidWhateverTheLibraryReports) {
    json bench = demo_bench();
    const std::string description = "Vexlor & <Sons> \"VX7A10\" \x01\x7f caf\xc3\xa9 adapter";
    json& lom = bench["adapters"]["lom"];
    lom["description"] = description + std::string(80 - description.size(), '#');
    lom["bus"] = "0xffffffff";
    Scratch s(bench);
    copy_demo_files(s);

    const RunResult r = s.run();
    EXPECT_EQ(r.exitStatus, 0);
    const std::string shown =
        "display=\"Vexlor &amp; &lt;Sons&gt; &quot;VX7A10&quot; ?\x7f caf\xc3\xa9 adapter" +
        std::string(79 - description.size(), '#') + "\"";
    EXPECT_THAT(r.resultXml,
                HasSubstr("bus=\"4294967295\" device=\"0\" function=\"0\" " + shown + ">"));
    EXPECT_THAT(r.inventoryLog,
                HasSubstr("bus=\"4294967295\" device=\"0\" function=\"3\" " + shown + ">"));
}
