#include "driver/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>
#include <vector>

#include "adapter/enabled_note.h"
#include "adapter/function0_rules.h"
#include "adapter/inventory.h"
#include "adpm/adpm.h"
#include "common/file.h"
#include "common/program_options.h"
#include "common/result_code.h"
#include "common/text.h"
#include "config/config.h"
#include "engine/nvram_backup.h"
#include "engine/run_context.h"
#include "engine/update_sequence.h"
#include "report/report.h"
#include "report/run_output.h"

namespace {

// Bits of the exit status after a completed run.
constexpr unsigned ExitWriteProtect = 0x04;
constexpr unsigned ExitDriverNotSupported = 0x08;
constexpr unsigned ExitOtherFailure = 0x10;

// The whole-run error form for `code`.
void report_run_failure(std::FILE* result, ResultCode code) {
    print_qik_error(result, code_of(code));
}

// A run that ends before any adapter is reported exits with its result code.
int exit_status_of(ResultCode code) {
    return static_cast<int>(code_of(code));
}

void print_usage(const char* program) {
    std::printf("USAGE: %s [-ver || -? || -help] || [(-filename <filename> || -print) & -force]\n",
                program);
}

CommandAction refuse(CommandLine& line, std::string problem) {
    line.problem = std::move(problem);
    return CommandAction::Invalid;
}

// An option accepted only in a command line of at most `limit` words.
CommandAction refuse_beyond(CommandLine& line, std::string_view option, int argc, int limit) {
    if (limit == 2) return refuse(line, quoted_word(option) + " must be the only argument");
    return refuse(line, quoted_word(option) + " is accepted only in a command line of at most " +
                            std::to_string(limit) + " words (this one has " + std::to_string(argc) +
                            ")");
}

// Consumes the value that follows argument i.
CommandAction take_value(int argc, const char* const* argv, int& i, std::span<char> field,
                         bool refuseLonger, CommandLine& line) {
    const std::string_view option = argv[i];
    if (i + 1 >= argc) return refuse(line, quoted_word(option) + " needs a value");
    const std::string_view value = argv[++i];
    if (refuseLonger && value.size() >= field.size())
        return refuse(line, "the value of " + quoted_word(option) + " is longer than " +
                                std::to_string(field.size() - 1) + " characters");
    copy_text(field, value);
    return CommandAction::Run;
}

// Options taken only when the command line is short enough, and the limit.
struct LimitedOption {
    std::string_view name;
    int maxWords;
};
constexpr LimitedOption LimitedOptions[] = {
    {"-ver", 2}, {"-?", 2}, {"-help", 2}, {"-filename", 4}, {"-print", 4}, {"-force", 4},
};

// Every command line that writes a file takes the working directory first:
// while another run holds it, its result document, log and backups are
// that run's, and nothing is written.
bool take_working_directory() {
    switch (lock_working_directory()) {
        case DirectoryLock::Held:
            return true;
        case DirectoryLock::Busy:
            std::fprintf(stderr,
                         "qik_programmer: another run is in progress in this directory; nothing "
                         "was written\n");
            return false;
        case DirectoryLock::Failed:
            break;
    }
    std::fprintf(stderr, "qik_programmer: cannot lock the working directory: %s\n",
                 std::strerror(errno));
    return false;
}

// The utility's own files: a result document written over one would destroy
// an NVRAM backup, its note, the note of enabled ports (or one set aside),
// the table or the inventory log, whatever directory the name points into.
bool is_own_file(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return name == BuImageName || name == BuImageMacName || starts_with(name, KeptBackupPrefix) ||
           name == EnabledNoteName || starts_with(name, EnabledNoteSetAsideName) ||
           name == ConfigFileName || name == InventoryLogName;
}

// The result file named on the command line, unless it is one of the
// utility's own; the document then goes to the usual file.
CommandAction take_result_file_name(int argc, const char* const* argv, int& i, CommandLine& line) {
    const CommandAction action = take_value(argc, argv, i, line.resultFileName, true, line);
    if (action != CommandAction::Run || !is_own_file(line.resultFileName)) return action;
    copy_text(line.resultFileName, ResultFileName);
    return refuse(line,
                  quoted_word(argv[i]) + " is a file of the utility's own, never a result file");
}

// The refusal is said in any case; the document only with the directory held.
int invalid_usage(const CommandLine& line, const char* program) {
    const bool held = take_working_directory();
    if (held) {
        RunOutput output(process_working_directory());
        if (output.open_result(line.resultFileName, false))
            report_run_failure(output.result(), ResultCode::InvalidUsage);
        output.close();
    }
    std::printf("Invalid Usage:  Please try again\n");
    print_usage(program);
    std::fprintf(stderr, "qik_programmer: %s\n", line.problem.c_str());
    return exit_status_of(held ? ResultCode::InvalidUsage : ResultCode::OutputUnopenable);
}

bool allocate_records(std::vector<AdapterRecord>& records, uint32_t count) {
    try {
        records.resize(count);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Steps from the update to the report; the exit status.
int program_and_report(RunContext& run, std::span<AdapterRecord> records, RunOutput& output) {
    // Earlier adapters may have been programmed: the run failed, and says so.
    if (run_updates(run, records) == RunAbandoned) {
        report_run_failure(run.result, ResultCode::OutputUnopenable);
        return exit_status_of(ResultCode::OutputUnopenable);
    }
    for (const AdapterRecord& record : records)
        if (record.config != nullptr) run.progress.result(record);
    print_qik_execution(run.result, run.inventoryLog, records);
    output.close_log();
    run.inventoryLog = nullptr;
    return static_cast<int>(exit_flags(records));
}

// Steps from the inventory to the report; the exit status. A run that stops
// early still leaves disabled adapters disabled: an adapter the
// administrator switched off must not stay on the network.
int update_adapters(RunContext& run, std::span<AdapterRecord> records, const ConfigList& config,
                    const CommandLine& line, RunOutput& output) {
    if (take_inventory(run.adpm, run.directory, records, config.head(), line.skipList) != 0) {
        report_run_failure(run.result, ResultCode::AdapterListFailed);
        restore_device_state_by_name(run.adpm, run.directory, records);
        return 0;
    }
    pass_over_functions_without_function0(records, line.skipList);
    const int status = program_and_report(run, records, output);
    restore_device_state(run.adpm, run.directory, records);
    return status;
}

// Steps inside the library's session; the exit status.
int run_with_library(RunContext& run, const ConfigList& config, const CommandLine& line,
                     RunOutput& output) {
    int status = 0;
    uint32_t count = 0;
    const AdpmSession session(run.adpm);
    if (session.result() != AdpmSuccess) {
        report_run_failure(run.result, ResultCode::LibraryInitFailed);
    } else if (run.adpm.AdpmGetNumPhyNic(&count) != AdpmSuccess) {
        report_run_failure(run.result, ResultCode::AdapterListFailed);
    } else if (std::vector<AdapterRecord> records; !allocate_records(records, count)) {
        report_run_failure(run.result, ResultCode::OutOfMemory);
    } else {
        status = update_adapters(run, records, config, line, output);
    }
    return status;
}

// From the library check to the end of the run; the exit status. The
// library's calls are loaded into `adpm`, the table the run reads.
int run_sequence(RunContext& run, AdpmApi& adpm, const CommandLine& line, RunOutput& output) {
    // A missing library, or one without every call, is out of date too.
    AdpmLibrary library;
    std::string problem;
    const bool loaded = library.load(AdpmLibraryPath, adpm, problem);
    if (!loaded) std::fprintf(stderr, "qik_programmer: %s\n", problem.c_str());
    if (!loaded || check_adpm_ver(adpm) != 0) {
        report_run_failure(run.result, ResultCode::LibraryOutOfDate);
        return 0;
    }
    if (check_os_ver() != 0) {
        report_run_failure(run.result, ResultCode::UnsupportedOs);
        return 0;
    }
    ConfigError error;
    const ConfigList config = read_config(ConfigFileName, &error);
    if (!config) {
        std::fprintf(stderr, "qik_programmer: %s\n", config_error_text(error).c_str());
        report_run_failure(run.result, ResultCode::ConfigUnreadable);
        return exit_status_of(ResultCode::ConfigUnreadable);
    }
    return run_with_library(run, config, line, output);
}

// The run with its output files; a document that did not reach its file is
// a failed run, whatever it says.
int run_with_output(const CommandLine& line) {
    const WorkingDirectory& directory = process_working_directory();
    RunOutput output(directory);
    const int unopenable = exit_status_of(ResultCode::OutputUnopenable);
    if (!output.open_result(line.resultFileName, line.print)) return unopenable;
    AdpmApi adpm{};
    const ToolRunner tools;
    RunContext run{
        .adpm = adpm,
        .tools = tools,
        .directory = directory,
        .stopRequested = StopRequested,
        .force = line.force,
        .progress = Progress::to_terminal(),
        .vpdDiagnostics = line.print ? stderr : stdout,
        .result = output.result(),
        .inventoryLog = nullptr,
    };
    int status = unopenable;
    if (output.open_log()) {
        run.inventoryLog = output.log();
        status = run_sequence(run, adpm, line, output);
    } else {
        report_run_failure(run.result, ResultCode::OutputUnopenable);
    }
    return output.close() ? status : unopenable;
}

}  // namespace

CommandAction parse_command_line(int argc, const char* const* argv, CommandLine& line) {
    line = CommandLine{};
    copy_text(line.resultFileName, ResultFileName);
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        for (const LimitedOption& option : LimitedOptions)
            if (arg == option.name && argc > option.maxWords)
                return refuse_beyond(line, arg, argc, option.maxWords);
        if (arg == "-ver") return CommandAction::Version;
        if (arg == "-?" || arg == "-help") return CommandAction::Help;
        CommandAction action = CommandAction::Run;
        if (arg == "-filename")
            action = take_result_file_name(argc, argv, i, line);
        else if (arg == "-print")
            line.print = true;
        else if (arg == "-force")
            line.force = true;
        else if (arg == "-skip")
            action = take_value(argc, argv, i, line.skipList, false, line);
        else
            return refuse(line, "unknown option " + quoted_word(arg));
        if (action != CommandAction::Run) return action;
    }
    return CommandAction::Run;
}

int check_adpm_ver(const AdpmApi& adpm) {
    const std::optional<std::string> problem = library_version_problem(library_version(adpm));
    if (!problem) return 0;
    std::fprintf(stderr, "qik_programmer: %s\n", problem->c_str());
    return 1;
}

int check_os_ver() {
    return 0;
}

unsigned exit_flags(std::span<const AdapterRecord> records) {
    unsigned flags = 0;
    for (const AdapterRecord& record : records) {
        // A function passed over may still hold the status its inventory
        // gave it; the document does not report it, nor does the status.
        if (record.config == nullptr) continue;
        if (record.status == code_of(ResultCode::WriteProtect))
            flags |= ExitWriteProtect;
        else if (record.status == code_of(ResultCode::DriverNotSupported))
            flags |= ExitDriverNotSupported;
        else if (record.status != code_of(ResultCode::Success))
            flags |= ExitOtherFailure;
    }
    return flags;
}

int run_qik_programmer(int argc, const char* const* argv) {
    const char* program = argc > 0 ? argv[0] : "qik_programmer";
    CommandLine line;
    switch (parse_command_line(argc, argv, line)) {
        case CommandAction::Version:
            std::printf("Vexlor LOM/NIC Programming Utility Version %d.%d.%d\n", ProgramMajor,
                        ProgramMinor, ProgramBuild);
            return 0;
        case CommandAction::Help:
            print_usage(program);
            return 0;
        case CommandAction::Invalid:
            return invalid_usage(line, program);
        case CommandAction::Run:
            break;
    }
    if (!take_working_directory()) return exit_status_of(ResultCode::OutputUnopenable);
    catch_stop_signals();
    return run_with_output(line);
}
