#include "demo_runs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "schema.h"

using nlohmann::json;

Commands commands(const std::string& toolLog) {
    Commands out;
    for (const std::string& line : lines_of(toolLog)) {
        const std::size_t start = line.find(' ') + 1;
        out.push_back(line.substr(start, line.find(" => ") - start));
    }
    return out;
}

Commands commands_for(const std::string& toolLog, const std::string& mac) {
    Commands out;
    for (const std::string& command : commands(toolLog))
        if (command.starts_with(mac + " ")) out.push_back(command.substr(mac.size() + 1));
    return out;
}

Commands with_mac(const std::string& mac, const Commands& forFunction) {
    Commands out;
    for (const std::string& command : forFunction) out.push_back(mac + " " + command);
    return out;
}

Commands joined(std::initializer_list<Commands> parts) {
    Commands out;
    for (const Commands& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Commands first(const Commands& all, std::size_t count, const Commands& more) {
    return joined({Commands(all.begin(), all.begin() + static_cast<long>(count)), more});
}

std::vector<int> statuses(const std::string& xml) {
    std::vector<int> out;
    const std::string mark = "<Message id=\"";
    for (std::size_t at = xml.find(mark); at != std::string::npos; at = xml.find(mark, at + 1))
        out.push_back(std::stoi(xml.substr(at + mark.size())));
    return out;
}

std::vector<int> lom_and_addin(int lom, int addin) {
    return {lom, lom, lom, lom, addin, addin};
}

json tool_faults(json faults) {
    return {{"tool", {{"faults", std::move(faults)}}}};
}

json with_faults(json bench, bool library, const json& faults) {
    bench[library ? "library" : "tool"]["faults"] = faults;
    return bench;
}

json demo_bench_with(const json& patch) {
    json bench = demo_bench();
    bench.merge_patch(patch);
    return bench;
}

AdapterState state_of(const Scratch& s, const std::string& adapter) {
    json rest = s.bench()["adapters"][adapter];
    rest.erase("nvram");
    rest.erase("extVpd");
    return {s.nvram(adapter), s.ext_vpd(adapter), rest};
}

void expect_unchanged(const Scratch& s, const std::string& adapter, const AdapterState& before) {
    const AdapterState after = state_of(s, adapter);
    EXPECT_TRUE(after.nvram == before.nvram) << adapter << ": NVRAM changed";
    EXPECT_TRUE(after.extVpd == before.extVpd) << adapter << ": extended VPD changed";
    EXPECT_EQ(after.rest, before.rest) << adapter;
}

json plan_of(Scratch& s, std::vector<std::string> args) {
    args.push_back("--json");
    const ProcessResult p = s.run_plan(args);
    EXPECT_TRUE(valid_json(p.stdoutText, "plan.schema.json"));
    return json::parse(p.stdoutText);
}

Commands planned_commands(const json& plan) {
    static const std::string prefix = "./nicflsh ", tail = " >/dev/null 2>&1";
    Commands out;
    for (const json& f : plan["functions"])
        for (const json& step : f["steps"]) {
            if (step["command"].is_null()) continue;
            const std::string command = step["command"];
            out.push_back(
                command.substr(prefix.size(), command.size() - prefix.size() - tail.size()));
        }
    return out;
}

namespace {

bool tool_succeeded(const std::string& logLine) {
    for (const char* code : {"=> exit 0", "=> exit 35", "=> exit 95"})
        if (logLine.ends_with(code) || logLine.find(std::string(code) + " (") != std::string::npos)
            return true;
    return false;
}

}  // namespace

void expect_run_follows_plan(const Commands& planned, const RunResult& run) {
    const Commands issued = commands(run.toolLog);
    std::size_t compared = 0;
    bool failed = false;
    for (const std::string& line : lines_of(run.toolLog)) {
        ++compared;
        // What follows a failing command is the run's answer to the failure.
        failed = !tool_succeeded(line);
        if (failed) break;
    }
    if (!failed && std::ranges::count(statuses(run.resultXml), 17) == 0) {
        EXPECT_THAT(issued, ::testing::ElementsAreArray(planned)) << run.toolLog;
        return;
    }
    ASSERT_LE(compared, planned.size()) << run.toolLog;
    EXPECT_THAT(
        Commands(issued.begin(), issued.begin() + static_cast<long>(compared)),
        ::testing::ElementsAreArray(planned.begin(), planned.begin() + static_cast<long>(compared)))
        << run.toolLog;
}

std::string boot_id() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

std::string enabled_note_line(const std::string& mac, const std::string& service,
                              const std::string& boot) {
    return mac + " " + service + " " + boot + "\n";
}

std::vector<std::string> enabled_ports(const json& bench) {
    std::vector<std::string> ports;
    for (const json& f : bench["functions"])
        if (f.value("enabled", true)) ports.push_back(f.value("serviceName", ""));
    return ports;
}
