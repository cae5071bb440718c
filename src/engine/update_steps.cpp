#include "engine/update_steps.h"

#include <algorithm>
#include <array>
#include <span>

#include "common/text.h"
#include "config/config.h"
#include "engine/ext_phy.h"

namespace {

// A component as the update sees it: its target and installed numbers, the
// texts a person reads, and the command that writes it.
struct Component {
    bool runs;
    ToolStep step;
    uint32_t target;
};

Component when_newer(uint32_t target, uint32_t installed, bool force, ToolStep step) {
    return {target != 0 && (target > installed || force), std::move(step), target};
}

ToolStep tool_step(const char* name, std::string_view from, std::string_view to, const char* option,
                   std::string_view file, uint32_t installed) {
    return {name, std::string(from), std::string(to), option, std::string(file), installed};
}

// The component steps in the order the tool must write them.
std::array<Component, 8> components(const AdapterRecord& r, const ConfigEntry& e, bool force) {
    const bool uefi = e.btaNum < e.uefiNum;
    const bool bootAgentDue = (e.btaNum != 0 || e.uefiNum != 0) &&
                              (force || e.btaNum > r.btaVersion || e.uefiNum > r.uefiVersion);
    const ToolStep bootAgent =
        uefi ? tool_step("UEFI driver", field_text(r.uefiVersionText), field_text(e.uefiVersion),
                         "-bta", field_text(e.uefiFile), r.uefiVersion)
             : tool_step("boot agent", field_text(r.btaVersionText), field_text(e.btaVersion),
                         "-bta", field_text(e.btaFile), r.btaVersion);
    return {{
        when_newer(e.bcNum, r.bcVersion, force,
                   tool_step("bootcode", field_text(r.bcVersionText), field_text(e.bcVersion),
                             starts_with(field_text(e.bcFile), "mf") ? "-mfw1" : "-bc",
                             field_text(e.bcFile), r.bcVersion)),
        {bootAgentDue, bootAgent, std::max(e.btaNum, e.uefiNum)},
        when_newer(e.ncsiNum, r.ncsiVersion, force,
                   tool_step("NC-SI", field_text(r.ncsiVersionText), field_text(e.ncsiVersion),
                             "-mgmt", field_text(e.ncsiFile), r.ncsiVersion)),
        when_newer(
            e.qmxNum, r.qmxVersion, force,
            tool_step("management port", field_text(r.qmxVersionText), field_text(e.qmxVersion),
                      "-qmx", field_text(e.qmxFile), r.qmxVersion)),
        when_newer(e.ipmiNum, r.ipmiVersion, force,
                   tool_step("IPMI", field_text(r.ipmiVersionText), field_text(e.ipmiVersion),
                             "-ipmi", field_text(e.ipmiFile), r.ipmiVersion)),
        when_newer(
            e.iscsibNum, r.iscsiVersion, force,
            tool_step("iSCSI boot", field_text(r.iscsiVersionText), field_text(e.iscsibVersion),
                      "-ib", field_text(e.iscsibFile), r.iscsiVersion)),
        when_newer(e.fcoebNum, r.fcoeVersion, force,
                   tool_step("FCoE boot", field_text(r.fcoeVersionText), field_text(e.fcoebVersion),
                             "-feb", field_text(e.fcoebFile), r.fcoeVersion)),
        when_newer(
            e.cfxNum, r.cfxVersion, force,
            tool_step("pre-boot configuration", field_text(r.cfxVersionText),
                      field_text(e.cfxVersion), "-cfx", field_text(e.cfxFile), r.cfxVersion)),
    }};
}

const char* why_left(const Component& c) {
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

// The module step takes an installed version of all bits set.
constexpr uint32_t NoInstalledVersion = 0xFFFFFFFF;

// Why the backup and the writes do not run; empty when they do.
std::string why_not_programmed(const AdapterRecord& r, const ConfigEntry& e, bool force) {
    if (r.function != 0) return "function 0 of the adapter programs it";
    if (force) return {};
    if (r.familyVersion == 0) return "no installed family version to compare";
    if (e.familyNum == 0) return "no family version in the table";
    if (e.familyNum < r.familyVersion) return "the table's family version is older";
    return {};
}

// The writes when the adapter is programmed; the components with a target
// that are not written, and why.
void plan_writes(const AdapterRecord& r, const ConfigEntry& e, bool force, UpdateSteps& steps) {
    for (Component& c : components(r, e, force)) {
        if (c.runs && steps.programming)
            steps.writes.push_back(std::move(c.step));
        else if (c.target != 0)
            steps.left.push_back({c.step.name, c.step.from, c.step.to,
                                  steps.programming ? why_left(c) : steps.notProgrammedWhy});
    }
    const char* file = module_file_for(r.deviceId, r.subDeviceId);
    if (file != nullptr && steps.programming)
        steps.writes.push_back(
            tool_step("part number module", {}, file, "-m_pn", file, NoInstalledVersion));
}

void plan_phy(AdapterRecord& r, UpdateSteps& steps) {
    const ExtPhyFwr* phy = r.extPhy.get();
    if (extPhyFwrUpdateNeeded(r) != 0) {
        steps.phy = tool_step("external PHY", field_text(phy->currentVersion),
                              field_text(phy->targetVersion), "phy", field_text(phy->fileName), 0);
    } else if (phy == nullptr || field_text(phy->fileName).empty()) {
        steps.noPhyWhy = "no external PHY";
    } else {
        steps.noPhyWhy = phy->kind == PhyKind::None ? "its image names no PHY kind" : "current";
    }
}

}  // namespace

const char* module_file_for(uint32_t deviceId, uint32_t subDeviceId) {
    for (const ModuleRow& row : ModuleRows)
        if (contains(row.deviceIds, deviceId) && contains(row.subDeviceIds, subDeviceId))
            return row.file;
    return nullptr;
}

UpdateSteps update_steps(AdapterRecord& r, bool force) {
    const ConfigEntry& e = *r.config;
    UpdateSteps steps;
    steps.probe = r.function == 0;
    steps.notProgrammedWhy = why_not_programmed(r, e, force);
    steps.programming = steps.notProgrammedWhy.empty();
    plan_writes(r, e, force, steps);
    plan_phy(r, steps);
    if (r.function == 0)
        steps.family = r.extVpd != 0 ? FamilyRoute::VpdTemplate : FamilyRoute::NvramVpd;
    return steps;
}
