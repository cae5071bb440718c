// Fault sweep over the demo server: every library call a clean run makes is
// failed at each of its occurrences, and every tool command it issues is made
// to end with each class of exit, one case at a time. The outcome each case
// expects comes from the rules for that fault, never from a faulty run.
//
// Every case must end without a crash or a hang, with a well-formed result
// holding the expected codes, an exit status that agrees with the reported
// statuses, the adapters it enabled disabled again, and an untouched NVRAM on
// every adapter that was not programmed or whose message says it was restored.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "demo_runs.h"
#include "fault_sweep.h"
#include "harness.h"

namespace {

using nlohmann::json;
using ::testing::HasSubstr;

// ---- the demo server, as its bench describes it -------------------------

struct Function {
    std::string service;
    std::string adapter;
    std::string mac;  // as the tool names it
    unsigned bus;
    unsigned number;  // PCI function
    bool enabled;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

std::string mac_text(std::string mac) {
    std::erase(mac, ':');
    return mac;
}

unsigned number_of(const json& value) {
    return value.is_string()
               ? static_cast<unsigned>(std::stoul(value.get<std::string>(), nullptr, 0))
               : value.get<unsigned>();
}

struct Server {
    std::vector<Function> functions;

    explicit Server(const json& bench) {
        for (const json& f : bench["functions"]) {
            const json& adapter = bench["adapters"][f["adapter"].get<std::string>()];
            functions.push_back({f["serviceName"], f["adapter"], mac_text(f["mac"]),
                                 number_of(adapter["bus"]), number_of(f["function"]),
                                 f.value("enabled", true)});
        }
    }

