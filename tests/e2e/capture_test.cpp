// qik_capture against the simulated bench: on every bench the tests use it
// reads and never writes, and what it writes replays as the server it was
// taken from: the same plan, result document, inventory log and tool
// commands. A library that answers oddly still gives a bench that loads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bench.h"
#include "capture/capture.h"
#include "common/text.h"
#include "demo_runs.h"
#include "fault_sweep.h"
#include "harness.h"
#include "support/fake_adpm.h"
#include "vpd/vpd.h"
#include "vpd/vpd_image.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;

constexpr const char* CaptureFile = "capture.json";

// The demo server, then the demo server with each case of the fault sweep.
const std::vector<FaultBench>& test_benches() {
    static const std::vector<FaultBench> benches = [] {
        std::vector<FaultBench> all{{"demo", demo_bench()}};
        for (FaultBench& b : fault_sweep_benches()) all.push_back(std::move(b));
        return all;
    }();
    return benches;
}

// TMPDIR pointed at a directory of the test's own while it lives.
class OwnTmpDir {
  public:
    OwnTmpDir()
        : dir_(fs::temp_directory_path() / ("qik_capture_tmp." + std::to_string(getpid()))) {
        fs::create_directories(dir_);
        setenv("TMPDIR", dir_.c_str(), 1);
    }
    ~OwnTmpDir() {
        unsetenv("TMPDIR");
        fs::remove_all(dir_);
    }
    const fs::path& dir() const { return dir_; }

  private:
    fs::path dir_;
};

ProcessResult run_capture(const Scratch& s, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"-o", CaptureFile});
    return run_process(s.dir(), QIK_CAPTURE_PATH, args);
}

std::map<std::string, std::string> files_of(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename()] = {std::istreambuf_iterator<char>(in), {}};
    }
    return files;
}

// The fault counts are the bench's own bookkeeping, kept by the library and
// the tool on every call they see.
json without_fault_counts(json bench) {
    for (const char* side : {"library", "tool"})
        if (bench.contains(side) && bench[side].contains("faults"))
            for (json& fault : bench[side]["faults"]) fault.erase("seen");
    return bench;
}

// The capture loads as a bench: the simulated library's own index over it,
// every byte image decoded.
void expect_loads(const std::string& text) {
    json root = json::parse(text);
    sim::Bench bench;
    ASSERT_NO_THROW(bench.index(root)) << text;
    for (std::size_t i = 0; i < bench.function_count(); ++i) {
        EXPECT_NO_THROW(bench.nvram(bench.adapter_name(i))) << text;
        EXPECT_NO_THROW(bench.ext_vpd(bench.adapter_name(i))) << text;
    }
}

const std::set<std::string> ReportingCalls = {
    "AdpmGetVersion",          "AdpmInitialize",     "AdpmUninitialize", "AdpmGetNumPhyNic",
    "AdpmGetAllPhyNicHandles", "AdpmGetServiceName", "AdpmGetPhyNic",    "AdpmGetVXLRNicInfoEx",
    "AdpmGetFirmwareInfo",     "AdpmGetExtVPD",      "AdpmInitDiag",     "AdpmUnInitDiag",
    "AdpmReadFirmware",
};

void expect_read_only(const json& bench, const std::vector<std::string>& args) {
    Scratch s(bench);
    copy_demo_files(s);
    const std::map<std::string, std::string> before = files_of(s.dir());
    OwnTmpDir tmp;
    const ProcessResult p = run_capture(s, args);
    ASSERT_TRUE(p.exitStatus == 0 || p.exitStatus == 3) << p.stderrText;
    for (const std::string& line : lines_of(s.library_trace()))
        EXPECT_TRUE(ReportingCalls.contains(line.substr(0, line.find('(')))) << line;
    for (const std::string& command : commands(s.tool_log())) {
        const bool dir = command.ends_with(" dir");
        const bool dump =
            command.find(" dumpnvram " + tmp.dir().string() + "/") != std::string::npos;
        EXPECT_TRUE(dir || dump) << command;
        if (args.empty()) ADD_FAILURE() << "a tool command without --nvram: " << command;
    }
    std::map<std::string, std::string> after = files_of(s.dir());
    expect_loads(after[CaptureFile]);
    EXPECT_EQ(without_fault_counts(json::parse(after["bench.json"])),
              without_fault_counts(json::parse(before.at("bench.json"))));
    for (const char* own : {CaptureFile, "bench.json", "adpm_trace.txt", "nicflsh_log.txt"})
        after.erase(own);
    std::map<std::string, std::string> unchanged = before;
    unchanged.erase("bench.json");
    EXPECT_EQ(after, unchanged) << "qik_capture changed or left a file in the working directory";
    EXPECT_TRUE(fs::is_empty(tmp.dir())) << "the dump outlived the capture";
}

