#include "engine/nvram_backup.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/file.h"
#include "common/text.h"

namespace {

constexpr std::string_view UnknownAdapter = "unknown";

bool note_adapter(const WorkingDirectory& directory, std::string_view mac) {
    File note = directory.open_output(BuImageMacName, OutputMode::Truncate);
    if (!note) return false;
    const bool written =
        std::fprintf(note.get(), "%.*s\n", static_cast<int>(mac.size()), mac.data()) > 0 &&
        std::fflush(note.get()) == 0 && fsync(fileno(note.get())) == 0;
    // On disk before the tool starts writing, so that a run killed at any
    // later moment leaves the backup with the adapter it belongs to.
    return close_output_file(std::move(note)) && written && directory.sync();
}

// The MAC digits the note names, in lower case as the run writes them;
// "unknown" when there is no note or it does not hold 12 hex digits and a
// line end.
std::string noted_adapter(const WorkingDirectory& directory) {
    std::string_view noted;
    const std::optional<std::string> note = directory.read_own(BuImageMacName, MacDigits + 2);
    if (note) noted = *note;
    if (noted.ends_with('\n')) noted.remove_suffix(1);
    return is_mac_digits(noted) ? lower_case(noted) : std::string(UnknownAdapter);
}

void print_restore_hint(std::string_view mac, std::string_view file) {
    std::fprintf(stderr,
                 "qik_programmer: put it back with \"%s%.*s restorenvram %.*s\", or delete the "
                 "file once the adapter is known good\n",
                 ToolPrefix, static_cast<int>(mac.size()), mac.data(),
                 static_cast<int>(file.size()), file.data());
}

// The tool's codes for a backup file it cannot create: no adapter can be
// programmed safely then, so the run stops.
bool backup_file_impossible(int code) {
    return code == 10 || code == 11;
}

void remove_backup_and_note(const WorkingDirectory& directory) {
    directory.remove_private(BuImageName);
    directory.remove(BuImageMacName);
}

// The backup is on disk, under its name, before the first write reaches the
// adapter: after a power cut the note must never outlive an empty backup.
bool sync_backup(const WorkingDirectory& directory) {
    return directory.sync_file(BuImageName) && directory.sync();
}

bool is_suffix_of_kept(std::string_view rest) {
    return rest.empty() ||
           (rest.size() > 1 && rest[0] == '_' &&
            std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

}  // namespace

ToolOutcome NvramBackup::make(const AdapterRecord& record) {
    // A backup still here could not be kept earlier; it is never written over.
    if (directory_.exists(BuImageName)) keep_leftover_backup(directory_);
    if (directory_.exists(BuImageName)) return {RunAbandoned, 0};
    if (!note_adapter(directory_, field_text(record.macText))) {
        std::fprintf(stderr, "qik_programmer: cannot write %s: %s\n", BuImageMacName,
                     std::strerror(errno));
        return {RunAbandoned, 0};
    }
    const ToolOutcome dump = run_tool(record, BackupOption);
    if (dump.result != ToolSuccess) {
        // Nothing was programmed: a partial dump holds nothing worth keeping.
        remove_backup_and_note(directory_);
        return {backup_file_impossible(dump.exitCode) ? RunAbandoned : ToolError, dump.exitCode};
    }
    // Like a dump file the tool cannot write: no backup can be relied on here.
    if (!sync_backup(directory_)) {
        std::fprintf(stderr, "qik_programmer: cannot sync the NVRAM backup %s: %s\n", BuImageName,
                     std::strerror(errno));
        remove_backup_and_note(directory_);
        return {RunAbandoned, 0};
    }
    present_ = true;
    return {ToolSuccess, 0};
}

ToolResult NvramBackup::restore(const AdapterRecord& record) {
    if (!present_) return ToolSuccess;
    return run_tool(record, RestoreOption).result == ToolSuccess ? ToolSuccess : ToolError;
}

void NvramBackup::remove() {
    if (!present_) return;
    remove_backup_and_note(directory_);
    present_ = false;
}

void NvramBackup::keep(const AdapterRecord& record) {
    if (!present_) return;
    present_ = false;
    const std::string_view mac = field_text(record.macText);
    const std::string kept = directory_.rename_to_free_name(
        BuImageName, std::string(KeptBackupPrefix) + std::string(mac));
    if (kept.empty()) {
        // The note stays beside it, so the next backup or run keeps it.
        std::fprintf(stderr,
                     "qik_programmer: the NVRAM of adapter %.*s could not be restored; its backup "
                     "stays in %s (%s)\n",
                     static_cast<int>(mac.size()), mac.data(), BuImageName, std::strerror(errno));
        return;
    }
    directory_.remove(BuImageMacName);
    std::fprintf(stderr,
                 "qik_programmer: the NVRAM of adapter %.*s could not be restored; its backup is "
                 "kept in %s\n",
                 static_cast<int>(mac.size()), mac.data(), kept.c_str());
    print_restore_hint(mac, kept);
}

ToolOutcome NvramBackup::run_tool(const AdapterRecord& record, const char* option) const {
    // The backup and restore forms carry no force prefix.
    return tools_.program(record.macText, record.adapterType, option, BuImageName, 0, false);
}

void keep_leftover_backup(const WorkingDirectory& directory) {
    if (!directory.exists(BuImageName)) {
        directory.remove(BuImageMacName);  // the backup never came to be, or was removed
        return;
    }
    const std::string mac = noted_adapter(directory);
    const std::string kept =
        directory.rename_to_free_name(BuImageName, std::string(KeptBackupPrefix) + mac);
    if (kept.empty()) {
        std::fprintf(stderr,
                     "qik_programmer: cannot keep the NVRAM backup %s of an earlier run: %s\n",
                     BuImageName, std::strerror(errno));
        return;
    }
    directory.remove(BuImageMacName);
    std::fprintf(stderr,
                 "qik_programmer: an earlier run ended before it removed the NVRAM backup of "
                 "adapter %s; it is kept in %s\n",
                 mac.c_str(), kept.c_str());
    // A known adapter is named again, with the hint, when the run reaches it.
    if (mac == UnknownAdapter) print_restore_hint("MAC", kept);
}

std::optional<std::string> leftover_backup_owner(const WorkingDirectory& directory) {
    if (!directory.exists(BuImageName)) return std::nullopt;
    return noted_adapter(directory);
}

std::vector<std::string> kept_backups(const WorkingDirectory& directory) {
    return directory.names_starting_with(KeptBackupPrefix);
}

// A backup kept by hand, or by an earlier version, may spell the MAC in
// upper case.
std::string kept_backup_of(const std::vector<std::string>& kept, std::string_view mac) {
    const std::string wanted = lower_case(mac);
    for (const std::string& name : kept) {
        const std::string rest = lower_case(std::string_view(name).substr(KeptBackupPrefix.size()));
        if (starts_with(rest, wanted) && is_suffix_of_kept(rest.substr(wanted.size()))) return name;
    }
    return {};
}

void say_left_alone(const AdapterRecord& record, const std::string& keptBackup) {
    const std::string_view mac = field_text(record.macText);
    std::fprintf(stderr,
                 "qik_programmer: adapter %.*s (%s) is left alone: %s holds its NVRAM backup "
                 "from a run that could not finish\n",
                 static_cast<int>(mac.size()), mac.data(),
                 printable(field_text(record.serviceName)).c_str(), keptBackup.c_str());
    print_restore_hint(mac, keptBackup);
}