    template <typename Match>
    const Function& find(Match match, const std::string& what) const {
        for (const Function& f : functions)
            if (match(f)) return f;
        throw std::runtime_error("the demo bench has no function " + what);
    }
    const Function& by_service(const std::string& service) const {
        return find([&](const Function& f) { return f.service == service; }, service);
    }
    const Function& by_mac(const std::string& mac) const {
        return find([&](const Function& f) { return f.mac == mac; }, mac);
    }
    const Function& at(unsigned bus, unsigned number) const {
        return find([&](const Function& f) { return f.bus == bus && f.number == number; },
                    std::to_string(bus) + "." + std::to_string(number));
    }
};

// ---- what a run reports ---------------------------------------------------

struct Device {
    unsigned bus;
    unsigned function;
    std::string family;
    unsigned status;
};

std::vector<Device> devices_of(const std::string& xml) {
    static const std::regex device(
        R"re(<Device [^>]*bus="(\d+)" device="\d+" function="(\d+)"[^>]*>\s*)re"
        R"re(<Application componentType="FRMW" version="([^"]*)"[\s\S]*?<Message id="(\d+)">)re");
    std::vector<Device> devices;
    for (auto m = std::sregex_iterator(xml.begin(), xml.end(), device); m != std::sregex_iterator();
         ++m)
        devices.push_back({static_cast<unsigned>(std::stoul((*m)[1])),
                           static_cast<unsigned>(std::stoul((*m)[2])), (*m)[3],
                           static_cast<unsigned>(std::stoul((*m)[4]))});
    return devices;
}

// The exit bits the reported statuses call for: one per record, 5 before 18
// before any other failure.
int exit_flags_of(const std::vector<Device>& devices) {
    int flags = 0;
    for (const Device& d : devices)
        flags |= d.status == 5 ? 0x04 : d.status == 18 ? 0x08 : d.status != 0 ? 0x10 : 0;
    return flags;
}

// ---- what a case expects ---------------------------------------------------

struct Outcome {
    std::optional<unsigned> wholeRun;                // the code of the whole-run error form
    std::map<std::string, unsigned> adapterStatus;   // every function reports its function 0's
    std::map<std::string, unsigned> functionStatus;  // functions reporting their own status
    std::set<std::string> absent;                    // matched services that take no part
    std::string bootcodeFamilyOn;  // a service whose family falls back to its bootcode
    bool disableRefused = false;   // the library refuses to disable again
    std::string keptBackup;        // the backup kept for a person, if any
    std::string keptAdapter;       // whose original NVRAM it holds
};

// The family text shown when the VPD gives none: the bootcode's major and
// minor ("7.8" in the bench) as 7.08.0.
std::string bootcode_family(const json& bench, const std::string& adapter) {
    const std::vector<std::string> parts =
        split(bench["adapters"][adapter]["firmware"]["bootcode"].get<std::string>(), '.');
    char text[16];
    std::snprintf(text, sizeof text, "%s.%02lu.0", parts.at(0).c_str(), std::stoul(parts.at(1)));
    return text;
}

// A failure on function 0 is its adapter's result; a later function's own
// failure gives way to function 0's status in the engine's last pass, but
// for a failed PHY write when function 0 succeeded.
void fail_function(Outcome& o, const Function& f, unsigned status) {
    if (f.number == 0) o.adapterStatus[f.adapter] = status;
}

struct SweepCase {
    std::string name;
    json faults;
    bool library;
    Outcome expected;
};

// ---- library calls --------------------------------------------------------

enum class Phase { FirstPass, SecondPass, Engine };

struct LibraryCall {
    std::string name;
    std::vector<std::string> args;
    std::string service;  // the function it acts on, if any
    Phase phase;
    std::string access;  // AdpmInitDiag: the raw access it opens
};

std::string after(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(key);
    return at == std::string::npos ? "" : split(line.substr(at + key.size()), ' ')[0];
}

// The clean run's library trace, each call with the function it names and
// the stretch of the run it belongs to: the second pass ends at the first
// call on a handle other than that of the last function looked up by name.
std::vector<LibraryCall> library_calls(const std::string& trace) {
    std::vector<LibraryCall> calls;
    std::map<std::string, std::string> serviceOfHandle;
    std::string lastLookedUp;
    Phase phase = Phase::FirstPass;
    for (const std::string& line : lines_of(trace)) {
        LibraryCall call;
        call.name = line.substr(0, line.find('('));
        call.args =
            split(line.substr(call.name.size() + 1, line.find(")=") - call.name.size() - 1), ',');
        if (call.name == "AdpmGetServiceName") serviceOfHandle[call.args[0]] = after(line, "name=");
        if (call.name == "AdpmGetHandleByServiceName") {
            lastLookedUp = after(line, "handle=");
            serviceOfHandle[lastLookedUp] = call.args[0].substr(1, call.args[0].size() - 2);
        }
        if (call.name == "AdpmRefreshData") phase = Phase::SecondPass;
        const std::string handle = call.args.empty() ? "" : call.args[0];
        if (phase == Phase::SecondPass && serviceOfHandle.contains(handle) &&
            handle != lastLookedUp && call.name != "AdpmGetHandleByServiceName")
            phase = Phase::Engine;
        call.phase = phase;
        if (serviceOfHandle.contains(handle)) call.service = serviceOfHandle[handle];
        calls.push_back(call);
    }
    // What each AdpmInitDiag opens: the next other call on its handle.
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].name != "AdpmInitDiag") continue;
        for (std::size_t j = i + 1; j < calls.size() && calls[i].access.empty(); ++j)
            if (!calls[j].args.empty() && calls[j].args[0] == calls[i].args.at(0) &&
                calls[j].name != "AdpmInitDiag")
                calls[i].access = calls[j].name;
    }
    return calls;
}

// Each call's failure by the rules: the version, start and enumeration calls
// end the run; a function's own data failing touches that function only.
Outcome library_fault(const LibraryCall& call, const Server& server, Outcome o) {
    static const std::map<std::string, unsigned> wholeRun = {
        {"AdpmGetVersion", 6},  // no version known is no version new enough
        {"AdpmInitialize", 7},
        {"AdpmGetNumPhyNic", 10},
        {"AdpmGetAllPhyNicHandles", 10},
        {"AdpmGetPhyNic", 10},
        {"AdpmGetServiceName", 10},
        {"AdpmRefreshData", 10},
        {"AdpmGetHandleByServiceName", 10},
        {"AdpmGetVXLRNicInfoEx", 10},
    };
    if (const auto code = wholeRun.find(call.name); code != wholeRun.end()) {
        o.wholeRun = code->second;
        return o;
    }
    if (call.name == "AdpmUnInitDiag" || call.name == "AdpmUninitialize") return o;  // not examined
    const Function& f = server.by_service(call.service);
    const std::string& failed = call.name == "AdpmInitDiag" ? call.access : call.name;
    if (call.name == "AdpmEnableDevice") {
        if (call.args.at(1) == "1")
            o.absent.insert(f.service);  // an adapter that cannot be enabled is not selected
        else
            o.disableRefused = true;
    } else if (call.name == "AdpmGetFirmwareInfo") {
        // Nothing installed is known: never programmed, and reported so even
        // when function 0 of the adapter succeeds.
        fail_function(o, f, 10);
        if (f.number != 0) o.functionStatus[f.service] = 10;
    } else if (call.name == "AdpmGetExtVPD") {
        fail_function(o, f, 13);  // no VPD: the adapter is left alone
    } else if (failed == "AdpmReadFirmware" || failed == "AdpmWriteFirmware") {
        // Reading the family version falls back to the bootcode; in the engine
        // a VPD that cannot be read or written fails the family step.
        if (call.phase == Phase::SecondPass)
            o.bootcodeFamilyOn = f.service;
        else
            fail_function(o, f, 13);
    } else {
        throw std::runtime_error("no rule for a failing " + call.name);
    }
    return o;
}

// ---- tool commands ----------------------------------------------------------

enum class Step { Probe, Backup, Write, Phy, FamilyVersion };

struct ToolCommand {
    std::string line;
    std::string mac, form, option, file;
    Step step;
};

ToolCommand tool_command(const std::string& logLine) {
    ToolCommand c;
    c.line = logLine.substr(0, logLine.find(" => "));
    std::vector<std::string> words = split(c.line, ' ');
    std::erase(words, "-noreset");
    std::erase(words, "-F");
    c.mac = words.at(1);
    c.form = words.at(2);
    if (words.size() == 4) c.file = words[3];
    if (words.size() == 5) {
        c.option = words[3];
        c.file = words[4];
    }
    c.step = c.form == "dir"         ? Step::Probe
             : c.form == "dumpnvram" ? Step::Backup
             : c.option == "phy"     ? Step::Phy
             : c.option == "-vpd"    ? Step::FamilyVersion
                                     : Step::Write;
    return c;
}

struct ExitClass {
    const char* name;
    std::optional<int> code;  // none: killed by SIGKILL
};

constexpr int NoCode = -1;

const ExitClass ExitClasses[] = {
    {"exit 0", 0},   {"exit 35", 35}, {"exit 95", 95}, {"exit 203", 203}, {"exit 40", 40},
    {"exit 10", 10}, {"exit 11", 11}, {"exit 9", 9},   {"exit 1", 1},     {"killed", std::nullopt},
};

// What the engine makes of a tool exit: success, 5, 18 or 9. A killed tool
// never succeeded.
int tool_result(const ExitClass& e) {
    switch (e.code.value_or(NoCode)) {
        case 0:
        case 35:
        case 95:
            return 0;
        case 203:
            return 5;
        case 40:
            return 18;
        default:
            return 9;
    }
}

Outcome tool_fault(const ToolCommand& c, const ExitClass& e, const Server& server, Outcome o) {
    const int result = tool_result(e);
    const int code = e.code.value_or(NoCode);
    const Function& f = server.by_mac(c.mac);
    if (result == 0) return o;
    switch (c.step) {
        case Step::Probe:  // only "driver not supported" stops the adapter
            if (code == 40) fail_function(o, f, 18);
            break;
        case Step::Backup:  // no backup file at all: nothing may be programmed
            if (code == 10 || code == 11)
                o.wholeRun = 4;
            else
                fail_function(o, f, code == 203 ? 14 : 9);
            break;
        case Step::Write:  // restored from the backup unless write protected
            fail_function(o, f, static_cast<unsigned>(result));
            break;
        case Step::Phy:  // a later function's own PHY failure stands beside function 0's success
            fail_function(o, f, 16);
            if (f.number != 0) o.functionStatus[f.service] = 16;
            break;
        case Step::FamilyVersion:
            fail_function(o, f, result == 9 ? 13 : static_cast<unsigned>(result));
            break;
    }
    return o;
}

json tool_fault_json(const ToolCommand& c, const ExitClass& e) {
    json fault = {{"mac", c.mac}, {"form", c.form}, {"occurrence", 1}};
    if (!c.option.empty()) fault["option"] = c.option;
    if (!c.file.empty()) fault["file"] = c.file;
    if (e.code)
        fault["exit"] = *e.code;
    else
        fault["signal"] = 9;
    // A tool that reports success did its work; a write that fails midway
    // (not a refused one) leaves the NVRAM spoilt, which only a restore undoes.
    if (tool_result(e) == 0)
        fault["perform"] = true;
    else if (c.step == Step::Write && e.code != 203)
        fault["scribble"] = true;
    return fault;
}

// ---- a restore that fails, a stop request -------------------------------------

// A failed write whose restore fails too: the adapter's only good copy is
// its backup, which is kept under its MAC.
json restore_fails_json(const ToolCommand& c) {
    return json::array({tool_fault_json(c, {"exit 9", 9}),
                        {{"form", "restorenvram"}, {"occurrence", 1}, {"exit", 1}}});
}

Outcome restore_fails(const ToolCommand& c, const Server& server, Outcome o) {
    const Function& f = server.by_mac(c.mac);
    fail_function(o, f, 14);
    o.keptBackup = "buimage_" + c.mac;
    o.keptAdapter = f.adapter;
    return o;
}

// SIGTERM while the command runs: the command and its adapter function are
// finished, the functions after it are not reached.
json stop_json(const ToolCommand& c) {
    json fault = tool_fault_json(c, {"exit 0", 0});
    fault["signalUtility"] = SIGTERM;
    return json::array({fault});
}

Outcome stop_requested(const ToolCommand& c, const Server& server,
                       const std::set<std::string>& matched, Outcome o) {
    bool reached = true;
    for (const Function& f : server.functions) {
        if (!reached && matched.contains(f.service)) o.functionStatus[f.service] = 17;
        if (f.mac == c.mac) reached = false;
    }
    return o;
}

// ---- the sweep --------------------------------------------------------------

struct Sweep {
    json bench = demo_bench();
    Server server{bench};
    std::set<std::string> matched;  // services the clean run reports
    Outcome clean;
    std::vector<SweepCase> cases;
    std::size_t libraryCases = 0;
    std::size_t toolExitCases = 0;

