// The bench's own behaviour: what the later end-to-end tests rely on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "bench.h"
#include "harness.h"

using ::testing::HasSubstr;
using ::testing::Not;
using nlohmann::json;

namespace {

const std::string LomMac = "001c5a100000";   // eth0, function 0 of the LOM
const std::string LomMac1 = "001c5a100001";  // eth1, function 1 of the LOM

json function_named(const json& inspected, const std::string& service) {
    for (const json& f : inspected["functions"])
        if (f.value("serviceName", "") == service) return f;
    return json();
}

}  // namespace

TEST(Bench, DumpCopiesTheNvramAndRestoreWritesItBack) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    const std::vector<uint8_t> before = s.nvram("lom");

    ASSERT_EQ(s.run_tool({LomMac, "dumpnvram", "buimage"}).exitStatus, 0);
    const std::string dump = s.read_file("buimage");
    ASSERT_GE(dump.size(), before.size());
    EXPECT_EQ(0, std::memcmp(dump.data(), before.data(), before.size()));

    // Program a component, spoil the NVRAM, then restore: all of it comes back.
    ASSERT_EQ(s.run_tool({LomMac, "upgrade", "-noreset", "-bta", "bta_7a01_7103.img"}).exitStatus, 0);
    json bench = s.bench();
    EXPECT_EQ(bench["adapters"]["lom"]["firmware"]["bta"], "7.10.3");
    bench["tool"]["faults"] = json::array({{{"option", "-bc"}, {"exit", 9}, {"scribble", true}}});
    s.set_bench(bench);
    ASSERT_EQ(s.run_tool({LomMac, "upgrade", "-noreset", "-bc", "bc_7a01_0710.bin"}).exitStatus, 9);
    EXPECT_NE(s.nvram("lom"), before);
    EXPECT_EQ(s.bench()["adapters"]["lom"]["firmware"]["bootcode"], "7.8");  // the failed write installs nothing

    // Any function of the adapter names the same NVRAM.
    ASSERT_EQ(s.run_tool({LomMac1, "restorenvram", "buimage"}).exitStatus, 0);
    EXPECT_EQ(s.nvram("lom"), before);
    EXPECT_EQ(s.bench()["adapters"]["lom"]["firmware"]["bta"], "7.8.2");
    EXPECT_THAT(s.tool_log(), HasSubstr("./nicflsh 001c5a100000 dumpnvram buimage => exit 0\n"));
    EXPECT_THAT(s.tool_log(), HasSubstr("upgrade -noreset -bc bc_7a01_0710.bin => exit 9 (injected)\n"));
}

TEST(Bench, ChangesPersistAcrossProcesses) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    // The tool (one process) programs; the library (another) reports it.
    ASSERT_EQ(s.run_tool({"001c5a400000", "upgrade", "-noreset", "phy", "kxbb_phy_0106.bin"}).exitStatus, 0);
    ASSERT_EQ(s.run_tool({"001c5a400000", "prg", "-cfx", "cfx_7a06_102.bin"}).exitStatus, 0);
    json eth4 = function_named(s.inspect(), "eth4");
    EXPECT_EQ(eth4["firmware"]["extPhy"], "1.0106");
    EXPECT_EQ(eth4["firmware"]["cfx"], "1.0.2");

    // The family version goes into the extended VPD through "-vpd".
    s.write_file("VpdUpdate.txt", "PN=Text,\"VX7A06-2P\"\nV0=Text,\"FFV2.4.1\"\n ");
    ASSERT_EQ(s.run_tool({"001c5a400000", "upgrade", "-noreset", "-vpd", "VpdUpdate.txt"}).exitStatus, 0);
    const std::vector<uint8_t> blob = s.ext_vpd("addin");
    EXPECT_NE(std::string(blob.begin(), blob.end()).find("V0\x08" "FFV2.4.1"), std::string::npos);

    // Enabling through the library is seen by the next process.
    EXPECT_FALSE(function_named(s.inspect(), "eth5")["enabled"].get<bool>());
    ASSERT_EQ(s.run_inspect({"--enable", "eth5"}).exitStatus, 0);
    EXPECT_TRUE(function_named(s.inspect(), "eth5")["enabled"].get<bool>());
}

