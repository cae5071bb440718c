// What runs on the demo server do, as the tests read it: the tool commands
// each function got, the result codes reported, and the state of an adapter.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

// The demo's function 0 of each adapter, and the add-in's second port.
inline constexpr const char* Lom = "001c5a100000";
inline constexpr const char* Addin = "001c5a400000";
inline constexpr const char* AddinPort1 = "001c5a400001";

using Commands = std::vector<std::string>;

// What the tool was asked to do, in order: the command lines as the tool
// received them, without its path and without how they ended.
Commands commands(const std::string& toolLog);
// The commands one function was given, without its MAC.
Commands commands_for(const std::string& toolLog, const std::string& mac);
Commands with_mac(const std::string& mac, const Commands& forFunction);
Commands joined(std::initializer_list<Commands> parts);
// The first `count` commands of `all`, then `more`.
Commands first(const Commands& all, std::size_t count, const Commands& more = {});

// The result code of every Device element, in document order.
std::vector<int> statuses(const std::string& xml);
// The demo's six reported functions: the LOM's four, then the add-in's two.
std::vector<int> lom_and_addin(int lom, int addin);

// The demo's first run: every out-of-date component of the LOM, then of the
// add-in adapter, whose PHY the second port checks and programs again.
// Inline, so that tables of cases built from them at start-up find them made.
inline const Commands LomUpdate = {
    "dir",
    "dumpnvram buimage",
    "upgrade -noreset -bc bc_7a01_0710.bin",
    "upgrade -noreset -bta bta_7a01_7103.img",
    "upgrade -noreset -mgmt ncsi_7a01_150.bin",
    "upgrade -noreset -ib_ipv4n6 ib6bt_7a01_7103.bin",
    "upgrade -noreset -m_pn modfam1.txt",
};
inline const Commands AddinUpdate = {
    "dir",
    "dumpnvram buimage",
    "upgrade -noreset -mfw1 mfw_7a06_0212.bin",
    "upgrade -noreset -bta uefi_7a06_821.efi",
    "upgrade -noreset -mgmt ipmi_7a06_320.bin",
    "prg -cfx cfx_7a06_102.bin",
    "upgrade -noreset -m_pn modfam3.txt",
    "upgrade -noreset phy kxbb_phy_0106.bin",
    "upgrade -noreset -vpd VpdUpdate.txt",
};
inline const Commands AddinPort1Update = {"upgrade -noreset phy kxbb_phy_0106.bin"};
inline const Commands Restore = {"restorenvram buimage"};

nlohmann::json tool_faults(nlohmann::json faults);
// `bench` with `faults` as its library's faults, or its tool's.
nlohmann::json with_faults(nlohmann::json bench, bool library, const nlohmann::json& faults);

// examples/demo/bench.json with `patch` merged into it.
nlohmann::json demo_bench_with(const nlohmann::json& patch);

// qik_plan's plan for the scratch directory (--json, checked against its
// schema), and the tool commands it lists as the tool log shows them.
nlohmann::json plan_of(Scratch& s, std::vector<std::string> args = {});
Commands planned_commands(const nlohmann::json& plan);
// The run gave the tool the plan's commands, up to and including the first
// that failed; all of them when none failed and no function was left
// unreached (result 17).
void expect_run_follows_plan(const Commands& planned, const RunResult& run);

// Everything the bench knows about one adapter that a run may change.
struct AdapterState {
    std::vector<uint8_t> nvram;
    std::vector<uint8_t> extVpd;
    nlohmann::json rest;
    bool operator==(const AdapterState&) const = default;
};

AdapterState state_of(const Scratch& s, const std::string& adapter);
void expect_unchanged(const Scratch& s, const std::string& adapter, const AdapterState& before);

// The running boot's id, which the note of enabled ports carries.
std::string boot_id();
// A line of the note of enabled ports ("MAC SERVICE BOOT"), of this boot
// unless another is given.
std::string enabled_note_line(const std::string& mac, const std::string& service,
                              const std::string& boot = boot_id());
// The ports the bench has enabled, by service name.
std::vector<std::string> enabled_ports(const nlohmann::json& bench);
