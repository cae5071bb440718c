#include "engine/update_steps.h"

#include <unistd.h>

#include <algorithm>
#include <span>
#include <vector>

#include "adapter/function0_rules.h"
#include "common/text.h"
#include "config/config.h"
#include "engine/ext_phy.h"
#include "engine/ext_vpd_family.h"
#include "engine/nvram_backup.h"
#include "vpd/vpd.h"

namespace {

// One write of the update: whether it runs, the command that writes it with
// the texts a person reads, and its target number.
struct ComponentWrite {
    bool runs;
    ToolStep step;
    uint32_t target;
};

// A component and where the record holds its installed version.
struct ComponentFields {
    const Component& table;
    char (AdapterRecord::*installedText)[16];
    uint32_t AdapterRecord::*installed;
};

#define QIK_COMPONENT_FIELDS(key, ...) \
    {component(ComponentKey::key), &AdapterRecord::key##VersionText, &AdapterRecord::key##Version},
constexpr ComponentFields AllComponents[] = {QIK_COMPONENTS(QIK_COMPONENT_FIELDS)};
#undef QIK_COMPONENT_FIELDS

constexpr int LastStep = std::ranges::max_element(Components, {}, &Component::step)->step;

ToolStep tool_step(const char* name, std::string_view from, std::string_view to, const char* option,
                   std::string_view file, uint32_t installed) {
    return {name, std::string(from), std::string(to), option, std::string(file), installed, true,
            {}};
}

ToolStep step_of(const ComponentFields& c, const AdapterRecord& r, const ConfigEntry& e) {
    const Component& t = c.table;
    ToolStep step = tool_step(t.title, field_text(r.*c.installedText), field_text(e.*t.version),
                              t.option, field_text(e.*t.file), r.*c.installed);
    // The tool takes a bootcode image named mf* under an option of its own.
    if (t.key == ComponentKey::bc && starts_with(step.file, "mf")) step.option = "-mfw1";
    return step;
}

// The write at one place of the order: its components' newest target, due
// when any of them is older on the adapter. On a tie the first listed wins.
ComponentWrite write_at(int place, const AdapterRecord& r, const ConfigEntry& e, bool force) {
    const ComponentFields* chosen = nullptr;
    bool older = false;
    for (const ComponentFields& c : AllComponents) {
        if (c.table.step != place) continue;
        if (chosen == nullptr || e.*c.table.target > e.*chosen->table.target) chosen = &c;
        older = older || e.*c.table.target > r.*c.installed;
    }
    const uint32_t target = e.*chosen->table.target;
    return {target != 0 && (force || older), step_of(*chosen, r, e), target};
}

// The component writes in the order the tool must make them.
std::vector<ComponentWrite> component_writes(const AdapterRecord& r, const ConfigEntry& e,
                                             bool force) {
    std::vector<ComponentWrite> out;
    for (int place = 1; place <= LastStep; ++place) out.push_back(write_at(place, r, e, force));
    return out;
}

const char* why_left(const ComponentWrite& c) {
    return c.step.installedVersion > c.target ? "newer than the table's" : "current";
}

// Part-number module files, by PCI device and subsystem device.
struct ModuleRow {
    std::span<const uint32_t> deviceIds;
    std::span<const uint32_t> subDeviceIds;
    const char* file;
};

constexpr uint32_t Module1Devices[] = {0x7A01};
constexpr uint32_t Module1SubDevices[] = {0x5B01, 0x5B02};
constexpr uint32_t Module2Devices[] = {0x7A02, 0x7A03, 0x7A04, 0x7A05};
constexpr uint32_t Module2SubDevices[] = {0x5B03, 0x5B04, 0x5B05};
constexpr uint32_t Module3Devices[] = {0x7A06, 0x7A07, 0x7A08};
constexpr uint32_t Module3SubDevices[] = {0x5B06};

constexpr ModuleRow ModuleRows[] = {
    {Module1Devices, Module1SubDevices, "modfam1.txt"},
    {Module2Devices, Module2SubDevices, "modfam2.txt"},
    {Module3Devices, Module3SubDevices, "modfam3.txt"},
};

bool contains(std::span<const uint32_t> ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Why the backup and the writes do not run; empty when they do.
std::string why_not_programmed(const AdapterRecord& r, const ConfigEntry& e, bool force) {
    if (r.function != 0) return "function 0 of the adapter programs it";
    if (force) return {};
    if (r.familyVersion == 0) return "no installed family version to compare";
    if (e.familyTarget == 0) return "no family version in the table";
    if (e.familyTarget < r.familyVersion) return "the table's family version is older";
    return {};
}

// The writes when the adapter is programmed; the components with a target
// that are not written, and why.
void plan_writes(const AdapterRecord& r, const ConfigEntry& e, bool force, UpdateSteps& steps) {
    for (ComponentWrite& c : component_writes(r, e, force)) {
        if (c.runs && steps.programming)
            steps.writes.push_back(std::move(c.step));
        else if (c.target != 0)
            steps.left.push_back({c.step.name, c.step.from, c.step.to,
                                  steps.programming ? why_left(c) : steps.notProgrammedWhy});
    }
    const char* file = module_file_for(r.deviceId, r.subDeviceId);
    if (file != nullptr && steps.programming) {
        steps.writes.push_back(
            tool_step("part number module", {}, file, "-m_pn", file, NoInstalledVersion));
        steps.writes.back().component = false;
    }
}

void plan_phy(AdapterRecord& r, UpdateSteps& steps) {
    const ExtPhyFirmware* phy = r.extPhy.get();
    if (ext_phy_update_needed(r)) {
        steps.phy = tool_step("external PHY", field_text(phy->currentVersion),
                              field_text(phy->targetVersion), "phy", field_text(phy->fileName), 0);
    } else if (phy == nullptr || field_text(phy->fileName).empty()) {
        steps.noPhyWhy = "no external PHY";
    } else {
        steps.noPhyWhy = phy->kind == PhyKind::None ? "its image names no PHY kind" : "current";
    }
}

// What stands at a name of the working directory and is not a plain file:
// the utility never writes through it, and cannot remove a directory.
std::string_view odd_kind_at(const WorkingDirectory& directory, const char* name) {
    switch (directory.kind_of(name)) {
        case EntryKind::None:
        case EntryKind::RegularFile:
            return {};
        case EntryKind::Directory:
            return "a directory";
        case EntryKind::Link:
            return "a link";
        case EntryKind::Other:
            break;
    }
    return "not a file";
}

// The note of the backup's adapter is written before every backup; a
// directory in its place outlives the cleanup at the start of the run.
std::string why_no_backup(const WorkingDirectory& directory) {
    if (directory.kind_of(BuImageMacName) != EntryKind::Directory) return {};
    return "cannot write " + std::string(BuImageMacName) +
           ": it is a directory, so no NVRAM backup can be noted";
}

std::string why_family_not_written(const WorkingDirectory& directory, const ConfigEntry& e) {
    if (!directory.accessible(e.vpdFile, R_OK))
        return "the VPD template " + printable(field_text(e.vpdFile)) + " cannot be read";
    if (const std::string_view kind = odd_kind_at(directory, VpdUpdateFileName); !kind.empty())
        return std::string(VpdUpdateFileName) + " is " + std::string(kind) +
               ", which is never written through";
    return {};
}

void plan_backup(UpdateSteps& steps) {
    steps.backup = tool_step("back up NVRAM", {}, {}, BackupOption, BuImageName, 0);
    steps.restore = tool_step("restore", {}, {}, RestoreOption, BuImageName, 0);
}

void plan_family(const WorkingDirectory& directory, const AdapterRecord& r, const ConfigEntry& e,
                 UpdateSteps& steps) {
    if (r.function == 0)
        steps.family = r.extVpd != 0 ? FamilyRoute::VpdTemplate : FamilyRoute::NvramVpd;
    steps.familyCurrent = field_text(r.familyVersionText) == field_text(e.family);
    steps.familyLowered =
        r.function == 0 && e.familyTarget != 0 && e.familyTarget < r.familyVersion;
    if (steps.family != FamilyRoute::VpdTemplate) return;
    steps.familyNotWrittenWhy = why_family_not_written(directory, e);
    if (steps.familyNotWrittenWhy.empty())
        steps.familyWrite = tool_step("family version", {}, {}, FamilyTemplateOption,
                                      VpdUpdateFileName, NoInstalledVersion);
}

// What a tool step cannot have: the tool itself, then the file it reads.
std::optional<FailingStep> failing_at(const WorkingDirectory& directory, const ToolStep& step,
                                      bool readsFile, ResultCode code) {
    if (!directory.accessible(ToolPath, X_OK))
        return FailingStep{step.name, std::string(ToolPath) + " cannot be run", code};
    if (readsFile && !directory.accessible(step.file.c_str(), R_OK))
        return FailingStep{step.name, printable(step.file) + " cannot be read", code};
    return std::nullopt;
}

// In the run's order: the backup, the writes, the PHY, the family version.
// The probe is not one: the run goes on whatever it answers but 40.
std::optional<FailingStep> first_failing_step(const WorkingDirectory& directory,
                                              const UpdateSteps& steps) {
    const ResultCode written = ResultCode::ToolErrorRestored;
    if (steps.backup)
        if (auto failing = failing_at(directory, *steps.backup, false, written)) return failing;
    for (const ToolStep& write : steps.writes)
        if (auto failing = failing_at(directory, write, true, written)) return failing;
    if (steps.phy)
        if (auto failing = failing_at(directory, *steps.phy, true, ResultCode::PhyFailed))
            return failing;
    if (!steps.familyNotWrittenWhy.empty())
        return FailingStep{"family version", steps.familyNotWrittenWhy,
                           ResultCode::FamilyWriteFailed};
    if (steps.familyWrite)
        return failing_at(directory, *steps.familyWrite, false, ResultCode::FamilyWriteFailed);
    return std::nullopt;
}

void add_command_line(const char* adapterId, bool force, ToolStep& step) {
    step.command =
        tool_command_line(adapterId, step.option, step.file.c_str(), step.installedVersion, force);
}

void add_command_lines(const char* adapterId, bool force, UpdateSteps& steps) {
    for (std::optional<ToolStep>* step :
         {&steps.backup, &steps.restore, &steps.phy, &steps.familyWrite})
        if (*step) add_command_line(adapterId, force, **step);
    for (ToolStep& write : steps.writes) add_command_line(adapterId, force, write);
}

}  // namespace

std::optional<LeftAlone> left_alone_before_steps(const AdapterRecord& record,
                                                 std::optional<uint32_t> function0Status) {
    if (record.status == code_of(ResultCode::AdapterListFailed))
        return LeftAlone{ResultCode::AdapterListFailed, false};
    if (record.function != 0 && function0Status.value_or(0) != 0)
        return LeftAlone{static_cast<ResultCode>(*function0Status), true};
    return std::nullopt;
}

std::string kept_backup_of_adapter(const Function0s& function0s, const AdapterRecord& record,
                                   const std::vector<std::string>& kept,
                                   const std::optional<std::string>& leftoverOwner) {
    const AdapterRecord* function0 = function0s.of(record);
    if (function0 == nullptr) return {};
    const std::string_view mac = field_text(function0->macText);
    std::string found = kept_backup_of(kept, mac);
    if (found.empty() && !mac.empty() && leftoverOwner == mac)
        found = std::string(BuImageName) + " (an earlier run's, kept as " +
                std::string(KeptBackupPrefix) + std::string(mac) + ")";
    return found;
}

const char* module_file_for(uint32_t deviceId, uint32_t subDeviceId) {
    for (const ModuleRow& row : ModuleRows)
        if (contains(row.deviceIds, deviceId) && contains(row.subDeviceIds, subDeviceId))
            return row.file;
    return nullptr;
}

UpdateSteps update_steps(const WorkingDirectory& directory, AdapterRecord& r, bool force) {
    const ConfigEntry& e = *r.config;
    UpdateSteps steps;
    if (r.function == 0) {
        steps.probe = tool_step("probe", {}, {}, ProbeOption, {}, 0);
        steps.probe->command = probe_command_line(r.macText);
    }
    if (r.familyVersion == FamilyVersionUnavailable)
        steps.leftAloneAfterProbe = ResultCode::FamilyWriteFailed;
    steps.notProgrammedWhy = why_not_programmed(r, e, force);
    steps.programming = steps.notProgrammedWhy.empty();
    if (steps.programming) {
        steps.noBackupWhy = why_no_backup(directory);
        plan_backup(steps);
    }
    plan_writes(r, e, force, steps);
    plan_phy(r, steps);
    plan_family(directory, r, e, steps);
    add_command_lines(r.macText, force, steps);
    steps.failing = first_failing_step(directory, steps);
    return steps;
}
