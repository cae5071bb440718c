// The working directory a run reads and writes its files in, reached through
// one table of operations: the run's NVRAM backup and its note, the kept
// backups, the file the family writer hands the tool, the note of enabled
// ports, the result document and the log. Tests hand a run a table whose
// operations fail, to see what it does then.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file.h"

// What stands at a name, the name itself never followed.
enum class EntryKind { None, RegularFile, Directory, Link, Other };

struct WorkingDirectory {
    // Opens `name` with open(2)'s `flags` (mode 0666 when created), never
    // through a link and closed on exec; the descriptor, or -1 (errno set).
    int (*open)(const char* name, int flags);
    // Whether anything stands at `name`; a link is not followed.
    bool (*exists)(const char* name);
    // What stands at `name`; a link is not followed.
    EntryKind (*kind_of)(const char* name);
    // Whether this process may use `name` as access(2)'s `mode` (R_OK,
    // X_OK) asks, a link followed as the tool would follow it.
    bool (*accessible)(const char* name, int mode);
    // As open_output_file.
    File (*open_output)(const char* name, OutputMode mode);
    // Opens `name` to read; null (errno set) when it cannot be opened.
    File (*open_input)(const char* name);
    // As read_own_file.
    std::optional<std::string> (*read_own)(const char* name, std::size_t limit);
    // Syncs the regular file at `name` (never followed to a link's target);
    // false (errno set) when it cannot be opened or synced.
    bool (*sync_file)(const char* name);
    // As sync_working_directory.
    bool (*sync)();
    // Renames `from` to `to`, replacing it; false (errno set) when it fails.
    bool (*rename)(const char* from, const char* to);
    // As rename_to_free_name.
    std::string (*rename_to_free_name)(const char* from, std::string_view base);
    // Removes `name`; false (errno set) when it cannot be removed.
    bool (*remove)(const char* name);
    // Removes a file whose content is private: a regular file stops handing
    // it out first, so that one that cannot be removed is no longer read.
    void (*remove_private)(const char* name);
    // The names of the entries that begin with `prefix`, in name order.
    std::vector<std::string> (*names_starting_with)(std::string_view prefix);
};

// The process's working directory and its files.
const WorkingDirectory& process_working_directory();