TEST(Bench, ToolRefusesMissingImagesAndForeignComponents) {
    Scratch s(demo_bench());
    copy_demo_files(s);
    EXPECT_EQ(s.run_tool({LomMac, "upgrade", "-noreset", "-bta", "nothere.img"}).exitStatus, 3);
    EXPECT_EQ(s.run_tool({LomMac, "upgrade", "-noreset", "-mgmt", "bta_7a01_7103.img"}).exitStatus, 4);
    EXPECT_EQ(s.run_tool({"0000000000ff", "dir"}).exitStatus, 2);
    EXPECT_EQ(s.run_tool({LomMac, "upgrade", "-bta", "bta_7a01_7103.img"}).exitStatus, 1);
    EXPECT_EQ(s.bench()["adapters"]["lom"]["firmware"]["bta"], "7.8.2");
}

TEST(Bench, ToolFaultsByOccurrenceAndSignal) {
    json bench = demo_bench();
    bench["tool"]["faults"] = json::array({
        {{"form", "dir"}, {"occurrence", 2}, {"exit", 40}},
        {{"form", "dumpnvram"}, {"signal", 9}},
    });
    Scratch s(bench);
    EXPECT_EQ(s.run_tool({LomMac, "dir"}).exitStatus, 0);
    EXPECT_EQ(s.run_tool({LomMac, "dir"}).exitStatus, 40);
    EXPECT_EQ(s.run_tool({LomMac, "dir"}).exitStatus, 0);
    EXPECT_EQ(s.run_tool({LomMac, "dumpnvram", "buimage"}).exitStatus, 128 + 9);
    EXPECT_EQ(s.bench()["tool"]["faults"][0]["seen"], 3);
    EXPECT_THAT(s.tool_log(), HasSubstr("./nicflsh 001c5a100000 dir => exit 40 (injected)\n"));
    EXPECT_THAT(s.tool_log(), HasSubstr("./nicflsh 001c5a100000 dumpnvram buimage => signal 9 (injected)\n"));
}

TEST(Bench, LibraryFaultForOneAdapterOnItsFirstOccurrence) {
    json bench = demo_bench();
    bench["library"]["faults"] = json::array(
        {{{"call", "AdpmGetFirmwareInfo"}, {"serviceName", "eth1"}, {"occurrence", 1}, {"result", 9}}});
    Scratch s(bench);
    EXPECT_FALSE(function_named(s.inspect(), "eth1").contains("firmware"));
    EXPECT_TRUE(function_named(s.inspect(), "eth0").contains("firmware"));
    EXPECT_TRUE(function_named(s.inspect(), "eth1").contains("firmware"));  // the first occurrence only
    EXPECT_THAT(s.library_trace(), HasSubstr("AdpmGetFirmwareInfo(4097)=9 (injected)\n"));
}

TEST(Bench, LibraryRenumbersHandlesAfterRefresh) {
    Scratch s(demo_bench());
    InProcessLibrary lib(s);
    ASSERT_EQ(lib->AdpmInitialize(), 0u);
    uint32_t handle = 0;
    ASSERT_EQ(lib->AdpmGetHandleByServiceName("eth4", &handle), 0u);
    EXPECT_EQ(handle, 8192u);
    ASSERT_EQ(lib->AdpmRefreshData(), 0u);
    ASSERT_EQ(lib->AdpmGetHandleByServiceName("eth4", &handle), 0u);
    EXPECT_EQ(handle, 8448u);
    PhyNicRecord record{};
    record.version = PhyNicRecordVersion;
    EXPECT_NE(lib->AdpmGetPhyNic(8192, &record), 0u);  // the old handle is gone
    EXPECT_EQ(lib->AdpmGetPhyNic(8448, &record), 0u);
    EXPECT_EQ(record.deviceId, 0x7a06u);
    record.version = 10;
    EXPECT_NE(lib->AdpmGetPhyNic(8448, &record), 0u);  // version word checked
    // Functions that keep their handle: the LOM.
    record.version = PhyNicRecordVersion;
    EXPECT_EQ(lib->AdpmGetPhyNic(4096, &record), 0u);
    lib->AdpmUninitialize();
}

TEST(Bench, LibraryRawAccessNeedsTheBracketAndTheKey) {
    Scratch s(demo_bench());
    InProcessLibrary lib(s);
    ASSERT_EQ(lib->AdpmInitialize(), 0u);
    uint32_t words[64] = {};
    EXPECT_EQ(lib->AdpmReadFirmware(4096, 0x100, words, 64, AdpmAccessKey), 7u);  // no bracket open
    ASSERT_EQ(lib->AdpmInitDiag(4096), 0u);
    EXPECT_NE(lib->AdpmReadFirmware(4097, 0x100, words, 64, AdpmAccessKey), 0u);  // other handle
    EXPECT_NE(lib->AdpmReadFirmware(4096, 0x100, words, 64, "{3F1A9C22}"), 0u);
    EXPECT_NE(lib->AdpmReadFirmware(4096, 4092, words, 2, AdpmAccessKey), 0u);  // past the end
    ASSERT_EQ(lib->AdpmReadFirmware(4096, 0x100, words, 64, AdpmAccessKey), 0u);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(words)[0], 0x82);
    words[0] = 0x12345678;
    ASSERT_EQ(lib->AdpmWriteFirmware(4096, 0x100, words, 1, AdpmAccessKey), 0u);
    lib->AdpmUnInitDiag(4096);
    EXPECT_EQ(s.nvram("lom")[0x100], 0x78);  // written through to the bench file
    lib->AdpmUninitialize();
}

