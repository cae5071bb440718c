// qik_plan --verify: after a run, whether each function its result
// document reports as updated now reads as the table asks. The check is the
// plan itself, made again over the adapters as they are: a function is
// verified when the plan finds nothing left to change on it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "plan/result_document.h"

struct Plan;

// A component (or the external PHY, or the family version) that still
// reads below the table's version.
struct VerifyMiss {
    std::string component;  // the table's column name
    std::string installed;
    std::string target;
    std::string image;  // the file the run was given for it, or empty
};

// One function the document reports as updated.
struct FunctionVerification {
    std::string service;  // as the adapters list it now, or empty when none matches
    std::string address;  // "bus:device.function"
    bool verified = false;
    std::string why;  // of one that cannot be checked
    std::vector<VerifyMiss> misses;
};

struct Verification {
    std::string resultFile;
    std::vector<FunctionVerification> functions;
    bool all_verified() const;
};

// Checks every Device the document reports with code 0 against the plan
// made after the run.
Verification verify_reported(const Plan& plan, const ResultDocument& document,
                             std::string resultFile);

// The verification for a person, and as the plan's JSON member.
std::string verification_text(const Verification& verification);
std::string verification_json(const std::optional<Verification>& verification);
