#include "common/working_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

// What stands at the name is opened, never followed.
int open_in_place(const char* name) {
    return open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

int open_file(const char* name, int flags) {
    return ::open(name, flags | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool exists(const char* name) {
    struct stat info {};
    return lstat(name, &info) == 0;
}

EntryKind kind_of(const char* name) {
    struct stat info {};
    if (lstat(name, &info) != 0) return EntryKind::None;
    if (S_ISREG(info.st_mode)) return EntryKind::RegularFile;
    if (S_ISDIR(info.st_mode)) return EntryKind::Directory;
    return S_ISLNK(info.st_mode) ? EntryKind::Link : EntryKind::Other;
}

bool accessible(const char* name, int mode) {
    return access(name, mode) == 0;
}

File open_input(const char* name) {
    return File(std::fopen(name, "r"));
}

bool sync_file(const char* name) {
    const int fd = open_in_place(name);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

bool rename_file(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

bool remove(const char* name) {
    return unlink(name) == 0;
}

// A link planted at the name keeps its target's mode.
void remove_private(const char* name) {
    const int fd = open_in_place(name);
    if (fd >= 0) {
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) fchmod(fd, 0220);
        close(fd);
    }
    unlink(name);
}

std::vector<std::string> names_starting_with(std::string_view prefix) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("."), closedir);
    if (!dir) return names;
    while (const dirent* entry = readdir(dir.get()))
        if (std::string_view(entry->d_name).starts_with(prefix)) names.emplace_back(entry->d_name);
    std::sort(names.begin(), names.end());
    return names;
}

constexpr WorkingDirectory ProcessWorkingDirectory{
    .open = open_file,
    .exists = exists,
    .kind_of = kind_of,
    .accessible = accessible,
    .open_output = open_output_file,
    .open_input = open_input,
    .read_own = read_own_file,
    .sync_file = sync_file,
    .sync = sync_working_directory,
    .rename = rename_file,
    .rename_to_free_name = rename_to_free_name,
    .remove = remove,
    .remove_private = remove_private,
    .names_starting_with = names_starting_with,
};

}  // namespace

const WorkingDirectory& process_working_directory() {
    return ProcessWorkingDirectory;
}