    Sweep() {
        Scratch s(bench);
        copy_demo_files(s);
        const RunResult r = s.run();
        if (r.exitStatus != 0)
            throw std::runtime_error("the clean demo run failed:\n" + r.resultXml);
        for (const Device& d : devices_of(r.resultXml)) {
            const Function& f = server.at(d.bus, d.function);
            matched.insert(f.service);
            clean.adapterStatus[f.adapter] = 0;
        }
        std::map<std::string, int> seen;
        for (const LibraryCall& call : library_calls(r.libraryTrace)) {
            const int occurrence = ++seen[call.name];
            cases.push_back({call.name + " #" + std::to_string(occurrence),
                             json::array({{{"call", call.name}, {"occurrence", occurrence}}}), true,
                             library_fault(call, server, clean)});
        }
        libraryCases = cases.size();
        for (const std::string& line : lines_of(r.toolLog)) {
            const ToolCommand c = tool_command(line);
            for (const ExitClass& e : ExitClasses)
                cases.push_back({c.line + " : " + e.name, json::array({tool_fault_json(c, e)}),
                                 false, tool_fault(c, e, server, clean)});
        }
        toolExitCases = cases.size() - libraryCases;
        for (const std::string& line : lines_of(r.toolLog)) {
            const ToolCommand c = tool_command(line);
            if (c.step == Step::Write)
                cases.push_back({c.line + " : restore fails", restore_fails_json(c), false,
                                 restore_fails(c, server, clean)});
            cases.push_back({c.line + " : SIGTERM", stop_json(c), false,
                             stop_requested(c, server, matched, clean)});
        }
    }
};

const Sweep& sweep() {
    static const Sweep s;
    return s;
}

bool programmed(const std::string& toolLog, const Server& server, const std::string& adapter) {
    for (const std::string& line : lines_of(toolLog)) {
        const ToolCommand c = tool_command(line);
        if ((c.form == "upgrade" || c.form == "prg") && server.by_mac(c.mac).adapter == adapter)
            return true;
    }
    return false;
}

void check_report(const SweepCase& c, const RunResult& r) {
    const Sweep& w = sweep();
    EXPECT_TRUE(well_formed_xml(r.resultXml)) << r.resultXml;
    const std::vector<Device> devices = devices_of(r.resultXml);
    std::map<std::string, unsigned> reported, expected;
    for (const Device& d : devices) {
        const Function& f = w.server.at(d.bus, d.function);
        reported[f.service] = d.status;
        if (f.service == c.expected.bootcodeFamilyOn) {
            EXPECT_EQ(d.family, bootcode_family(w.bench, f.adapter));
        }
    }
    for (const std::string& service : w.matched) {
        if (c.expected.absent.contains(service)) continue;
        const auto own = c.expected.functionStatus.find(service);
        expected[service] = own != c.expected.functionStatus.end()
                                ? own->second
                                : c.expected.adapterStatus.at(w.server.by_service(service).adapter);
    }
    EXPECT_EQ(reported, expected) << r.resultXml;
    EXPECT_EQ(r.exitStatus, exit_flags_of(devices));
    const bool driverUnsupported = (exit_flags_of(devices) & 0x08) != 0;
    EXPECT_THAT(r.resultXml,
                HasSubstr(driverUnsupported ? "<RebootRequired>0" : "<RebootRequired>1"));
    EXPECT_EQ(lines_of(r.inventoryLog).size(), 3 * devices.size());
}

using Nvrams = std::map<std::string, std::vector<uint8_t>>;

void check_adapters(const SweepCase& c, const Scratch& s, const RunResult& r,
                    const Nvrams& before) {
    const Sweep& w = sweep();
    for (std::size_t i = 0; i < w.server.functions.size(); ++i) {
        const Function& f = w.server.functions[i];
        if (f.enabled) continue;
        if (c.expected.disableRefused)
            EXPECT_THAT(r.libraryTrace, HasSubstr(",0)=1 (injected)"));
        else
            EXPECT_FALSE(r.bench["functions"][i]["enabled"].get<bool>())
                << f.service << " left enabled";
    }
    for (const auto& [adapter, nvram] : before) {
        const bool restored = !c.expected.wholeRun && c.expected.adapterStatus.at(adapter) == 9;
        if (restored || !programmed(r.toolLog, w.server, adapter)) {
            EXPECT_EQ(s.nvram(adapter), nvram) << adapter << "'s NVRAM changed";
        }
    }
    // No backup outlives its adapter's update, unless it is the only good copy.
    EXPECT_FALSE(s.exists("buimage"));
    EXPECT_FALSE(s.exists("buimage.mac"));
    if (!c.expected.keptBackup.empty()) {
        const std::vector<uint8_t>& original = before.at(c.expected.keptAdapter);
        const std::string kept = s.read_file(c.expected.keptBackup);
        EXPECT_EQ(kept.substr(0, original.size()), std::string(original.begin(), original.end()))
            << c.expected.keptBackup << " does not hold the original NVRAM";
    }
}

json bench_of(const SweepCase& c) {
    return with_faults(sweep().bench, c.library, c.faults);
}

void run_case(const SweepCase& c) {
    SCOPED_TRACE(c.name);
    Scratch s(bench_of(c));
    copy_demo_files(s);
    Nvrams before;
    for (const auto& [adapter, status] : sweep().clean.adapterStatus)
        before[adapter] = s.nvram(adapter);
    // The plan's library calls would count towards a library fault's
    // occurrence; the tool's faults it never meets.
    const Commands planned = c.library ? Commands{} : planned_commands(plan_of(s));
    const RunResult r = s.run();  // throws when the run hangs
    if (!c.library) expect_run_follows_plan(planned, r);
    ASSERT_LT(r.exitStatus, 128) << "the utility crashed\n" << r.stderrText;
    ASSERT_TRUE(r.resultFileExists);
    if (c.expected.wholeRun) {
        EXPECT_EQ(r.resultXml, error_form(*c.expected.wholeRun));
        // An abandoned run may have programmed adapters before: it failed.
        EXPECT_EQ(r.exitStatus, *c.expected.wholeRun == 4 ? 4 : 0);
        EXPECT_EQ(r.inventoryLog, "");
    } else {
        check_report(c, r);
    }
    check_adapters(c, s, r, before);
}

}  // namespace

