// qik_plan --diff: what changed between a plan saved earlier with
// qik_plan --json and the plan made now, for a person, a line per change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/json_reader.h"

struct Plan;

// A saved plan is read whole when it holds at most this many bytes.
inline constexpr std::size_t SavedPlanLimit = std::size_t{8} << 20;

struct SavedComponent {
    std::string name;
    std::string installed;
    std::string target;
};

struct SavedFunction {
    std::string service;
    std::string mac;  // empty when the plan read none
    std::string outcome;
    std::optional<SavedComponent> family;
    std::vector<SavedComponent> components;
    std::vector<std::string> commands;  // the tool commands of its steps, in order
};

struct SavedEnd {
    uint64_t code = 0;
    std::string detail;
    bool operator==(const SavedEnd&) const = default;
};

// The members of a plan the diff compares; the rest are not read.
struct SavedPlan {
    std::string table;
    std::optional<std::string> tableSha256;     // none when unknown, or not named
    std::optional<std::string> libraryVersion;  // the same
    std::optional<SavedEnd> end;
    std::vector<SavedFunction> functions;
};

// A document qik_plan --json wrote, as the diff reads it; none, with why,
// when it is not such a plan.
std::optional<SavedPlan> saved_plan_of(const JsonValue& document, std::string& problem);
// The same of a file; none, with why, when it cannot be read, is not JSON or
// is not a plan.
std::optional<SavedPlan> read_saved_plan(const char* path, std::string& problem);
// The plan made now, as its JSON document would be read back
// (plan_render.cpp: plan_diff.cpp itself uses only common, so that the
// fuzzer builds it alone).
std::optional<SavedPlan> saved_plan_of(const Plan& plan, std::string& problem);

// What changed from `old` to `now`, a line each, in a stable order: the
// table, the library, the whole-run end, then the functions in the order of
// the plan made now, and those only in the old plan in its order.
std::vector<std::string> plan_differences(const SavedPlan& old, const SavedPlan& now);

// The differences for a person, closed by a line that counts them, or one
// line saying that the plans agree.
std::string diff_text(const std::vector<std::string>& differences, const std::string& oldFile);
