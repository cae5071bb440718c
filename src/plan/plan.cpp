#include "plan/plan.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

#include "adapter/ext_phy_record.h"
#include "adapter/function0_rules.h"
#include "adapter/inventory.h"
#include "adpm/adpm.h"
#include "common/result_code.h"
#include "common/text.h"
#include "engine/ext_vpd_family.h"
#include "engine/nvram_backup.h"
#include "engine/update_steps.h"
#include "vpd/vpd.h"

namespace {

// How an adapter's function 0 would end, where the plan can tell it does
// not end well: the code, what a person reads, and whether it fails (else
// it is left alone).
struct Function0End {
    uint32_t code;
    std::string why;
    bool fails;
};

// What the plan needs beside the records: the table, the options, and what
// earlier runs left in the working directory.
struct Context {
    const ConfigList& config;
    std::string_view skip;
    bool force;
    std::vector<std::string> keptBackups;
    std::optional<std::string> leftoverOwner;
    Function0s function0s;
    // How each adapter's function 0 would end, once planned.
    std::map<AdapterLocation, Function0End> function0Ends;
    // Where the run would end, once a function is planned that ends it.
    std::optional<WholeRunEnd> runEnd;
};

AdapterIdentity ids_of(const AdapterRecord& r) {
    return {r.vendorId, r.deviceId, r.subVendorId, r.subDeviceId, field_text(r.chipRevText)};
}

std::string ids_text(const AdapterRecord& r) {
    return pci_id_text(r.vendorId) + " " + pci_id_text(r.deviceId) + " " +
           pci_id_text(r.subVendorId) + " " + pci_id_text(r.subDeviceId);
}

std::size_t entry_number(const ConfigList& config, const ConfigEntry* wanted) {
    std::size_t number = 1;
    for (const ConfigEntry* e = config.head(); e != nullptr && e != wanted; e = e->next.get())
        ++number;
    return number;
}

bool matches_some_record(const ConfigEntry& e, const std::vector<AdapterRecord>& records) {
    return std::any_of(records.begin(), records.end(), [&](const AdapterRecord& r) {
        return names_ids_of(e, ids_of(r)) && field_text(e.crv) == field_text(r.chipRevText);
    });
}

// A row for an adapter the server does not have is often a typing mistake
// in one of its IDs.
std::vector<UnmatchedRow> unmatched_rows(const ConfigList& config,
                                         const std::vector<AdapterRecord>& records) {
    std::vector<UnmatchedRow> rows;
    std::size_t number = 0;
    for (const ConfigEntry* e = config.head(); e != nullptr; e = e->next.get())
        if (++number; !matches_some_record(*e, records))
            rows.push_back({number, e->line,
                            pci_id_text(e->ven) + " " + pci_id_text(e->device) + " " +
                                pci_id_text(e->subven) + " " + pci_id_text(e->subdev),
                            std::string(field_text(e->crv))});
    return rows;
}

// Why no row matches: the rows for the same IDs name other chip revisions,
// or none has the IDs.
std::string why_no_row(const AdapterRecord& r, const ConfigList& config) {
    std::string revisions;
    for (const ConfigEntry* e = config.head(); e != nullptr; e = e->next.get())
        if (names_ids_of(*e, ids_of(r)))
            revisions += (revisions.empty() ? "" : ", ") + std::string(field_text(e->crv)) + " (" +
                         row_name(e->line) + ")";
    const std::string adapter = ids_text(r) + " revision " + std::string(field_text(r.chipRevText));
    if (revisions.empty()) return "matches no table row: no row has the IDs of " + adapter;
    return "matches no table row: the rows for " + ids_text(r) + " name chip revision " +
           revisions + ", the adapter has " + std::string(field_text(r.chipRevText));
}

bool readable(const AdapterRecord* r) {
    return r != nullptr && r->wasEnabled != 0 && r->config != nullptr &&
           r->status != code_of(ResultCode::AdapterListFailed);
}

// Fills in what a disabled function's own calls do not give; false, with
// the reason, when the plan cannot tell what the run would do with it.
bool read_disabled(const Context& ctx, AdapterRecord& r, FunctionPlan& plan) {
    plan.enabled = false;
    if (field_text(r.macText).empty()) {
        plan.why =
            "disabled: the run enables it first; until then the library does not say "
            "what it is";
        return false;
    }
    if (r.config == nullptr || r.status != code_of(ResultCode::AdapterListFailed)) return true;
    // Passed over, it is left as it is whatever its firmware.
    if (r.function != 0 && ctx.function0s.why_passed_over(r, ctx.skip) != nullptr) return true;
    const AdapterRecord* function0 = ctx.function0s.of(r);
    if (r.function == 0 || !readable(function0)) {
        plan.why = "disabled: the run enables it first; until then its firmware cannot be read";
        return false;
    }
    read_through_function0(r, *function0);
    plan.readThrough = "function 0 (" + std::string(field_text(function0->serviceName)) +
                       "), whose firmware it shares";
    return true;
}

// A disabled function the library says nothing of until it is enabled:
// the run enables it, and then passes it over as any other function
// whose function 0 takes no part; so does the plan, without enabling it.
bool passed_over_unread(const Context& ctx, const AdapterRecord& r, FunctionPlan& plan) {
    if (r.function == 0 || !field_text(r.macText).empty()) return false;
    const char* why = ctx.function0s.why_passed_over(r, ctx.skip);
    if (why == nullptr) return false;
    plan.enabled = false;
    plan.why = std::string("takes no part: ") + why;
    return true;
}

std::optional<uint32_t> function0_status(const Context& ctx, const AdapterRecord& r) {
    const auto ended = ctx.function0Ends.find(location_of(r));
    if (ended == ctx.function0Ends.end()) return std::nullopt;
    return ended->second.code;
}

// Why the run would not report the function at all; empty when it would.
std::string why_not_reported(const Context& ctx, const AdapterRecord& r) {
    if (r.adapterType != AdapterTypeHandled) return "another adapter type";
    if (r.selected == 0)
        return field_text(r.serviceName).empty() ? "no service name, so skipped"
                                                 : "skipped (-skip)";
    if (r.config == nullptr) return why_no_row(r, ctx.config);
    if (r.function != 0)
        if (const char* why = ctx.function0s.why_passed_over(r, ctx.skip))
            return std::string("takes no part: ") + why;
    return {};
}

std::string result_text(ResultCode code) {
    return "(result " + std::to_string(code_of(code)) + ")";
}

void leave_alone(FunctionPlan& plan, ResultCode code, std::string why) {
    plan.reportedCode = code;
    plan.why = std::move(why);
}

// A function after its function 0 reports how that ended: a failure too.
void leave_alone(FunctionPlan& plan, const LeftAlone& alone, const Function0End& function0) {
    leave_alone(plan, alone.code, function0.why + ", so it runs no step of its own");
    if (function0.fails) plan.outcome = PlanOutcome::WouldFail;
}

// Whether the run would report the function without running a step of its
// own, and why.
bool left_alone(const Context& ctx, const AdapterRecord& r, FunctionPlan& plan) {
    const std::optional<LeftAlone> alone = left_alone_before_steps(r, function0_status(ctx, r));
    if (alone && !alone->byFunction0) {
        leave_alone(plan, alone->code,
                    "its firmware information cannot be read " + result_text(alone->code));
        return true;
    }
    const std::string kept =
        kept_backup_of_adapter(ctx.function0s, r, ctx.keptBackups, ctx.leftoverOwner);
    const ResultCode keptCode = ResultCode::RestoreFailed;
    if (r.function != 0 && !kept.empty())
        leave_alone(plan, keptCode,
                    "its adapter's NVRAM backup is kept in " + kept + " " + result_text(keptCode) +
                        ", so it runs no step of its own");
    else if (alone)
        leave_alone(plan, *alone, ctx.function0Ends.at(location_of(r)));
    else if (!kept.empty())
        leave_alone(plan, keptCode,
                    "its NVRAM backup is kept in " + kept + " " + result_text(keptCode) +
                        ": a person restores it, or deletes it once the adapter is known good");
    return plan.reportedCode.has_value();  // set by nothing but leave_alone yet
}

PlannedStep planned(const ToolStep& s, std::string note = {}) {
    if (!s.command)
        note = "the command does not fit its 256-byte buffer: the run fails here (result 9)";
    return {s.name, s.command.value_or(""), std::move(note)};
}

void plan_probe(const UpdateSteps& steps, FunctionPlan& plan) {
    plan.steps.push_back(planned(*steps.probe,
                                 "runs first, and not here: an answer of 40 (driver not "
                                 "supported) leaves the adapter alone (result 18)"));
}

// Function 0's steps before the PHY: the probe, and the backup and writes.
void plan_programming(const UpdateSteps& steps, FunctionPlan& plan) {
    plan_probe(steps, plan);
    if (!steps.programming) {
        plan.notRun.push_back({"back up and program", steps.notProgrammedWhy});
        return;
    }
    plan.steps.push_back(planned(
        *steps.backup, "after the adapter's MAC is noted in " + std::string(BuImageMacName)));
    for (const ToolStep& write : steps.writes) plan.steps.push_back(planned(write));
    plan.onFailedWrite = planned(*steps.restore).command;
}

void plan_family(const AdapterRecord& r, const UpdateSteps& steps, FunctionPlan& plan) {
    const ConfigEntry& e = *r.config;
    plan.family = ComponentPlan{"family version",
                                std::string(field_text(r.familyVersionText)),
                                std::string(field_text(e.family)),
                                {}};
    switch (steps.family) {
        case FamilyRoute::TakenFromFunction0:
            plan.family->action = "written through function 0";
            plan.notRun.push_back({"family version",
                                   "function 0 writes it; this function "
                                   "reports its outcome"});
            return;
        case FamilyRoute::NvramVpd:
            plan.steps.push_back(
                {"family version", {}, "written through the library into the VPD at NVRAM 0x100"});
            break;
        case FamilyRoute::VpdTemplate:
            if (!steps.familyNotWrittenWhy.empty()) {
                plan.family->action = "not written: " + steps.familyNotWrittenWhy + " (result 13)";
                plan.notRun.push_back({"family version", plan.family->action});
                return;
            }
            plan.steps.push_back(
                planned(*steps.familyWrite, std::string(VpdUpdateFileName) + " made from " +
                                                std::string(field_text(e.vpdFile))));
            break;
    }
    plan.family->action = steps.familyCurrent ? "current" : "update";
    if (steps.familyLowered)
        plan.warning = "the table's family version " + plan.family->target +
                       " is lower than the installed " + plan.family->installed +
                       ": the run writes the lower version, and the next run, finding it "
                       "current, backs up the adapter and programs every component older than "
                       "the table's";
}

// Where a component's column stands among the table's: two plans of an
// adapter list its components alike, whatever each would write.
std::size_t table_place(const ComponentPlan& c) {
    const auto found =
        std::ranges::find_if(Components, [&](const Component& t) { return c.name == t.title; });
    return static_cast<std::size_t>(found - std::ranges::begin(Components));
}

// No backup can be made: the run ends at this function, after its probe and
// before anything is written to it.
void plan_run_end(Context& ctx, const AdapterRecord& r, const UpdateSteps& steps,
                  FunctionPlan& plan) {
    plan_probe(steps, plan);
    plan.why = steps.noBackupWhy + ": the run ends here, before the backup (result 4)";
    ctx.runEnd = WholeRunEnd{code_of(ResultCode::OutputUnopenable),
                             printable(field_text(r.serviceName)) + ": " + steps.noBackupWhy};
}

// The run takes the steps up to the failing one, and the function reports
// its failure; so does every other function of the adapter.
void plan_failure(Context& ctx, const AdapterRecord& r, const FailingStep& failing,
                  FunctionPlan& plan) {
    plan.outcome = PlanOutcome::WouldFail;
    plan.reportedCode = failing.code;
    plan.why = failing.step + ": " + failing.why + " " + result_text(failing.code);
    ctx.function0Ends[location_of(r)] = {code_of(failing.code),
                                         "its function 0 would fail at " + plan.why, true};
}

void plan_steps(Context& ctx, AdapterRecord& r, FunctionPlan& plan) {
    const UpdateSteps steps = update_steps(process_working_directory(), r, ctx.force);
    if (const std::optional<ResultCode> alone = steps.leftAloneAfterProbe) {
        if (steps.probe) plan_probe(steps, plan);
        leave_alone(plan, *alone, "its extended VPD cannot be read " + result_text(*alone));
        return;
    }
    if (!steps.noBackupWhy.empty()) {
        plan_run_end(ctx, r, steps, plan);
        return;
    }
    plan.row = entry_number(ctx.config, r.config);
    plan.line = r.config->line;
    // The other functions share function 0's components, which it shows.
    if (steps.probe) {
        for (const ToolStep& write : steps.writes)
            if (write.component)
                plan.components.push_back({write.name, write.from, write.to, "update"});
        for (const ComponentLeft& left : steps.left)
            plan.components.push_back({left.name, left.from, left.to, left.why});
        std::ranges::stable_sort(plan.components, {}, table_place);
    }
    if (steps.probe)
        plan_programming(steps, plan);
    else
        plan.notRun.push_back({"back up and program", steps.notProgrammedWhy});
    if (steps.phy)
        plan.steps.push_back(planned(*steps.phy));
    else
        plan.notRun.push_back({"external PHY", steps.noPhyWhy});
    plan_family(r, steps, plan);
    if (steps.failing) {
        plan_failure(ctx, r, *steps.failing, plan);
        return;
    }
    const bool writesComponents =
        std::any_of(plan.components.begin(), plan.components.end(),
                    [](const ComponentPlan& c) { return c.action == "update"; });
    const bool changes = writesComponents || steps.phy.has_value() ||
                         (plan.family && plan.family->action == "update");
    plan.outcome = changes ? PlanOutcome::Update : PlanOutcome::Current;
}

FunctionPlan plan_function(Context& ctx, AdapterRecord& r) {
    FunctionPlan plan;
    plan.record = &r;
    if (ctx.runEnd) {
        plan.why = "the run ends before it reaches this function";
        return plan;
    }
    const bool disabled =
        r.adapterType == AdapterTypeHandled && r.selected != 0 && r.wasEnabled == 0;
    if (disabled && passed_over_unread(ctx, r, plan)) return plan;
    if (disabled && !read_disabled(ctx, r, plan)) {
        plan.outcome = PlanOutcome::Unknown;
        plan.reported = r.config != nullptr;
        return plan;
    }
    plan.why = why_not_reported(ctx, r);
    if (!plan.why.empty()) return plan;
    plan.reported = true;
    if (!left_alone(ctx, r, plan)) plan_steps(ctx, r, plan);
    return plan;
}

// The other functions of an adapter share its update: one whose function 0
// changes the firmware is updated with it.
void share_function0_outcome(std::vector<FunctionPlan>& functions) {
    std::map<AdapterLocation, PlanOutcome> function0;
    for (const FunctionPlan& f : functions)
        if (f.record->function == 0) function0[location_of(*f.record)] = f.outcome;
    for (FunctionPlan& f : functions) {
        const auto found = function0.find(location_of(*f.record));
        if (f.record->function != 0 && f.outcome == PlanOutcome::Current &&
            found != function0.end() && found->second == PlanOutcome::Update) {
            f.outcome = PlanOutcome::Update;
            f.withFunction0 = true;
        }
    }
}

}  // namespace