// The fault sweep already runs the utility and the plan on every bench; here
// a capture and its replay cost several runs each, so the suite takes every
// 10th bench, and under the sanitizers, where a capture costs about ten times
// a release one, every 50th. The demo (the first) is always among them.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t CaptureStride = 50;
#else
constexpr std::size_t CaptureStride = 10;
#endif

class CaptureChunk : public ::testing::TestWithParam<int> {};

TEST_P(CaptureChunk, ReadsWithoutAWriteOnEveryBench) {
    const std::vector<FaultBench>& benches = test_benches();
    for (const std::size_t i : chunk_cases(GetParam(), benches.size(), CaptureStride)) {
        SCOPED_TRACE(benches[i].name);
        expect_read_only(benches[i].bench, {"--nvram"});
        if (i == 0) expect_read_only(benches[i].bench, {});
    }
}

// ---- the round trip ---------------------------------------------------------

// What a bench describes beyond the server, which no library reports: its
// fault injection. The capture is of the server without it.
json server_of(json bench) {
    for (const char* side : {"library", "tool"}) bench[side]["faults"] = json::array();
    return bench;
}

json captured(const json& server) {
    static std::map<std::string, json> captures;
    const std::string key = server.dump();
    if (!captures.contains(key)) {
        Scratch s(server);
        const ProcessResult p = run_capture(s, {"--nvram"});
        if (p.exitStatus != 0) throw std::runtime_error("qik_capture failed: " + p.stderrText);
        captures[key] = json::parse(s.read_file(CaptureFile));
    }
    return captures[key];
}

// The original's faults, carried over to the capture; an adapter they name
// is the capture's adapter of the same service.
json with_faults_of(json capture, const json& original) {
    std::map<std::string, std::string> adapterOf;
    for (std::size_t i = 0; i < original["functions"].size(); ++i)
        adapterOf[original["functions"][i]["adapter"]] = capture["functions"][i]["adapter"];
    for (const char* side : {"library", "tool"}) {
        json faults = original[side].value("faults", json::array());
        for (json& fault : faults)
            if (fault.contains("adapter")) fault["adapter"] = adapterOf.at(fault["adapter"]);
        capture[side]["faults"] = faults;
    }
    return capture;
}

struct Replay {
    json plan;
    RunResult run;
};

Replay plan_and_run(const json& bench) {
    Scratch s(bench);
    copy_demo_files(s);
    Replay r;
    r.plan = plan_of(s);
    r.run = s.run();
    return r;
}

// The library traces are not compared: the demo bench renumbers handles
// after a refresh ("handleAfterRefresh"), which a capture cannot see, so
// the handles in the trace differ while everything the utility makes of
// them is the same.
void expect_same_outcome(const json& original) {
    const json replay = with_faults_of(captured(server_of(original)), original);
    const Replay a = plan_and_run(original);
    const Replay b = plan_and_run(replay);
    EXPECT_EQ(a.plan, b.plan);
    EXPECT_EQ(a.run.exitStatus, b.run.exitStatus);
    EXPECT_EQ(a.run.resultXml, b.run.resultXml);
    EXPECT_EQ(a.run.inventoryLog, b.run.inventoryLog);
    EXPECT_EQ(a.run.toolLog, b.run.toolLog);
    EXPECT_EQ(a.run.stdoutText, b.run.stdoutText);
}

