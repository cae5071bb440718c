// The plan as a person reads it and as one JSON document
// (docs/schema/plan.schema.json).
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "adapter/function0_rules.h"
#include "common/result_code.h"
#include "common/text.h"
#include "plan/json.h"
#include "plan/plan.h"
#include "plan/plan_diff.h"

namespace {

// ---- for a person --------------------------------------------------------

std::string mac_or_dash(const AdapterRecord& r) {
    const std::string_view mac = field_text(r.macText);
    return mac.empty() ? "-" : std::string(mac);
}

std::string component_line(const ComponentPlan& c) {
    return "  " + c.name + " " + printable(c.installed.empty() ? "(none)" : c.installed) + " -> " +
           printable(c.target) + ": " + printable(c.action) + "\n";
}

std::string step_line(int number, const PlannedStep& s) {
    std::string out = "    " + std::to_string(number) + ". " + s.step + ": ";
    if (s.command.empty()) return out + printable(s.note) + "\n";
    out += printable(s.command) + "\n";
    if (!s.note.empty()) out += "       " + printable(s.note) + "\n";
    return out;
}

std::string steps_text(const FunctionPlan& f) {
    std::string out = f.steps.empty() ? "" : "  steps:\n";
    int number = 0;
    for (const PlannedStep& s : f.steps) out += step_line(++number, s);
    if (!f.onFailedWrite.empty())
        out += "  if a write fails: " + printable(f.onFailedWrite) +
               ", and no later step of the adapter runs\n";
    for (const StepNotRun& n : f.notRun)
        out += "  not run: " + n.step + " (" + printable(n.why) + ")\n";
    return out;
}

std::string function_text(const FunctionPlan& f) {
    const AdapterRecord& r = *f.record;
    std::string out = printable(field_text(r.serviceName)) + "  " + function_address(r) + "  " +
                      mac_or_dash(r) + "  " + printable(field_text(r.description)) + "\n";
    if (!f.enabled)
        out += "  disabled: the run enables it first, the plan does not" +
               (f.readThrough.empty() ? std::string()
                                      : "; firmware read through " + printable(f.readThrough)) +
               "\n";
    const std::string outcome = (f.withFunction0 ? std::string("updated with function 0")
                                                 : std::string(outcome_name(f.outcome))) +
                                (f.why.empty() ? "" : ": " + printable(f.why)) + "\n";
    // Only a function that takes steps of its own has a row to show.
    if (f.row == 0) return out + "  " + outcome;
    out += "  table row " + row_name(f.line) + "\n";
    if (f.family) out += component_line(*f.family);
    for (const ComponentPlan& c : f.components) out += component_line(c);
    if (!f.warning.empty()) out += "  warning: " + printable(f.warning) + "\n";
    return out + steps_text(f) + "  outcome: " + outcome;
}

struct Counts {
    std::size_t update = 0, current = 0, leftAlone = 0, unknown = 0, wouldFail = 0;
    std::string leftAloneWhy, unknownWhy, wouldFailWhy;
};

void count(std::size_t& n, std::string& whys, const std::string& why) {
    ++n;
    whys += (whys.empty() ? "" : "; ") + why;
}

Counts counts_of(const Plan& plan) {
    Counts c;
    for (const FunctionPlan& f : plan.functions) {
        const std::string line = std::string(field_text(f.record->serviceName)) + ": " + f.why;
        switch (f.outcome) {
            case PlanOutcome::Update:
                ++c.update;
                break;
            case PlanOutcome::Current:
                ++c.current;
                break;
            case PlanOutcome::LeftAlone:
                count(c.leftAlone, c.leftAloneWhy, line);
                break;
            case PlanOutcome::Unknown:
                count(c.unknown, c.unknownWhy, line);
                break;
            case PlanOutcome::WouldFail:
                count(c.wouldFail, c.wouldFailWhy, line);
                break;
        }
    }
    return c;
}

// Whether the run would update some function before it ends.
bool any_updated(const Plan& plan) {
    return std::any_of(plan.functions.begin(), plan.functions.end(),
                       [](const FunctionPlan& f) { return f.outcome == PlanOutcome::Update; });
}

std::string summary_text(const Counts& c) {
    std::string out = "qik_plan: " + count_noun(c.update, "function", "functions") +
                      " would be updated, " + std::to_string(c.current) + " current, " +
                      std::to_string(c.leftAlone) + " left alone";
    if (c.leftAlone != 0) out += " (" + printable(c.leftAloneWhy) + ")";
    if (c.unknown != 0)
        out += ", " + std::to_string(c.unknown) + " unknown (" + printable(c.unknownWhy) + ")";
    if (c.wouldFail != 0)
        out +=
            ", " + std::to_string(c.wouldFail) + " would fail (" + printable(c.wouldFailWhy) + ")";
    return out + "\n";
}

std::string unmatched_rows_text(const std::vector<UnmatchedRow>& rows) {
    if (rows.empty()) return {};
    std::string out = "Table rows that match no adapter function of this server:\n";
    for (const UnmatchedRow& u : rows)
        out += "  " + row_name(u.line) + ": " + u.ids + " revision " + printable(u.chipRevision) +
               "\n";
    return out;
}

// What the result document's RebootRequired will say: 1 after every
// completed run, changed or not, unless the probe answers "driver not
// supported" for some adapter; 0 in the whole-run error form.
std::string reboot_text(const Plan& plan, const Counts& c) {
    if (plan.end)
        return "qik_plan: reboot: the result document says RebootRequired 0 (the run ends with "
               "a whole-run result)\n";
    return std::string("qik_plan: reboot: the result document says RebootRequired 1 (after ") +
           "every completed run, unless a probe finds the driver not supported, result 18); " +
           (c.update != 0 ? "the new firmware takes effect after it"
                          : "no firmware changes, so it changes nothing") +
           "\n";
}

// ---- JSON ------------------------------------------------------------------

std::string component_json(const ComponentPlan& c) {
    return JsonObject{}
        .add("name", json_text(c.name))
        .add("installed", json_text(c.installed))
        .add("target", json_text(c.target))
        .add("action", json_text(c.action))
        .text();
}

std::string function_json(const FunctionPlan& f) {
    const AdapterRecord& r = *f.record;
    JsonObject o;
    o.add("service", json_text(field_text(r.serviceName)))
        .add("bus", std::to_string(r.bus))
        .add("device", std::to_string(r.device))
        .add("function", std::to_string(r.function))
        .add("mac", json_text_or_null(field_text(r.macText)))
        .add("description", json_text(field_text(r.description)))
        .add("enabled", f.enabled ? "true" : "false")
        .add("reported", f.reported ? "true" : "false")
        .add("outcome", json_text(outcome_name(f.outcome)))
        .add("withFunction0", f.withFunction0 ? "true" : "false")
        .add("why", json_text_or_null(f.why))
        .add("readThrough", json_text_or_null(f.readThrough))
        .add("row", f.row == 0 ? "null" : std::to_string(f.row))
        .add("line", f.row == 0 ? "null" : std::to_string(f.line))
        .add("family", f.family ? component_json(*f.family) : "null")
        .add("warning", json_text_or_null(f.warning))
        .add("components", json_array(f.components, component_json))
        .add("steps", json_array(f.steps,
                                 [](const PlannedStep& s) {
                                     return JsonObject{}
                                         .add("step", json_text(s.step))
                                         .add("command", json_text_or_null(s.command))
                                         .add("note", json_text_or_null(s.note))
                                         .text();
                                 }))
        .add("onFailedWrite", json_text_or_null(f.onFailedWrite))
        .add("notRun", json_array(f.notRun, [](const StepNotRun& n) {
                 return JsonObject{}
                     .add("step", json_text(n.step))
                     .add("why", json_text(n.why))
                     .text();
             }));
    return o.text();
}

std::string end_json(const std::optional<WholeRunEnd>& end) {
    if (!end) return "null";
    return JsonObject{}
        .add("code", std::to_string(end->code))
        .add("message", json_text(messages[end->code]))
        .add("detail", json_text_or_null(end->detail))
        .text();
}

std::string made_from_json(const MadeFrom& m) {
    return JsonObject{}
        .add("table", json_text(m.table))
        .add("tableSha256", m.tableSha256 ? json_text(*m.tableSha256) : "null")
        .add("libraryVersion", m.libraryVersion ? json_text(*m.libraryVersion) : "null")
        .text();
}

std::string made_from_text(const MadeFrom& m) {
    return "qik_plan: made from " + m.table + " (sha256 " +
           (m.tableSha256 ? *m.tableSha256 : std::string("unknown: not read")) + ") and library " +
           (m.libraryVersion ? *m.libraryVersion : std::string("unknown: not loaded")) + "\n";
}

}  // namespace

