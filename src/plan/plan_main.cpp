// qik_plan: run in an update package's working directory, it shows what
// qik_programmer would do there, and changes nothing.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "adapter/inventory.h"
#include "adpm/adpm.h"
#include "common/file.h"
#include "common/program_options.h"
#include "common/result_code.h"
#include "common/sha256.h"
#include "common/text.h"
#include "config/config.h"
#include "engine/tool_command.h"
#include "plan/plan.h"
#include "plan/plan_diff.h"
#include "report/report.h"

namespace {

constexpr int ExitPlanned = 0;
constexpr int ExitUsage = 1;
constexpr int ExitRunWouldEnd = 2;
constexpr int ExitResultUnreadable = 3;  // also the saved plan of --diff
constexpr int ExitOutputFailed = 4;
constexpr int ExitNotVerified = 5;
constexpr int ExitWouldFail = 6;
// As the utility takes its skip list.
constexpr std::size_t SkipListMax = 32;

constexpr const char* Usage =
    "usage: qik_plan [-skip <names>] [-force] [--json]\n"
    "       qik_plan --verify [RESULT_FILE] [-skip <names>] [--json]\n"
    "       qik_plan --diff OLD.json [-skip <names>] [-force]\n";

struct Options {
    bool json = false;
    InfoRequest asked = InfoRequest::None;
    std::optional<std::string> verify;  // the result file to check
    std::optional<std::string> diff;    // the saved plan to compare with
    std::string problem;
};

Options parse(int argc, char** argv, Plan& plan) {
    Options options;
    for (int i = 1; i < argc && options.problem.empty(); ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "-force") {
            plan.force = true;
        } else if (info_request(arg) != InfoRequest::None) {
            options.asked = info_request(arg);
        } else if (arg == "--verify") {
            const bool named = i + 1 < argc && argv[i + 1][0] != '-';
            options.verify = named ? argv[++i] : ResultFileName;
        } else if (arg == "--diff" && i + 1 < argc) {
            options.diff = argv[++i];
        } else if (arg == "--diff") {
            options.problem = "\"--diff\" needs the file of a plan saved with --json";
        } else if (arg == "-skip" && i + 1 < argc) {
            plan.skip = std::string(std::string_view(argv[++i]).substr(0, SkipListMax));
        } else if (arg == "-skip") {
            options.problem = "\"-skip\" needs a value";
        } else {
            options.problem = "unknown option " + quoted_word(arg);
        }
    }
    if (options.verify && plan.force && options.problem.empty())
        options.problem =
            "-force has no place with --verify, which compares versions as an "
            "unforced run does";
    if (options.diff && options.verify && options.problem.empty())
        options.problem = "--diff and --verify are two different questions: ask one at a time";
    if (options.diff && options.json && options.problem.empty())
        options.problem = "--diff compares for a person; --json has no place with it";
    return options;
}

// The run's steps up to its first update, read-only; the library stays
// initialised while the records are planned.
// The result document to check, and its name, with --verify.
struct ToVerify {
    const ResultDocument& document;
    const std::string& file;
};

void plan_with_library(const AdpmApi& adpm, Plan& plan, const ConfigList& config,
                       const std::optional<ToVerify>& verify) {
    uint32_t count = 0;
    if (adpm.AdpmGetNumPhyNic(&count) != AdpmSuccess) {
        plan.end = WholeRunEnd{code_of(ResultCode::AdapterListFailed), {}};
        return;
    }
    try {
        plan.records.resize(count);
    } catch (const std::bad_alloc&) {
        plan.end = WholeRunEnd{code_of(ResultCode::OutOfMemory), {}};
        return;
    }
    if (take_inventory(adpm, process_working_directory(), plan.records, config.head(),
                       plan.skip.c_str(), Enabling::LeaveAsIs) != 0) {
        plan.end = WholeRunEnd{code_of(ResultCode::AdapterListFailed),
                               "a library call of the inventory failed"};
        return;
    }
    plan_functions(plan, config);
    // While the table lives: the records point into it.
    if (verify && !plan.end)
        plan.verification = verify_reported(plan, verify->document, verify->file);
}

