// The update engine: programming tool commands, the NVRAM backup, the family
// version written through the tool, and the per-adapter update sequence
// around them.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/adapter_record.h"
#include "common/result_code.h"

// The decoded exit code of the most recent tool command that failed.
extern int32_t ErrorCode_FirmwareUpgrade;

// Runs one shell command line and returns its raw wait status (-1 when no
// shell could be started). Tests replace it to see the exact command lines.
using CommandRunner = std::function<int(const char* commandLine)>;
extern CommandRunner RunToolCommand;

// The runner in use outside tests: "/bin/sh -c", the tool shielded from the
// signals that ask the run to stop.
int run_shell_command(const char* commandLine);

// Set once SIGINT, SIGTERM or SIGHUP asked the run to stop: the adapter in
// hand is finished, no further one is started.
extern volatile std::sig_atomic_t StopRequested;
// From now on those signals only set StopRequested; SIGPIPE is ignored.
void catch_stop_signals();

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

// What run_updates and make_backup answer when no backup file can be made
// at all: the run stops, and reports that an output file could not be
// opened.
inline constexpr int RunAbandoned = static_cast<int>(code_of(ResultCode::OutputUnopenable));

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

// Runs the tool's "dir" command for the adapter; the decoded exit code, or -1
// when the command does not fit its buffer (it is then not run).
int probe_device(const char* adapterId);

// Runs and decodes one tool command line built by tool_command_line; none
// (a line that did not fit) or another adapter type runs nothing.
ToolResult run_tool_command(uint32_t adapterType, const std::optional<std::string>& line);

// Builds, runs and decodes one tool command.
ToolResult program_device(const char* adapterId, uint32_t adapterType, const char* option,
                          const char* file, uint32_t deviceId, uint32_t installedVersion,
                          bool force);

// The NVRAM backup file. Beside it, "buimage.mac" names the adapter it
// belongs to for as long as it exists, so that a backup left by a run that
// was killed can still be told apart.
struct BuImage {
    char name[16];
    uint32_t present;
};

inline constexpr const char* BuImageName = "buimage";
inline constexpr const char* BuImageMacName = "buimage.mac";
// A backup that had to be kept: "buimage_" and the adapter's MAC digits, or
// "unknown", and "_1", "_2", ... when that name is taken. Never removed or
// written over by the utility.
inline constexpr std::string_view KeptBackupPrefix = "buimage_";

void init_backup(BuImage& image);
// ToolSuccess, ToolError, or RunAbandoned when no backup file can be made at
// all.
int make_backup(BuImage& image, const AdapterRecord& record);
ToolResult restore_backup(BuImage& image, const AdapterRecord& record);
void delete_backup(BuImage& image);
// Keeps the backup of an adapter whose restore failed under its MAC; says
// where on standard error.
void keep_backup(BuImage& image, const AdapterRecord& record);
// A backup left by an earlier run, which ended before it could remove it,
// is kept under the MAC its "buimage.mac" names.
void keep_leftover_backup();
// Whose backup an earlier run left as "buimage": the MAC digits its note
// names, or "unknown"; none when there is no such file. Nothing is changed.
std::optional<std::string> leftover_backup_owner();
// The kept backups in the working directory.
std::vector<std::string> kept_backups();
// The kept backup of the adapter whose MAC digits are `mac`, or "" when none.
std::string kept_backup_of(const std::vector<std::string>& kept, std::string_view mac);
// Says on standard error that the adapter is left alone for `keptBackup`.
void say_left_alone(const AdapterRecord& record, const std::string& keptBackup);

// program_device, as the family writer of the extended VPD runs the tool.
using ProgramDeviceFn = ToolResult (*)(const char* adapterId, uint32_t adapterType,
                                       const char* option, const char* file, uint32_t deviceId,
                                       uint32_t installedVersion, bool force);

inline constexpr const char* VpdUpdateFileName = "VpdUpdate.txt";
inline constexpr const char* VpdFailedMessage = "failed to program VPD information into device";

// Where that message goes: standard output, unless the result document goes
// there too ("-print"), whose XML must stay well-formed; then standard error.
extern std::FILE* VpdDiagnosticStream;

// Turns the template into "VpdUpdate.txt" and has the tool write it; the
// tool's ToolSuccess, ToolWriteProtect or ToolDriverNotSupported, or
// FamilyNotWritten for any other failure.
int write_template_family_version(uint32_t type, std::string_view familyText, uint32_t deviceId,
                                  const char* adapterId, const char* templatePath,
                                  ProgramDeviceFn programDevice, bool force);

// Updates every matched adapter; RunAbandoned when a backup failed with tool
// code 10 or 11, or its adapter could not be noted, otherwise the result of
// the last tool step.
int run_updates(std::span<AdapterRecord> records, bool force);
