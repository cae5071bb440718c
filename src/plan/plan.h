// qik_plan: what a run of the utility would do in a working directory, made
// with the run's own inventory, matching and update decisions, and without
// a single write: no tool command, no enabling, no NVRAM write, no file.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "adapter/adapter_record.h"
#include "common/result_code.h"
#include "config/config.h"
#include "plan/plan_verify.h"

// What the run would come to for one adapter function.
enum class PlanOutcome {
    Update,     // firmware, the PHY or the family version would change
    Current,    // steps run (backup, module, family version), nothing changes
    LeftAlone,  // no step at all
    Unknown,    // disabled, and what decides cannot be read until it is enabled
    WouldFail,  // a step cannot but fail (a file it needs cannot be read), or its function 0's
};

// One step as the run takes it: the exact tool command, or what happens
// without one.
struct PlannedStep {
    std::string step;
    std::string command;  // empty when no tool command runs it
    std::string note;
};

// A step that would not run, and why.
struct StepNotRun {
    std::string step;
    std::string why;
};

struct ComponentPlan {
    std::string name;
    std::string installed;
    std::string target;
    std::string action;  // "update", or why it is left as it is
};

struct FunctionPlan {
    const AdapterRecord* record = nullptr;
    bool enabled = true;
    bool reported = false;  // the result document will carry its Device element
    PlanOutcome outcome = PlanOutcome::LeftAlone;
    bool withFunction0 = false;  // updated by its function 0's steps, with none of its own
    std::string why;             // of a function left alone, an unknown one, or one that would fail
    // The result its Device element would carry, where the plan knows it
    // without the tool: a function left alone, or one that would fail.
    std::optional<ResultCode> reportedCode;
    std::string readThrough;  // whose firmware stands in for a disabled function's
    std::size_t row = 0;      // the matched entry, from 1; 0 when none
    unsigned line = 0;        // of the matched entry in the table file
    std::optional<ComponentPlan> family;
    std::string warning;  // what a person should know before the run, though it succeeds
    std::vector<ComponentPlan> components;
    std::vector<PlannedStep> steps;
    std::string onFailedWrite;  // the restore command after a failed write
    std::vector<StepNotRun> notRun;
};

// Why the run would end before updating any adapter.
struct WholeRunEnd {
    uint32_t code;
    std::string detail;
};

// A table row that names no adapter function of the server.
struct UnmatchedRow {
    std::size_t row;  // from 1
    unsigned line;    // in the table file
    std::string ids;  // vendor, device, subsystem vendor and device, as the table writes them
    std::string chipRevision;
};

// What the plan was made from: the table, by the SHA-256 of its bytes, and
// the library, by the version it reports; none where it could not be read.
struct MadeFrom {
    std::string table = ConfigFileName;
    std::optional<std::string> tableSha256;  // lower-case hex
    std::optional<std::string> libraryVersion;  // "MAJOR.MINOR.BUILD"
};

struct Plan {
    bool force = false;
    std::string skip;
    MadeFrom madeFrom;
    std::optional<WholeRunEnd> end;
    // Filled by a read-only inventory (take_inventory with
    // Enabling::LeaveAsIs); each function's plan refers to its record.
    std::vector<AdapterRecord> records;
    std::vector<FunctionPlan> functions;
    // With --verify: what the result document reports, checked against it.
    std::optional<Verification> verification;
    std::vector<UnmatchedRow> unmatchedRows;
};

// Plans every record of the plan.
void plan_functions(Plan& plan, const ConfigList& config);

const char* outcome_name(PlanOutcome outcome);

// The plan for a person, and as one JSON document.
std::string plan_text(const Plan& plan);
std::string plan_json(const Plan& plan);