void make_plan(Plan& plan, const std::optional<ToVerify>& verify) {
    // Read once, so that the hash names the very bytes the plan is made from.
    ConfigError error;
    std::string table;
    const bool tableRead = read_config_bytes(ConfigFileName, table, error);
    if (tableRead) plan.madeFrom.tableSha256 = sha256_hex(table);
    AdpmLibrary library;
    AdpmApi adpm{};
    std::string problem;
    if (!library.load(AdpmLibraryPath, adpm, problem)) {
        plan.end = WholeRunEnd{code_of(ResultCode::LibraryOutOfDate), problem};
        return;
    }
    const LibraryVersion version = library_version(adpm);
    plan.madeFrom.libraryVersion = version.text();
    if (const auto old = library_version_problem(version)) {
        plan.end = WholeRunEnd{code_of(ResultCode::LibraryOutOfDate), *old};
        return;
    }
    const ConfigList config = tableRead ? read_config_text(table, &error) : ConfigList{};
    if (!config) {
        plan.end = WholeRunEnd{code_of(ResultCode::ConfigUnreadable), config_error_text(error)};
        return;
    }
    const AdpmSession session(adpm);
    if (session.result() != AdpmSuccess)
        plan.end = WholeRunEnd{code_of(ResultCode::LibraryInitFailed), {}};
    else
        plan_with_library(adpm, plan, config, verify);
}

// Reads the file an option names into `into`; false, with the file's name
// and why on standard error, when it cannot be read.
template <typename Read, typename Value>
bool read_named(const std::optional<std::string>& file, Read read, std::optional<Value>& into) {
    if (!file) return true;
    std::string problem;
    into = read(file->c_str(), problem);
    if (into) return true;
    std::fprintf(stderr, "qik_plan: %s: %s\n", printable(*file).c_str(),
                 printable(problem).c_str());
    return false;
}

// A script that runs the plan before the update can stop at its status.
int exit_status(const Plan& plan) {
    if (plan.end) return ExitRunWouldEnd;
    if (plan.verification) return plan.verification->all_verified() ? ExitPlanned : ExitNotVerified;
    const bool wouldFail =
        std::any_of(plan.functions.begin(), plan.functions.end(),
                    [](const FunctionPlan& f) { return f.outcome == PlanOutcome::WouldFail; });
    return wouldFail ? ExitWouldFail : ExitPlanned;
}

}  // namespace

int main(int argc, char** argv) {
    Plan plan;
    const Options options = parse(argc, argv, plan);
    if (!options.problem.empty()) {
        std::fprintf(stderr, "qik_plan: %s\n%s", options.problem.c_str(), Usage);
        return ExitUsage;
    }
    if (options.asked != InfoRequest::None)
        return answer_info_request(options.asked, "qik_plan", Usage) == 0 ? ExitPlanned
                                                                          : ExitOutputFailed;
    // A run in progress changes what the plan would show, and a run started
    // now would be refused.
    if (working_directory_held_elsewhere()) {
        std::fprintf(stderr, "qik_plan: another run is in progress in this directory\n");
        return ExitRunWouldEnd;
    }
    std::optional<ResultDocument> document;
    std::optional<SavedPlan> old;
    if (!read_named(options.verify, read_result_document, document) ||
        !read_named(options.diff, read_saved_plan, old))
        return ExitResultUnreadable;
    make_plan(plan, document ? std::optional<ToVerify>(ToVerify{*document, *options.verify})
                             : std::nullopt);
    std::string out;
    if (old) {
        std::string problem;
        const std::optional<SavedPlan> now = saved_plan_of(plan, problem);
        if (!now) {
            std::fprintf(stderr, "qik_plan: the plan made now cannot be read back: %s\n",
                         problem.c_str());
            return ExitOutputFailed;
        }
        out = diff_text(plan_differences(*old, *now), *options.diff);
    } else {
        out = options.json        ? plan_json(plan)
              : plan.verification ? verification_text(*plan.verification)
                                  : plan_text(plan);
    }
    if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "qik_plan: cannot write the plan: %s\n", std::strerror(errno));
        return ExitOutputFailed;
    }
    return exit_status(plan);
}
