#include "engine/update_sequence.h"

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

#include "adapter/function0_rules.h"
#include "adpm/adpm.h"
#include "common/text.h"
#include "config/config.h"
#include "engine/ext_phy.h"
#include "engine/ext_vpd_family.h"
#include "engine/nvram_backup.h"
#include "engine/update_steps.h"
#include "vpd/vpd.h"

namespace {

// What one run_updates call keeps from record to record.
struct Engine {
    Engine(const RunContext& context, std::span<const AdapterRecord> records)
        : run(context), function0s(records), backup(context.tools, context.directory) {}
    const RunContext& run;
    const Function0s function0s;
    NvramBackup backup;
    int32_t lastResult = 0;
    // Kept across records: a later function of an adapter takes its function
    // 0's outcome of the family step.
    int32_t familyResult = 0;
    // Backups that earlier runs had to keep: their adapters are left alone.
    std::vector<std::string> keptBackups;
    // The status each adapter's function 0 ended with, once handled.
    std::map<AdapterLocation, uint32_t> function0Ended;
};

enum class RecordEnd { Next, Abandon };

// The adapter's VPD as the engine holds it while it works on one record.
struct VpdImage {
    std::optional<VpdBuffer> words;
    bool extended = false;
};

int result_of(int result) {
    return result;
}

int result_of(const ToolOutcome& outcome) {
    return outcome.result;
}

// Runs one step, showing it to a person at a terminal.
template <typename Step>
auto shown_step(const Engine& engine, const AdapterRecord& r, std::string_view name,
                std::string_view from, std::string_view to, Step step) {
    engine.run.progress.step(r, name, from, to);
    const auto outcome = step();
    engine.run.progress.step_done(result_of(outcome));
    return outcome;
}

template <typename Step>
auto shown_step(const Engine& engine, const AdapterRecord& r, std::string_view name, Step step) {
    return shown_step(engine, r, name, {}, {}, step);
}

ToolOutcome run_tool_step(Engine& engine, const AdapterRecord& r, const ToolStep& s) {
    const ToolOutcome outcome = shown_step(engine, r, s.name, s.from, s.to, [&] {
        return engine.run.tools.run(r.adapterType, s.command);
    });
    engine.lastResult = outcome.result;
    return outcome;
}

// The component steps, then the module step; the first failure ends them and
// is returned.
ToolOutcome program_components(Engine& engine, const AdapterRecord& r,
                               std::span<const ToolStep> writes) {
    for (const ToolStep& write : writes)
        if (const ToolOutcome outcome = run_tool_step(engine, r, write); outcome.result != 0)
            return outcome;
    return {ToolSuccess, 0};
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
void restore_after_failure(Engine& engine, AdapterRecord& r, int toolExit, int32_t& failedCode) {
    if (toolExit != ToolExitWriteProtect) {
        engine.lastResult =
            shown_step(engine, r, "restore NVRAM", [&] { return engine.backup.restore(r); });
        if (engine.lastResult != ToolSuccess) engine.backup.keep(r);
    }
    if (engine.lastResult == ToolError) fail_record(r, failedCode, ResultCode::RestoreFailed);
}

// The backup is removed as soon as the adapter is programmed or restored, so
// that one found when a run starts always belongs to an interrupted adapter.
RecordEnd backup_and_program(Engine& engine, AdapterRecord& r, std::span<const ToolStep> writes,
                             int32_t& failedCode) {
    const ToolOutcome backup =
        shown_step(engine, r, "back up NVRAM", [&] { return engine.backup.make(r); });
    engine.lastResult = backup.result;
    if (backup.result == RunAbandoned) return RecordEnd::Abandon;
    const ToolOutcome outcome =
        backup.result != ToolSuccess ? backup : program_components(engine, r, writes);
    if (outcome.result != ToolSuccess) {
        fail_record(r, failedCode, outcome.result);
        restore_after_failure(engine, r, outcome.exitCode, failedCode);
    }
    engine.backup.remove();
    return RecordEnd::Next;
}

// The extended VPD without its first four bytes; none when the library
// delivers nothing usable.
std::optional<VpdBuffer> read_extended_vpd(const AdpmApi& adpm, uint32_t handle) {
    std::array<uint8_t, ExtVpdCapacity> raw{};
    uint32_t length = ExtVpdCapacity;
    if (adpm.AdpmGetExtVPD(handle, raw.data(), &length) != AdpmSuccess || length < 4)
        return std::nullopt;
    const std::size_t bytes = std::min<std::size_t>(length, ExtVpdCapacity) - 4;
    VpdBuffer image((bytes + 3) / 4, 0);
    std::memcpy(image.data(), raw.data() + 4, bytes);
    return image;
}

// False when the extended VPD must be there and could not be read: the
// family version must not be written over what cannot be read.
bool read_vpd(const AdpmApi& adpm, const AdapterRecord& r, VpdImage& vpd) {
    if (r.extVpd == 0) {
        vpd.words = read_nvram_vpd(adpm, r.handle, VpdNvramOffset);
        return true;
    }
    vpd.extended = true;
    vpd.words = read_extended_vpd(adpm, r.handle);
    return vpd.words.has_value();
}

void update_external_phy(Engine& engine, AdapterRecord& r, const ToolStep& phy,
                         int32_t& failedCode) {
    if (run_tool_step(engine, r, phy).result != ToolSuccess)
        fail_record(r, failedCode, ResultCode::PhyFailed);
}

FamilyWriter family_writer(const RunContext& run) {
    return {run.tools, run.directory, run.vpdDiagnostics};
}

int write_family_version(const RunContext& run, const AdapterRecord& r, const ConfigEntry& e,
                         VpdImage& vpd) {
    // A VPD that could not be read cannot be rewritten.
    if (!vpd.words) return FamilyNotWritten;
    if (vpd.extended)
        return family_writer(run).write_from_template(r.macText, r.adapterType,
                                                      field_text(e.family), e.vpdFile, run.force);
    return write_nvram_family_version(run.adpm, *vpd.words, r.handle, VpdNvramOffset,
                                      field_text(e.family));
}

// The steps decided beforehand that the family version cannot be written:
// it is not tried, and the writer's diagnostic says so all the same.
int family_step(const RunContext& run, const AdapterRecord& r, const ConfigEntry& e,
                const UpdateSteps& steps, VpdImage& vpd) {
    if (steps.familyNotWrittenWhy.empty()) return write_family_version(run, r, e, vpd);
    return family_writer(run).not_written();
}

void update_family_version(Engine& engine, AdapterRecord& r, const ConfigEntry& e,
                           const UpdateSteps& steps, VpdImage& vpd) {
    if (r.function == 0)
        engine.familyResult = shown_step(engine, r, "family version",
                                         field_text(r.familyVersionText), field_text(e.family),
                                         [&] { return family_step(engine.run, r, e, steps, vpd); });
    const int32_t result = engine.familyResult;
    if (result == ToolSuccess) return;
    const bool toolOutcome = result == ToolWriteProtect || result == ToolDriverNotSupported;
    r.status = toolOutcome ? static_cast<uint32_t>(result) : code_of(ResultCode::FamilyWriteFailed);
}

// An adapter whose backup an earlier run had to keep may hold a spoilt NVRAM;
// only a person can tell, so none of its functions touches it until the file
// is gone. The others report function 0's status in the last pass.
bool left_for_a_person(const Engine& engine, AdapterRecord& r) {
    // The backup an earlier run left is kept under its owner's MAC by now.
    const std::string kept =
        kept_backup_of_adapter(engine.function0s, r, engine.keptBackups, std::nullopt);
    if (kept.empty()) return false;
    if (r.function != 0) return true;
    say_left_alone(r, kept);
    r.status = code_of(ResultCode::RestoreFailed);
    return true;
}

// Without a backup no adapter may be programmed, and none is left
// half-done: the run ends.
RecordEnd abandon_without_backup(const AdapterRecord& r, const std::string& why) {
    std::fprintf(stderr, "qik_programmer: %s: %s; the run ends\n",
                 printable(field_text(r.serviceName)).c_str(), why.c_str());
    return RecordEnd::Abandon;
}

RecordEnd update_record(Engine& engine, AdapterRecord& r) {
    const ConfigEntry& e = *r.config;
    if (left_for_a_person(engine, r)) return RecordEnd::Next;
    const UpdateSteps steps = update_steps(engine.run.directory, r, engine.run.force);
    if (steps.probe && engine.run.tools.probe(r.macText) == ToolExitDriverNotSupported) {
        r.status = code_of(ResultCode::DriverNotSupported);
        return RecordEnd::Next;
    }
    if (steps.leftAloneAfterProbe) {
        r.status = code_of(*steps.leftAloneAfterProbe);
        return RecordEnd::Next;
    }
    VpdImage vpd;
    if (!read_vpd(engine.run.adpm, r, vpd)) {
        r.status = code_of(ResultCode::FamilyWriteFailed);
        return RecordEnd::Next;
    }
    if (!steps.noBackupWhy.empty()) return abandon_without_backup(r, steps.noBackupWhy);
    int32_t failedCode = 0;
    if (steps.programming &&
        backup_and_program(engine, r, steps.writes, failedCode) == RecordEnd::Abandon)
        return RecordEnd::Abandon;
    if (failedCode == 0 && steps.phy) update_external_phy(engine, r, *steps.phy, failedCode);
    if (failedCode == 0) update_family_version(engine, r, e, steps, vpd);
    return RecordEnd::Next;
}

// Functions of one adapter share one NVRAM, so each reports what function 0
// got (shared_status); one whose firmware could not be read keeps saying
// so, never success, and one the run did not reach says that. Function 0 is
// looked up by location, so the pass costs the same per function however
// many the server has.
void share_function0_status(const Engine& engine, std::span<AdapterRecord> records) {
    for (AdapterRecord& r : records) {
        if (r.function == 0 || r.status == code_of(ResultCode::AdapterListFailed) ||
            r.status == code_of(ResultCode::UpdateIncomplete))
            continue;
        if (const AdapterRecord* function0 = engine.function0s.of(r))
            r.status = shared_status(r.status, function0->status);
    }
}

// How the adapter's function 0 ended, once handled.
std::optional<uint32_t> function0_status(const Engine& engine, const AdapterRecord& r) {
    const auto ended = engine.function0Ended.find(location_of(r));
    if (ended == engine.function0Ended.end()) return std::nullopt;
    return ended->second;
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

int run_updates(const RunContext& run, std::span<AdapterRecord> records) {
    Engine engine(run, records);
    keep_leftover_backup(run.directory);
    engine.keptBackups = kept_backups(run.directory);
    bool toldStop = false;
    for (AdapterRecord& r : records) {
        if (r.config == nullptr) continue;
        if (!left_alone_before_steps(r, function0_status(engine, r))) {
            if (run.stopRequested != 0) {
                mark_not_reached(r, toldStop);
                continue;
            }
            if (update_record(engine, r) == RecordEnd::Abandon) return RunAbandoned;
        }
        if (r.function == 0) engine.function0Ended[location_of(r)] = r.status;
    }
    share_function0_status(engine, records);
    return engine.lastResult;
}