std::vector<FaultBench> fault_sweep_benches() {
    std::vector<FaultBench> benches;
    for (const SweepCase& c : sweep().cases) benches.push_back({c.name, bench_of(c)});
    return benches;
}

std::vector<std::size_t> chunk_cases(int chunk, std::size_t count, std::size_t stride) {
    std::vector<std::size_t> cases;
    for (std::size_t i = static_cast<std::size_t>(chunk) * stride; i < count;
         i += SweepChunks * stride)
        cases.push_back(i);
    return cases;
}

namespace {

constexpr int Chunks = SweepChunks;
constexpr std::size_t Stride = SweepStride;

TEST(FaultSweep, CountsTheCases) {
    const Sweep& w = sweep();
    std::printf(
        "fault sweep: %zu cases, %zu library calls, %zu tool command exits, %zu failing "
        "restores and SIGTERM at each command; %zu run here\n",
        w.cases.size(), w.libraryCases, w.toolExitCases,
        w.cases.size() - w.libraryCases - w.toolExitCases, (w.cases.size() + Stride - 1) / Stride);
    EXPECT_GT(w.libraryCases, 0u);
    EXPECT_GT(w.toolExitCases, 0u);
    EXPECT_GT(w.cases.size(), w.libraryCases + w.toolExitCases);
}

class FaultSweepChunk : public ::testing::TestWithParam<int> {};

TEST_P(FaultSweepChunk, EveryCaseEndsTruthfullyAndSafely) {
    const std::vector<SweepCase>& cases = sweep().cases;
    for (const std::size_t i : chunk_cases(GetParam(), cases.size())) run_case(cases[i]);
}

INSTANTIATE_TEST_SUITE_P(FaultSweep, FaultSweepChunk, ::testing::Range(0, Chunks));

}  // namespace
