// The NVRAM backup made before an adapter is programmed and put back when a
// write fails. Beside it, "buimage.mac" names the adapter it belongs to for
// as long as it exists, so that a backup left by a run that was killed can
// still be told apart.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/adapter_record.h"
#include "common/result_code.h"
#include "common/working_directory.h"
#include "engine/tool_command.h"

inline constexpr const char* BuImageName = "buimage";
inline constexpr const char* BuImageMacName = "buimage.mac";
// A backup that had to be kept: "buimage_" and the adapter's MAC digits, or
// "unknown", and "_1", "_2", ... when that name is taken. Never removed or
// written over by the utility.
inline constexpr std::string_view KeptBackupPrefix = "buimage_";

// What run_updates and back_up_nvram answer when no backup file can be made
// at all: the run stops, and reports that an output file could not be
// opened.
inline constexpr int RunAbandoned = static_cast<int>(code_of(ResultCode::OutputUnopenable));

// The backup of the adapter in hand, made and removed through the tool and
// the working directory the run is given.
class NvramBackup {
  public:
    NvramBackup(const ToolRunner& tools, const WorkingDirectory& directory)
        : tools_(tools), directory_(directory) {}

    // ToolSuccess; ToolError with the tool's exit code when the dump failed;
    // RunAbandoned when no backup file can be made at all.
    ToolOutcome make(const AdapterRecord& record);
    // ToolSuccess or ToolError; nothing to do without a backup.
    ToolResult restore(const AdapterRecord& record);
    void remove();
    // Keeps the backup of an adapter whose restore failed under its MAC;
    // says where on standard error.
    void keep(const AdapterRecord& record);

  private:
    ToolOutcome run_tool(const AdapterRecord& record, const char* option) const;

    const ToolRunner& tools_;
    const WorkingDirectory& directory_;
    bool present_ = false;
};

// A backup left by an earlier run, which ended before it could remove it,
// is kept under the MAC its "buimage.mac" names.
void keep_leftover_backup(const WorkingDirectory& directory);
// Whose backup an earlier run left as "buimage": the MAC digits its note
// names, or "unknown"; none when there is no such file. Nothing is changed.
std::optional<std::string> leftover_backup_owner(const WorkingDirectory& directory);
// The kept backups in the working directory.
std::vector<std::string> kept_backups(const WorkingDirectory& directory);
// The kept backup of the adapter whose MAC digits are `mac`, or "" when none.
std::string kept_backup_of(const std::vector<std::string>& kept, std::string_view mac);
// Says on standard error that the adapter is left alone for `keptBackup`.
void say_left_alone(const AdapterRecord& record, const std::string& keptBackup);