std::string plan_text(const Plan& plan) {
    std::string out =
        "qik_plan: what ./qik_programmer would do here; nothing is changed and no tool command "
        "is run\n" +
        made_from_text(plan.madeFrom);
    if (plan.end)
        out += std::string("qik_plan: the run would end ") +
               (any_updated(plan) ? "after updating the functions marked update below"
                                  : "before updating any adapter") +
               ": " + std::string(messages[plan.end->code]) + " (result " +
               std::to_string(plan.end->code) + ")\n" +
               (plan.end->detail.empty() ? "" : "  " + printable(plan.end->detail) + "\n");
    // No adapter was listed when the run would end before its inventory.
    if (plan.functions.empty() && plan.end) return out;
    out +=
        "The run probes each adapter's function 0 (\"./nicflsh MAC dir\") before it touches "
        "it.\n";
    for (const FunctionPlan& f : plan.functions) out += "\n" + function_text(f);
    const Counts c = counts_of(plan);
    return out + "\n" + unmatched_rows_text(plan.unmatchedRows) + summary_text(c) +
           reboot_text(plan, c);
}

std::string plan_json(const Plan& plan) {
    const Counts c = counts_of(plan);
    const JsonObject summary = JsonObject{}
                                   .add("update", std::to_string(c.update))
                                   .add("current", std::to_string(c.current))
                                   .add("leftAlone", std::to_string(c.leftAlone))
                                   .add("unknown", std::to_string(c.unknown))
                                   .add("wouldFail", std::to_string(c.wouldFail))
                                   .add("rebootNeeded", c.update != 0 ? "true" : "false")
                                   .add("rebootRequired", plan.end ? "0" : "1");
    return JsonObject{}
               .add("force", plan.force ? "true" : "false")
               .add("skip", json_text(plan.skip))
               .add("madeFrom", made_from_json(plan.madeFrom))
               .add("probeFirst", json_text("the run probes each adapter's function 0 with "
                                            "\"./nicflsh MAC dir\" before it touches it; the "
                                            "plan does not"))
               .add("end", end_json(plan.end))
               .add("functions", json_array(plan.functions, function_json))
               .add("unmatchedRows", json_array(plan.unmatchedRows,
                                                [](const UnmatchedRow& u) {
                                                    return JsonObject{}
                                                        .add("row", std::to_string(u.row))
                                                        .add("line", std::to_string(u.line))
                                                        .add("ids", json_text(u.ids))
                                                        .add("chipRevision",
                                                             json_text(u.chipRevision))
                                                        .text();
                                                }))
               .add("summary", summary.text())
               .add("verification", verification_json(plan.verification))
               .text() +
           "\n";
}

// Read back as a saved plan is, so that the diff compares like with like.
std::optional<SavedPlan> saved_plan_of(const Plan& plan, std::string& problem) {
    const std::optional<JsonValue> document = parse_json(plan_json(plan), problem);
    if (!document) return std::nullopt;
    return saved_plan_of(*document, problem);
}