TEST_P(CaptureChunk, ReplaysAsTheServerOnEveryBench) {
    const std::vector<FaultBench>& benches = test_benches();
    for (const std::size_t i : chunk_cases(GetParam(), benches.size(), CaptureStride)) {
        SCOPED_TRACE(benches[i].name);
        expect_same_outcome(benches[i].bench);
    }
}

INSTANTIATE_TEST_SUITE_P(Capture, CaptureChunk, ::testing::Range(0, SweepChunks));

// ---- anonymized ----------------------------------------------------------------

bool checksum_right(std::span<const uint8_t> vpd) {
    std::optional<std::size_t> checksumAt;
    walk_vpd_keywords(vpd, [&](const VpdKeywordAt& k) -> std::optional<int> {
        if (k.name != "RV") return std::nullopt;
        checksumAt = k.offset + VpdKeywordHeaderSize;
        return 0;
    });
    if (!checksumAt) return false;
    uint8_t sum = 0;
    for (std::size_t i = 0; i <= *checksumAt; ++i) sum = static_cast<uint8_t>(sum + vpd[i]);
    return sum == 0;
}

TEST(Capture, AnonymizedKeepsNoMacOrSerialAndReplaysWithTheSameResults) {
    const json original = demo_bench();
    Scratch s(original);
    ASSERT_EQ(run_capture(s, {"--nvram", "--anonymize"}).exitStatus, 0);
    const std::string text = s.read_file(CaptureFile);
    json capture = json::parse(text);
    std::set<std::string> standIns;
    for (std::size_t i = 0; i < original["functions"].size(); ++i) {
        std::string mac = original["functions"][i]["mac"];
        EXPECT_THAT(text, Not(HasSubstr(mac)));
        std::erase(mac, ':');
        EXPECT_THAT(text, Not(HasSubstr(mac)));
        standIns.insert(capture["functions"][i]["mac"].get<std::string>());
    }
    EXPECT_EQ(standIns.size(), original["functions"].size()) << "two MACs share a stand-in";
    for (const char* serial : {"KS2219A0042", "KS2231B0117"}) {
        std::string hex;
        for (const char c : std::string(serial))
            hex += sim::to_hex(reinterpret_cast<const uint8_t*>(&c), 1);
        EXPECT_THAT(text, Not(HasSubstr(hex))) << serial;
    }
    const std::vector<uint8_t> lomNvram =
        sim::decode_bytes(capture["adapters"]["bus1-dev0"]["nvram"], 0, 0, "nvram");
    EXPECT_TRUE(checksum_right(std::span(lomNvram).subspan(sim::VpdOffset)));
    const std::vector<uint8_t> addinVpd =
        sim::decode_bytes(capture["adapters"]["bus4-dev0"]["extVpd"], 0, 0, "extVpd");
    EXPECT_TRUE(checksum_right(addinVpd));

    const Replay a = plan_and_run(original);
    const Replay b = plan_and_run(capture);
    EXPECT_EQ(statuses(a.run.resultXml), statuses(b.run.resultXml));
    EXPECT_EQ(a.run.exitStatus, b.run.exitStatus);
    EXPECT_EQ(commands(a.run.toolLog).size(), commands(b.run.toolLog).size());
}

TEST(Capture, KeepsTheBenchFileUnlessTheOutputIsNamed) {
    Scratch s(demo_bench());
    const std::string bench = s.read_file("bench.json");
    const ProcessResult refused = run_process(s.dir(), QIK_CAPTURE_PATH, {});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_THAT(refused.stderrText, HasSubstr("bench.json exists"));
    EXPECT_EQ(s.read_file("bench.json"), bench);
    s.write_file(CaptureFile, "an older capture");
    EXPECT_EQ(run_capture(s).exitStatus, 0);
    expect_loads(s.read_file(CaptureFile));
    s.remove_file("libadpm_x64.so.6");
    const ProcessResult noLibrary = run_capture(s);
    EXPECT_EQ(noLibrary.exitStatus, 2);
    EXPECT_THAT(noLibrary.stderrText, HasSubstr("libadpm_x64.so.6 was not found"));
}

// ---- a library that answers oddly ------------------------------------------------

AdpmApi fakeCalls;