TEST(Bench, LibraryExtendedVpdLengthCanBeMadeToLie) {
    json bench = demo_bench();
    bench["adapters"]["addin"]["extVpdLength"] = 3;
    Scratch s(bench);
    InProcessLibrary lib(s);
    ASSERT_EQ(lib->AdpmInitialize(), 0u);
    uint8_t buffer[512] = {};
    uint32_t length = sizeof buffer;
    ASSERT_EQ(lib->AdpmGetExtVPD(8192, buffer, &length), 0u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(buffer[0], 0x82);
    // Without the override it tells the truth; with a small buffer it refuses.
    bench["adapters"]["addin"].erase("extVpdLength");
    s.set_bench(bench);
    length = sizeof buffer;
    ASSERT_EQ(lib->AdpmGetExtVPD(8192, buffer, &length), 0u);
    EXPECT_EQ(length, 256u);
    length = 100;
    EXPECT_NE(lib->AdpmGetExtVPD(8192, buffer, &length), 0u);
    EXPECT_EQ(lib->AdpmGetExtVPD(4096, buffer, &length), 10u);  // the LOM has none
    lib->AdpmUninitialize();
}

TEST(Bench, LibraryEnableAnswersAndDisabledFunctions) {
    json bench = demo_bench();
    bench["library"]["faults"] =
        json::array({{{"call", "AdpmEnableDevice"}, {"serviceName", "eth5"}, {"occurrence", 1}, {"result", 251}, {"perform", true}}});
    Scratch s(bench);
    InProcessLibrary lib(s);
    ASSERT_EQ(lib->AdpmInitialize(), 0u);
    FirmwareInfoRecord info{};
    info.version = FirmwareInfoRecordVersion;
    EXPECT_NE(lib->AdpmGetFirmwareInfo(8193, &info), 0u);  // eth5 is disabled
    NicInfoExRecord nic{};
    nic.version = NicInfoExRecordVersion;
    EXPECT_EQ(lib->AdpmGetVXLRNicInfoEx(8193, &nic), 0u);  // its identity still answers
    EXPECT_EQ(nic.mac[5], 0x01);
    EXPECT_EQ(lib->AdpmEnableDevice(8193, 1), 251u);
    EXPECT_EQ(lib->AdpmGetFirmwareInfo(8193, &info), 0u);
    EXPECT_EQ(info.bootcodeVersion, 0x0A02);  // 2.10
    EXPECT_STREQ(info.extPhyVersion, "1.0105");
    EXPECT_EQ(info.extVpd, 1u);
    EXPECT_EQ(lib->AdpmEnableDevice(4096, 1), 251u);  // already enabled
    EXPECT_TRUE(s.bench()["functions"][5]["enabled"].get<bool>());
    EXPECT_EQ(lib->AdpmEnableDevice(8193, 0), 0u);
    EXPECT_FALSE(s.bench()["functions"][5]["enabled"].get<bool>());
    lib->AdpmUninitialize();
    EXPECT_EQ(lib->AdpmEnableDevice(8193, 1), 2u);  // not initialised
}

namespace {

// The keywords of a VPD-R area up to "RV", and whether the checksum holds.
struct ParsedVpd {
    std::vector<std::pair<std::string, std::string>> keywords;
    std::size_t rvLength = 0;
    bool checksumHolds = false;
};

ParsedVpd parse_vpd(const std::vector<uint8_t>& v) {
    ParsedVpd parsed;
    const std::size_t l = v[1] | static_cast<std::size_t>(v[2]) << 8;
    for (std::size_t p = 6 + l; p + 3 <= v.size();) {
        const std::string name(v.begin() + static_cast<std::ptrdiff_t>(p), v.begin() + static_cast<std::ptrdiff_t>(p) + 2);
        const std::size_t n = v[p + 2];
        if (name == "RV") {
            unsigned sum = 0;
            for (std::size_t i = 0; i <= p + 3; ++i) sum += v[i];
            parsed.rvLength = n;
            parsed.checksumHolds = (sum & 0xFF) == 0;
            break;
        }
        parsed.keywords.emplace_back(name, std::string(v.begin() + static_cast<std::ptrdiff_t>(p + 3),
                                                       v.begin() + static_cast<std::ptrdiff_t>(p + 3 + n)));
        p += 3 + n;
    }
    return parsed;
}

}  // namespace

TEST(Bench, VpdKeywordsAreSetInsideTheAreaWithAFreshChecksum) {
    const json layout = {{"identifier", "Test"},
                         {"keywords", json::array({json::array({"PN", "P1"}), json::array({"V0", "FFV7.8.2"})})},
                         {"rv", 20}};
    const std::vector<uint8_t> original = sim::build_vpd(layout, "test");
    ASSERT_TRUE(parse_vpd(original).checksumHolds);

    struct Case {
        std::vector<std::pair<std::string, std::string>> updates;
        bool fits;
        std::vector<std::pair<std::string, std::string>> keywords;
        std::size_t rvLength;
    };
    const Case cases[] = {
        {{{"V0", "FFV7.8.3"}}, true, {{"PN", "P1"}, {"V0", "FFV7.8.3"}}, 20},
        {{{"V0", "FFV7.10.3"}}, true, {{"PN", "P1"}, {"V0", "FFV7.10.3"}}, 19},
        {{{"V0", "FFV7.1"}}, true, {{"PN", "P1"}, {"V0", "FFV7.1"}}, 22},
        {{{"MN", "1F3D"}}, true, {{"PN", "P1"}, {"V0", "FFV7.8.2"}, {"MN", "1F3D"}}, 13},
        {{{"V0", std::string(30, '9')}}, false, {{"PN", "P1"}, {"V0", "FFV7.8.2"}}, 20},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = original;
        std::string error;
        EXPECT_EQ(sim::vpd_set_keywords(image, 0, image.size(), c.updates, error), c.fits) << error;
        if (!c.fits) {
            EXPECT_EQ(image, original);
        }
        const ParsedVpd parsed = parse_vpd(image);
        EXPECT_EQ(parsed.keywords, c.keywords);
        EXPECT_EQ(parsed.rvLength, c.rvLength);
        EXPECT_TRUE(parsed.checksumHolds);
        EXPECT_EQ(image.size(), original.size());
    }
    std::vector<uint8_t> noVpd(64, 0);
    std::string error;
    EXPECT_FALSE(sim::vpd_set_keywords(noVpd, 0, noVpd.size(), {{"V0", "1"}}, error));
}

TEST(Bench, ImagesSurviveTheCompactForm) {
    std::vector<uint8_t> image(4096, 0);
    image[0] = 0x66;
    image[10] = 0x99;  // joined with the first run across the zeros
    image[0x100] = 0x82;
    image[4095] = 0x01;
    const json compact = sim::encode_bytes(image);
    EXPECT_EQ(compact["segments"].size(), 3u);
    EXPECT_EQ(sim::decode_bytes(compact, 0, 0, "test"), image);
}

TEST(Bench, StateFollowsChangesMadeByAnotherProcess) {
    Scratch s(demo_bench());
    const std::filesystem::path path = s.dir() / "bench.json";
    sim::StateFile library(path);
    ASSERT_TRUE(library.refresh());
    library.save();  // now in the one-member-a-line form
    EXPECT_FALSE(library.refresh());

    // Another process changes one adapter, reading and writing its line only.
    sim::StateFile tool(path);
    ASSERT_TRUE(tool.read_lines());
    const json::json_pointer lom("/adapters/lom");
    for (std::size_t i = 0; i < tool.lines().size(); ++i)
        if (tool.lines()[i].at == lom) tool.data()[lom] = tool.member(i);
    tool.data()[lom]["firmware"]["bta"] = "7.10.3";
    tool.save_members({lom});

    ASSERT_TRUE(library.refresh());
    EXPECT_EQ(library.data(), json::parse(s.read_file("bench.json")));
    EXPECT_EQ(library.data()["adapters"]["lom"]["firmware"]["bta"], "7.10.3");

    // A file laid out another way is read whole.
    json edited = library.data();
    edited["functions"][5]["enabled"] = true;
    s.write_file("bench.json", edited.dump(4));
    EXPECT_FALSE(sim::StateFile(path).read_lines());
    ASSERT_TRUE(library.refresh());
    EXPECT_EQ(library.data(), edited);
}
