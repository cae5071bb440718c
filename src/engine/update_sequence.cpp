#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "adpm/adpm.h"
#include "common/text.h"
#include "config/config.h"
#include "engine/engine.h"
#include "engine/ext_phy.h"
#include "engine/progress.h"
#include "vpd/vpd.h"

namespace {

// An adapter's functions share its bus and device.
using Location = std::pair<uint32_t, uint32_t>;

Location location_of(const AdapterRecord& r) {
    return {r.bus, r.device};
}

// What one eval_and_prg call keeps from record to record.
struct Engine {
    BuImage backup;
    int32_t lastResult = 0;
    // Kept across records: a later function of an adapter takes its function
    // 0's outcome of the family step.
    int32_t familyResult = 0;
    bool force = false;
    // Backups that earlier runs had to keep: their adapters are left alone.
    std::vector<std::string> keptBackups;
    // The status each adapter's function 0 ended with, once handled.
    std::map<Location, uint32_t> function0Ended;
};

enum class RecordEnd { Next, Abandon };

// The adapter's VPD as the engine holds it while it works on one record.
struct VpdImage {
    std::optional<VpdBuffer> words;
    int32_t wordCount = 0;
    bool extended = false;
};

// How a step shows in the progress lines: its name, the installed and the
// target version texts.
struct StepText {
    const char* name;
    std::string_view from = {};
    std::string_view to = {};
};

struct ComponentCommand {
    bool runs;
    StepText text;
    const char* option;
    const char* file;
    uint32_t installedVersion;
};

ComponentCommand when_newer(uint32_t target, uint32_t installed, bool force, StepText text,
                            const char* option, const char* file) {
    return {target != 0 && (target > installed || force), text, option, file, installed};
}

// The component steps in the order the tool must write them.
std::array<ComponentCommand, 8> component_commands(const AdapterRecord& r, const ConfigEntry& e,
                                                   bool force) {
    const bool uefi = e.btaNum < e.uefiNum;
    const bool bootAgentDue = (e.btaNum != 0 || e.uefiNum != 0) &&
                              (force || e.btaNum > r.btaVersion || e.uefiNum > r.uefiVersion);
    const StepText bootAgent =
        uefi ? StepText{"UEFI driver", field_text(r.uefiVersionText), field_text(e.uefiVersion)}
             : StepText{"boot agent", field_text(r.btaVersionText), field_text(e.btaVersion)};
    return {{
        when_newer(e.bcNum, r.bcVersion, force,
                   {"bootcode", field_text(r.bcVersionText), field_text(e.bcVersion)},
                   starts_with(field_text(e.bcFile), "mf") ? "-mfw1" : "-bc", e.bcFile),
        {bootAgentDue, bootAgent, "-bta", uefi ? e.uefiFile : e.btaFile,
         uefi ? r.uefiVersion : r.btaVersion},
        when_newer(e.ncsiNum, r.ncsiVersion, force,
                   {"NC-SI", field_text(r.ncsiVersionText), field_text(e.ncsiVersion)}, "-mgmt",
                   e.ncsiFile),
        when_newer(e.qmxNum, r.qmxVersion, force,
                   {"management port", field_text(r.qmxVersionText), field_text(e.qmxVersion)},
                   "-qmx", e.qmxFile),
        when_newer(e.ipmiNum, r.ipmiVersion, force,
                   {"IPMI", field_text(r.ipmiVersionText), field_text(e.ipmiVersion)}, "-ipmi",
                   e.ipmiFile),
        when_newer(e.iscsibNum, r.iscsiVersion, force,
                   {"iSCSI boot", field_text(r.iscsiVersionText), field_text(e.iscsibVersion)},
                   "-ib", e.iscsibFile),
        when_newer(e.fcoebNum, r.fcoeVersion, force,
                   {"FCoE boot", field_text(r.fcoeVersionText), field_text(e.fcoebVersion)},
                   "-feb", e.fcoebFile),
        when_newer(e.cfxNum, r.cfxVersion, force,
                   {"pre-boot configuration", field_text(r.cfxVersionText),
                    field_text(e.cfxVersion)},
                   "-cfx", e.cfxFile),
    }};
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

constexpr uint32_t NoInstalledVersion = 0xFFFFFFFF;

// Runs one step, showing it to a person at a terminal.
template <typename Step>
int shown_step(const AdapterRecord& r, const StepText& text, Step step) {
    progress_step(r, text.name, text.from, text.to);
    const int result = step();
    progress_step_done(result);
    return result;
}

int run_tool_step(Engine& engine, const AdapterRecord& r, const StepText& text,
                  const char* option, const char* file, uint32_t installedVersion) {
    engine.lastResult = shown_step(r, text, [&] {
        return program_device(r.macText, r.adapterType, option, file, r.deviceId,
                              installedVersion);
    });
    return engine.lastResult;
}

// The component steps, then the module step; the first nonzero tool result
// ends them and is returned.
int program_components(Engine& engine, const AdapterRecord& r, const ConfigEntry& e) {
    for (const ComponentCommand& c : component_commands(r, e, engine.force)) {
        if (!c.runs) continue;
        if (const int result =
                run_tool_step(engine, r, c.text, c.option, c.file, c.installedVersion))
            return result;
    }
    if (const char* file = module_file_for(r.deviceId, r.subDeviceId))
        return run_tool_step(engine, r, {"part number module", {}, file}, "-m_pn", file,
                             NoInstalledVersion);
    return ToolSuccess;
}

bool programming_due(const AdapterRecord& r, const ConfigEntry& e, bool force) {
    const bool familyNotOlder =
        r.familyVersion != 0 && e.familyNum != 0 && e.familyNum >= r.familyVersion;
    return r.function == 0 && (familyNotOlder || force);
}

void fail_record(AdapterRecord& r, int32_t& failedCode, int result) {
    r.status = static_cast<uint32_t>(result);
    failedCode = result;
}

void fail_record(AdapterRecord& r, int32_t& failedCode, ResultCode code) {
    fail_record(r, failedCode, static_cast<int>(code_of(code)));
}

// The tool refuses to write at all after code 203, so the backup is left
// alone; any other failure may have left the NVRAM half written. A backup
// that could not be put back is the adapter's only good copy: it is kept.
void restore_after_failure(Engine& engine, AdapterRecord& r, int32_t& failedCode) {
    if (ErrorCode_FirmwareUpgrade != ToolExitWriteProtect) {
        engine.lastResult =
            shown_step(r, {"restore NVRAM"}, [&] { return buImageRestore(engine.backup, r); });
        if (engine.lastResult != ToolSuccess) buImageKeep(engine.backup, r);
    }
    if (engine.lastResult == ToolError) fail_record(r, failedCode, ResultCode::RestoreFailed);
}

// The backup is removed as soon as the adapter is programmed or restored, so
// that one found when a run starts always belongs to an interrupted adapter.
RecordEnd backup_and_program(Engine& engine, AdapterRecord& r, const ConfigEntry& e,
                             int32_t& failedCode) {
    engine.lastResult =
        shown_step(r, {"back up NVRAM"}, [&] { return buImageMake(engine.backup, r); });
    if (engine.lastResult == RunAbandoned) return RecordEnd::Abandon;
    const int result =
        engine.lastResult != ToolSuccess ? engine.lastResult : program_components(engine, r, e);
    if (result != ToolSuccess) {
        fail_record(r, failedCode, result);
        restore_after_failure(engine, r, failedCode);
    }
    buImageDelete(engine.backup);
    return RecordEnd::Next;
}

// The extended VPD without its first four bytes; none when the library
// delivers nothing usable.
std::optional<VpdBuffer> read_extended_vpd(uint32_t handle, int32_t& wordCount) {
    std::array<uint8_t, ExtVpdCapacity> raw{};
    uint32_t length = ExtVpdCapacity;
    if (Adpm.AdpmGetExtVPD(handle, raw.data(), &length) != AdpmSuccess || length < 4)
        return std::nullopt;
    const std::size_t bytes = std::min<std::size_t>(length, ExtVpdCapacity) - 4;
    VpdBuffer image((bytes + 3) / 4, 0);
    std::memcpy(image.data(), raw.data() + 4, bytes);
    wordCount = static_cast<int32_t>(bytes / 4);
    return image;
}

// False when the VPD must be there and could not be read, now or when the
// inventory read the installed family version: with that version unknown
// nothing can be compared, and the family version must not be written over it.
bool read_vpd(const AdapterRecord& r, VpdImage& vpd) {
    if (r.familyVersion == FamilyVersionUnavailable) return false;
    if (r.extVpd == 0) {
        vpd.words = GetVPDBuff(r.handle, VpdNvramOffset, r.adapterType);
        return true;
    }
    vpd.extended = true;
    vpd.words = read_extended_vpd(r.handle, vpd.wordCount);
    return vpd.words.has_value();
}

void update_external_phy(Engine& engine, AdapterRecord& r, int32_t& failedCode) {
    if (extPhyFwrUpdateNeeded(r) == 0) return;
    const ExtPhyFwr& phy = *r.extPhy;
    const StepText text{"external PHY", field_text(phy.currentVersion),
                        field_text(phy.targetVersion)};
    if (run_tool_step(engine, r, text, "phy", phy.fileName, 0) != ToolSuccess)
        fail_record(r, failedCode, ResultCode::PhyFailed);
}

int write_family_version(const AdapterRecord& r, const ConfigEntry& e, VpdImage& vpd) {
    // A VPD that could not be read cannot be rewritten.
    if (!vpd.words) return FamilyNotWritten;
    if (vpd.extended)
        return UpdateExtVpdFamVer(*vpd.words, r.handle, r.adapterType, field_text(e.family),
                                  vpd.wordCount, r.deviceId, r.macText, e.vpdFile, program_device);
    return UpdateFWFamVer(*vpd.words, r.handle, r.adapterType, VpdNvramOffset,
                          field_text(e.family));
}

void update_family_version(Engine& engine, AdapterRecord& r, const ConfigEntry& e, VpdImage& vpd) {
    if (r.function == 0) {
        const StepText text{"family version", field_text(r.familyVersionText), field_text(e.family)};
        engine.familyResult = shown_step(r, text, [&] { return write_family_version(r, e, vpd); });
    }
    const int32_t result = engine.familyResult;
    if (result == ToolSuccess) return;
    const bool toolOutcome = result == ToolWriteProtect || result == ToolDriverNotSupported;
    r.status = toolOutcome ? static_cast<uint32_t>(result) : code_of(ResultCode::FamilyWriteFailed);
}

// An adapter whose backup an earlier run had to keep may hold a spoilt NVRAM;
// only a person can tell, so nothing touches it until the file is gone.
bool left_for_a_person(const Engine& engine, AdapterRecord& r) {
    if (r.function != 0) return false;
    const std::string kept = kept_backup_of(engine.keptBackups, field_text(r.macText));
    if (kept.empty()) return false;
    say_left_alone(r, kept);
    r.status = code_of(ResultCode::RestoreFailed);
    return true;
}

RecordEnd update_record(Engine& engine, AdapterRecord& r) {
    const ConfigEntry& e = *r.config;
    if (left_for_a_person(engine, r)) return RecordEnd::Next;
    if (r.function == 0 && probe_device(r.macText) == ToolExitDriverNotSupported) {
        r.status = code_of(ResultCode::DriverNotSupported);
        return RecordEnd::Next;
    }
    VpdImage vpd;
    if (!read_vpd(r, vpd)) {
        r.status = code_of(ResultCode::FamilyWriteFailed);
        return RecordEnd::Next;
    }
    int32_t failedCode = 0;
    if (programming_due(r, e, engine.force) &&
        backup_and_program(engine, r, e, failedCode) == RecordEnd::Abandon)
        return RecordEnd::Abandon;
    if (failedCode == 0) update_external_phy(engine, r, failedCode);
    if (failedCode == 0) update_family_version(engine, r, e, vpd);
    return RecordEnd::Next;
}

// Functions of one adapter share one NVRAM, so all report what function 0
// got; one whose firmware could not be read keeps saying so, never success,
// and one the run did not reach says that. Function 0 is looked up by
// location (the last of a bus and device wins), so the pass costs the same
// per function however many the server has.
void share_function0_status(std::span<AdapterRecord> records) {
    std::map<Location, uint32_t> function0Status;
    for (const AdapterRecord& r : records)
        if (r.function == 0) function0Status[location_of(r)] = r.status;
    for (AdapterRecord& r : records) {
        if (r.function == 0 || r.status == code_of(ResultCode::AdapterListFailed) ||
            r.status == code_of(ResultCode::UpdateIncomplete))
            continue;
        const auto first = function0Status.find(location_of(r));
        if (first != function0Status.end()) r.status = first->second;
    }
}

// A function after its adapter's function 0 failed runs no step of its own:
// the adapter is in no state to be updated further.
bool function0_failed(const Engine& engine, const AdapterRecord& r) {
    const auto ended = engine.function0Ended.find(location_of(r));
    return r.function != 0 && ended != engine.function0Ended.end() && ended->second != 0;
}

void mark_not_reached(AdapterRecord& r, bool& told) {
    if (!told)
        std::fprintf(stderr,
                     "qik_programmer: asked to stop; the adapters not reached report result %u\n",
                     code_of(ResultCode::UpdateIncomplete));
    told = true;
    r.status = code_of(ResultCode::UpdateIncomplete);
}

}  // namespace

const char* module_file_for(uint32_t deviceId, uint32_t subDeviceId) {
    for (const ModuleRow& row : ModuleRows)
        if (contains(row.deviceIds, deviceId) && contains(row.subDeviceIds, subDeviceId))
            return row.file;
    return nullptr;
}

int eval_and_prg(std::span<AdapterRecord> records, uint8_t force) {
    Engine engine;
    buImageInitialize(engine.backup);
    engine.force = force != 0;
    keep_leftover_backup();
    engine.keptBackups = kept_backups();
    bool toldStop = false;
    for (AdapterRecord& r : records) {
        if (r.config == nullptr || function0_failed(engine, r)) continue;
        // The inventory could not read this adapter's firmware: nothing here
        // may be compared, so nothing is written.
        if (r.status != code_of(ResultCode::AdapterListFailed)) {
            if (StopRequested != 0) {
                mark_not_reached(r, toldStop);
                continue;
            }
            if (update_record(engine, r) == RecordEnd::Abandon) return RunAbandoned;
        }
        if (r.function == 0) engine.function0Ended[location_of(r)] = r.status;
    }
    share_function0_status(records);
    return engine.lastResult;
}
