#include "plan/plan_verify.h"

#include <algorithm>

#include "adapter/ext_phy_record.h"
#include "adapter/function0_rules.h"
#include "common/text.h"
#include "config/config.h"
#include "plan/json.h"
#include "plan/plan.h"

namespace {

bool reports(const FunctionPlan& f, const ReportedDevice& d) {
    const AdapterRecord& r = *f.record;
    return r.bus == d.bus && r.device == d.device && r.function == d.function &&
           r.vendorId == d.vendorId && r.deviceId == d.deviceId && r.subVendorId == d.subVendorId &&
           r.subDeviceId == d.subDeviceId;
}

const FunctionPlan* plan_of_device(const Plan& plan, const ReportedDevice& d) {
    const auto found = std::find_if(plan.functions.begin(), plan.functions.end(),
                                    [&](const FunctionPlan& f) { return reports(f, d); });
    return found == plan.functions.end() ? nullptr : &*found;
}

// The plan of the function 0 whose writes the function shares.
const FunctionPlan& function0_plan(const Plan& plan, const FunctionPlan& f) {
    const auto found =
        std::find_if(plan.functions.begin(), plan.functions.end(), [&](const FunctionPlan& other) {
            return other.record->function == 0 &&
                   location_of(*other.record) == location_of(*f.record);
        });
    return found == plan.functions.end() ? f : *found;
}

// The table's column and the image the run was given, for a component the
// plan names by its title.
VerifyMiss component_miss(const ConfigEntry& entry, const ComponentPlan& c) {
    const auto column = std::find_if(std::begin(Components), std::end(Components),
                                     [&](const Component& t) { return c.name == t.title; });
    if (column == std::end(Components)) return {c.name, c.installed, c.target, {}};
    return {column->column, c.installed, c.target, std::string(field_text(entry.*column->file))};
}

// What the plan would still change: the function's own external PHY, and
// the firmware and family version its function 0 writes for the adapter.
std::vector<VerifyMiss> misses_of(const Plan& plan, const FunctionPlan& f) {
    std::vector<VerifyMiss> misses;
    const FunctionPlan& f0 = function0_plan(plan, f);
    if (f0.record->config != nullptr)
        for (const ComponentPlan& c : f0.components)
            if (c.action == "update") misses.push_back(component_miss(*f0.record->config, c));
    const ExtPhyFirmware* phy = f.record->extPhy.get();
    const bool phyDue = std::any_of(f.steps.begin(), f.steps.end(),
                                    [](const PlannedStep& s) { return s.step == "external PHY"; });
    if (phyDue && phy != nullptr)
        misses.push_back({"extphy", std::string(field_text(phy->currentVersion)),
                          std::string(field_text(phy->targetVersion)),
                          std::string(field_text(phy->fileName))});
    if (f0.family && f0.family->action == "update")
        misses.push_back({"family", f0.family->installed, f0.family->target, {}});
    return misses;
}

FunctionVerification verify_device(const Plan& plan, const ReportedDevice& d) {
    FunctionVerification v;
    const FunctionPlan* f = plan_of_device(plan, d);
    if (f == nullptr) {
        AdapterRecord location{};
        location.bus = d.bus;
        location.device = d.device;
        location.function = d.function;
        v.address = function_address(location);
        v.why = "the adapters list no function with its IDs at its location";
        return v;
    }
    v.service = std::string(field_text(f->record->serviceName));
    v.address = function_address(*f->record);
    switch (f->outcome) {
        case PlanOutcome::Current:
            v.verified = true;
            break;
        case PlanOutcome::Update:
        case PlanOutcome::WouldFail:
            v.misses = misses_of(plan, *f);
            if (v.misses.empty()) v.why = "the plan would still update it";
            break;
        case PlanOutcome::LeftAlone:
        case PlanOutcome::Unknown:
            v.why = "cannot be checked: " + f->why;
            break;
    }
    return v;
}

std::string name_of(const FunctionVerification& v) {
    return printable(v.service.empty() ? v.address : v.service);
}

std::string miss_line(const FunctionVerification& v, const VerifyMiss& m) {
    return name_of(v) + " " + m.component + ": " +
           printable(m.installed.empty() ? "nothing" : m.installed) +
           " installed after the run, the table asks " + printable(m.target) +
           (m.image.empty() ? "" : " (" + printable(m.image) + ")");
}

std::string function_line(const FunctionVerification& v) {
    std::string out = name_of(v) + "  " + v.address + "  " +
                      (v.verified ? "verified" : "not verified") +
                      (v.why.empty() ? "" : ": " + printable(v.why)) + "\n";
    for (const VerifyMiss& m : v.misses) out += "  " + miss_line(v, m) + "\n";
    return out;
}

std::string summary_line(const Verification& verification) {
    std::size_t verified = 0;
    std::string notVerified;
    for (const FunctionVerification& v : verification.functions) {
        if (v.verified)
            ++verified;
        else
            notVerified += (notVerified.empty() ? "" : ", ") + name_of(v);
    }
    return "qik_plan: " + std::to_string(verified) + " of " +
           std::to_string(verification.functions.size()) +
           " functions reported as updated are verified" +
           (notVerified.empty() ? "" : "; not verified: " + notVerified) + "\n";
}

std::string miss_json(const VerifyMiss& m) {
    return JsonObject{}
        .add("component", json_text(m.component))
        .add("installed", json_text(m.installed))
        .add("target", json_text(m.target))
        .add("image", json_text_or_null(m.image))
        .text();
}

std::string function_json(const FunctionVerification& v) {
    return JsonObject{}
        .add("service", json_text_or_null(v.service))
        .add("address", json_text(v.address))
        .add("verified", v.verified ? "true" : "false")
        .add("why", json_text_or_null(v.why))
        .add("misses", json_array(v.misses, miss_json))
        .text();
}

}  // namespace

bool Verification::all_verified() const {
    return std::all_of(functions.begin(), functions.end(),
                       [](const FunctionVerification& v) { return v.verified; });
}

Verification verify_reported(const Plan& plan, const ResultDocument& document,
                             std::string resultFile) {
    Verification verification{std::move(resultFile), {}};
    for (const ReportedDevice& d : document.devices)
        if (d.code == 0) verification.functions.push_back(verify_device(plan, d));
    return verification;
}

std::string verification_text(const Verification& verification) {
    const std::string file = printable(verification.resultFile);
    std::string out = "qik_plan: checking what " + file +
                      " reports as updated against the adapters as they read now; nothing is "
                      "changed\n";
    if (verification.functions.empty())
        return out + "qik_plan: " + file + " reports no function as updated: nothing to verify\n";
    for (const FunctionVerification& v : verification.functions) out += function_line(v);
    return out + summary_line(verification);
}

std::string verification_json(const std::optional<Verification>& verification) {
    if (!verification) return "null";
    return JsonObject{}
        .add("resultFile", json_text(verification->resultFile))
        .add("allVerified", verification->all_verified() ? "true" : "false")
        .add("functions", json_array(verification->functions, function_json))
        .text();
}