void plan_functions(Plan& plan, const ConfigList& config) {
    Context ctx{config,
                plan.skip,
                plan.force,
                kept_backups(process_working_directory()),
                leftover_backup_owner(process_working_directory()),
                Function0s(plan.records),
                {},
                {}};
    for (AdapterRecord& r : plan.records) {
        plan.functions.push_back(plan_function(ctx, r));
        if (const std::optional<ResultCode> alone = plan.functions.back().reportedCode;
            r.function == 0 && alone)
            ctx.function0Ends.try_emplace(
                location_of(r),
                Function0End{code_of(*alone), "its function 0 is left alone", false});
    }
    share_function0_outcome(plan.functions);
    plan.unmatchedRows = unmatched_rows(config, plan.records);
    if (ctx.runEnd) {
        // The document then holds the whole-run error form alone.
        for (FunctionPlan& f : plan.functions) f.reported = false;
        plan.end = ctx.runEnd;
        return;
    }
    const bool reports = std::any_of(
        plan.functions.begin(), plan.functions.end(),
        [](const FunctionPlan& f) { return f.reported || f.outcome == PlanOutcome::Unknown; });
    if (!reports)
        plan.end = WholeRunEnd{code_of(ResultCode::NoSupportedDevices),
                               "no adapter function matches a table row and takes part"};
}

const char* outcome_name(PlanOutcome outcome) {
    switch (outcome) {
        case PlanOutcome::Update:
            return "update";
        case PlanOutcome::Current:
            return "current";
        case PlanOutcome::Unknown:
            return "unknown";
        case PlanOutcome::WouldFail:
            return "would fail";
        case PlanOutcome::LeftAlone:
            break;
    }
    return "left alone";
}