uint32_t name_without_nul(uint32_t, char* buffer, uint32_t size) {
    std::memset(buffer, 'n', size);
    return AdpmSuccess;
}

uint32_t record_naming_another_handle(uint32_t handle, void* record) {
    const uint32_t result = fakeCalls.AdpmGetPhyNic(handle, record);
    static_cast<PhyNicRecord*>(record)->handle = handle + 100;
    return result;
}

struct OddCase {
    const char* name;
    void (*make)(FakeAdpm& fake);
    const char* comment;  // what the bench names as not read
};

FakeFunction fake_function(uint32_t handle, const char* name, uint32_t function) {
    FakeFunction f;
    f.handle = handle;
    f.serviceName = name;
    f.bus = 3;
    f.function = function;
    f.mac = {0x00, 0x1c, 0x5a, 0x30, 0x00, static_cast<uint8_t>(function)};
    copy_text(f.firmware.btaVersion, "7.1.0");
    return f;
}

const OddCase OddCases[] = {
    {"a service name without its NUL",
     [](FakeAdpm& fake) { fake.api.AdpmGetServiceName = name_without_nul; },
     "serviceName fills its 16 bytes without a NUL"},
    {"a firmware text without its NUL",
     [](FakeAdpm& fake) {
         for (FakeFunction& f : fake.functions)
             std::memset(f.firmware.btaVersion, '7', sizeof f.firmware.btaVersion);
     },
     "bta fills its 24 bytes without a NUL"},
    {"an extended VPD claiming more than the buffer holds",
     [](FakeAdpm& fake) { fake.functions[0].extVpd.assign(700, 0x82); }, nullptr},
    {"a record naming another handle",
     [](FakeAdpm& fake) { fake.api.AdpmGetPhyNic = record_naming_another_handle; },
     "its record names handle 101, the handle list 1"},
    {"a description that is not UTF-8",
     [](FakeAdpm& fake) { fake.functions[0].description = "NIC \xff\xfe"; },
     "description holds bytes that are not UTF-8"},
    {"firmware information that fails", [](FakeAdpm& fake) { fake.fail("AdpmGetFirmwareInfo", 9); },
     "AdpmGetFirmwareInfo answered 9"},
    {"NIC information that fails", [](FakeAdpm& fake) { fake.fail("AdpmGetVXLRNicInfoEx", 3, 2); },
     "AdpmGetVXLRNicInfoEx answered 3"},
    {"a VPD area that cannot be read", [](FakeAdpm& fake) { fake.fail("AdpmReadFirmware", 9); },
     "AdpmReadFirmware answered 9 for the VPD area"},
    {"a count that fails", [](FakeAdpm& fake) { fake.fail("AdpmGetNumPhyNic", 1); },
     "AdpmGetNumPhyNic answered 1: no function was read"},
};

TEST(Capture, OddRecordsGiveABenchThatLoadsAndSaysWhatWasNotRead) {
    for (const OddCase& c : OddCases) {
        SCOPED_TRACE(c.name);
        FakeAdpm& fake = install_fake_adpm();
        fake.major = 6;
        fake.minor = 24;
        fake.functions = {fake_function(1, "eth0", 0), fake_function(2, "eth1", 1)};
        fakeCalls = fake.api;
        c.make(fake);
        const BenchText bench = write_bench(read_server(fake.api, ToolRunner(), false));
        expect_loads(bench.json);
        if (c.comment == nullptr) {
            const json root = json::parse(bench.json);
            EXPECT_EQ(root["adapters"]["bus3-dev0"]["extVpdLength"], 700);
            EXPECT_EQ(root["adapters"]["bus3-dev0"]["extVpd"].get<std::string>().size(),
                      2 * ExtVpdCapacity);
            continue;
        }
        EXPECT_THAT(bench.json, HasSubstr(c.comment));
        EXPECT_THAT(::testing::PrintToString(bench.problems), HasSubstr(c.comment));
        for (const std::string& call : fake.calls)
            EXPECT_THAT(call, Not(::testing::AnyOf(HasSubstr("AdpmEnableDevice"),
                                                   HasSubstr("AdpmWriteFirmware"))));
    }
}

}  // namespace
