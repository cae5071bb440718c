#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "common/file.h"
#include "common/text.h"
#include "engine/engine.h"

namespace {

constexpr std::string_view UnknownAdapter = "unknown";

bool exists(const char* name) {
    struct stat info {};
    return lstat(name, &info) == 0;
}

// Read access goes first, so a backup that cannot be removed no longer hands
// out the adapter's NVRAM. What stands at the name is opened, never
// followed: a link planted there keeps its target's mode.
void remove_backup_file(const char* name) {
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) fchmod(fd, 0220);
        close(fd);
    }
    unlink(name);
}

bool note_adapter(std::string_view mac) {
    File note = open_output_file(BuImageMacName, OutputMode::Truncate);
    if (!note) return false;
    const bool written =
        std::fprintf(note.get(), "%.*s\n", static_cast<int>(mac.size()), mac.data()) > 0 &&
        std::fflush(note.get()) == 0 && fsync(fileno(note.get())) == 0;
    // On disk before the tool starts writing, so that a run killed at any
    // later moment leaves the backup with the adapter it belongs to.
    return close_output_file(std::move(note)) && written && sync_working_directory();
}

// The MAC digits the note names, in lower case as the run writes them;
// "unknown" when there is no note or it does not hold 12 hex digits and a
// line end.
std::string noted_adapter() {
    std::string_view noted;
    const std::optional<std::string> note = read_own_file(BuImageMacName, MacDigits + 2);
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

ToolResult run_backup_command(const BuImage& image, const AdapterRecord& record,
                              const char* option) {
    // The backup and restore forms carry no force prefix.
    return program_device(record.macText, record.adapterType, option, image.name, record.deviceId,
                          0, false);
}

void remove_backup_and_note(const char* name) {
    remove_backup_file(name);
    unlink(BuImageMacName);
}

// Nothing was programmed: a partial dump holds nothing worth keeping.
int discard_failed_backup(const BuImage& image) {
    remove_backup_and_note(image.name);
    return backup_file_impossible(ErrorCode_FirmwareUpgrade) ? RunAbandoned : ToolError;
}

// The backup is on disk, under its name, before the first write reaches the
// adapter: after a power cut the note must never outlive an empty backup.
// What stands at the name is opened, never followed.
bool sync_backup(const char* name) {
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return synced && sync_working_directory();
}

bool is_suffix_of_kept(std::string_view rest) {
    return rest.empty() ||
           (rest.size() > 1 && rest[0] == '_' &&
            std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

}  // namespace

void init_backup(BuImage& image) {
    image = BuImage{};
    copy_text(image.name, BuImageName);
}

int make_backup(BuImage& image, const AdapterRecord& record) {
    // A backup still here could not be kept earlier; it is never written over.
    if (exists(image.name)) keep_leftover_backup();
    if (exists(image.name)) return RunAbandoned;
    if (!note_adapter(field_text(record.macText))) {
        std::fprintf(stderr, "qik_programmer: cannot write %s: %s\n", BuImageMacName,
                     std::strerror(errno));
        return RunAbandoned;
    }
    if (run_backup_command(image, record, BackupOption) != ToolSuccess)
        return discard_failed_backup(image);
    // Like a dump file the tool cannot write: no backup can be relied on here.
    if (!sync_backup(image.name)) {
        std::fprintf(stderr, "qik_programmer: cannot sync the NVRAM backup %s: %s\n", image.name,
                     std::strerror(errno));
        remove_backup_and_note(image.name);
        return RunAbandoned;
    }
    image.present = 1;
    return ToolSuccess;
}

ToolResult restore_backup(BuImage& image, const AdapterRecord& record) {
    if (image.present != 1) return ToolSuccess;
    return run_backup_command(image, record, RestoreOption) == ToolSuccess ? ToolSuccess
                                                                           : ToolError;
}

void delete_backup(BuImage& image) {
    if (image.present != 1) return;
    remove_backup_and_note(image.name);
    image.present = 0;
}

void keep_backup(BuImage& image, const AdapterRecord& record) {
    if (image.present != 1) return;
    image.present = 0;
    const std::string_view mac = field_text(record.macText);
    const std::string kept =
        rename_to_free_name(image.name, std::string(KeptBackupPrefix) + std::string(mac));
    if (kept.empty()) {
        // The note stays beside it, so the next backup or run keeps it.
        std::fprintf(stderr,
                     "qik_programmer: the NVRAM of adapter %.*s could not be restored; its backup "
                     "stays in %s (%s)\n",
                     static_cast<int>(mac.size()), mac.data(), image.name, std::strerror(errno));
        return;
    }
    unlink(BuImageMacName);
    std::fprintf(stderr,
                 "qik_programmer: the NVRAM of adapter %.*s could not be restored; its backup is "
                 "kept in %s\n",
                 static_cast<int>(mac.size()), mac.data(), kept.c_str());
    print_restore_hint(mac, kept);
}

void keep_leftover_backup() {
    if (!exists(BuImageName)) {
        unlink(BuImageMacName);  // the backup never came to be, or was removed
        return;
    }
    const std::string mac = noted_adapter();
    const std::string kept = rename_to_free_name(BuImageName, std::string(KeptBackupPrefix) + mac);
    if (kept.empty()) {
        std::fprintf(stderr,
                     "qik_programmer: cannot keep the NVRAM backup %s of an earlier run: %s\n",
                     BuImageName, std::strerror(errno));
        return;
    }
    unlink(BuImageMacName);
    std::fprintf(stderr,
                 "qik_programmer: an earlier run ended before it removed the NVRAM backup of "
                 "adapter %s; it is kept in %s\n",
                 mac.c_str(), kept.c_str());
    // A known adapter is named again, with the hint, when the run reaches it.
    if (mac == UnknownAdapter) print_restore_hint("MAC", kept);
}

std::optional<std::string> leftover_backup_owner() {
    if (!exists(BuImageName)) return std::nullopt;
    return noted_adapter();
}

std::vector<std::string> kept_backups() {
    std::vector<std::string> kept;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("."), closedir);
    if (!dir) return kept;
    while (const dirent* entry = readdir(dir.get()))
        if (starts_with(entry->d_name, KeptBackupPrefix)) kept.emplace_back(entry->d_name);
    std::sort(kept.begin(), kept.end());
    return kept;
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
