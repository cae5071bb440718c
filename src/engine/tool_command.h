// Programming tool commands: their command lines, the runner that carries
// them out, and what each came to.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/result_code.h"

// Runs one shell command line and returns its raw wait status (-1 when no
// shell could be started). Tests hand in their own to see the exact command
// lines.
using CommandRunner = std::function<int(const char* commandLine)>;

// The runner in use outside tests: "/bin/sh -c", the tool shielded from the
// signals that ask the run to stop.
int run_shell_command(const char* commandLine);

// Set once SIGINT, SIGTERM or SIGHUP asked the run to stop: the adapter in
// hand is finished, no further one is started.
extern volatile std::sig_atomic_t StopRequested;
// From now on those signals only set StopRequested; SIGPIPE is ignored.
void catch_stop_signals();

inline constexpr const char* ToolPath = "./nicflsh";
inline constexpr const char* ToolPrefix = "./nicflsh ";
// The tool options of the steps around the component writes.
inline constexpr const char* ProbeOption = "dir";
inline constexpr const char* BackupOption = "dump_nvram";
inline constexpr const char* RestoreOption = "restore_nvram";
inline constexpr const char* FamilyTemplateOption = "-vpd";
// The installed version given with a step that replaces whatever is there.
inline constexpr uint32_t NoInstalledVersion = 0xFFFFFFFF;
inline constexpr std::size_t CommandLineSize = 256;

// What one tool command comes to, as the result code its adapter gets: the
// tool's write protect and driver outcomes, and one code for any other
// failure. Unscoped, as the step results it stands among (and the adapter
// statuses it becomes) are plain numbers.
enum ToolResult : int {
    ToolSuccess = code_of(ResultCode::Success),
    ToolWriteProtect = code_of(ResultCode::WriteProtect),
    ToolError = code_of(ResultCode::ToolErrorRestored),
    ToolDriverNotSupported = code_of(ResultCode::DriverNotSupported),
};

// Exit codes of the tool that mean more than "failed".
inline constexpr int ToolExitDriverNotSupported = 40;
inline constexpr int ToolExitWriteProtect = 203;

// What a step that runs the tool came to: its result (a ToolResult, or a
// step's own code), and the tool's decoded exit code when it failed; 0 when
// it succeeded or was never run.
struct ToolOutcome {
    int result;
    int exitCode;
};

// A normal exit gives its exit status (0-255), anything else the raw status.
int decode_exit_status(int waitStatus);

// The command lines the tool is given, as a plan shows them: none when one
// does not fit its buffer (it is then never run). The upgrade form carries
// the force prefix when `force` is set ("-force": every component is
// programmed whatever its version).
std::optional<std::string> probe_command_line(const char* adapterId);
std::optional<std::string> tool_command_line(const char* adapterId, const char* option,
                                             const char* file, uint32_t installedVersion,
                                             bool force);

// Builds the tool's commands and runs them through one CommandRunner.
class ToolRunner {
  public:
    explicit ToolRunner(CommandRunner run = run_shell_command) : run_(std::move(run)) {}

    // Runs one command line; its decoded exit code.
    int exit_code_of(const std::string& commandLine) const;

    // Runs the tool's "dir" command for the adapter; the decoded exit code,
    // or -1 when the command does not fit its buffer (it is then not run).
    int probe(const char* adapterId) const;

    // Runs and decodes one command line built by tool_command_line; none (a
    // line that did not fit) or another adapter type runs nothing.
    ToolOutcome run(uint32_t adapterType, const std::optional<std::string>& line) const;

    // Builds, runs and decodes one tool command.
    ToolOutcome program(const char* adapterId, uint32_t adapterType, const char* option,
                        const char* file, uint32_t installedVersion, bool force) const;

  private:
    CommandRunner run_;
};
