#include "common/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Far more files of one name than any working directory holds; the search
// for a free name ends there instead of running on.
constexpr int MaxSuffix = 100000;

int open_flags(OutputMode mode) {
    switch (mode) {
        case OutputMode::Truncate:
            return O_TRUNC;
        case OutputMode::Append:
            return O_APPEND;
        case OutputMode::Rewrite:
            break;
    }
    return 0;
}

int open_working_directory() {
    return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Renames without ever replacing a file; false (errno set) when `to` is
// taken or the rename fails.
bool rename_unless_taken(const char* from, const std::string& to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a second link cannot replace either.
    if (link(from, to.c_str()) != 0) return false;
    unlink(from);
    return true;
}

}  // namespace

File open_output_file(const char* path, OutputMode mode) {
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | open_flags(mode), 0666);
    if (fd < 0) return nullptr;
    File file(fdopen(fd, mode == OutputMode::Append ? "a" : "r+"));
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

bool close_output_file(File file) {
    std::FILE* f = file.release();
    if (f == nullptr) return true;
    const bool written = std::fflush(f) == 0 && std::ferror(f) == 0;
    const int error = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written) errno = error;
    return written && closed;
}

std::optional<std::string> read_own_file(const char* path, std::size_t limit) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text(limit, '\0');
    std::size_t length = 0;
    for (ssize_t n; length < limit && (n = read(fd, text.data() + length, limit - length)) > 0;)
        length += static_cast<std::size_t>(n);
    close(fd);
    text.resize(length);
    return text;
}

DirectoryLock lock_working_directory() {
    const int fd = open_working_directory();
    if (fd < 0) return DirectoryLock::Failed;
    // The descriptor stays open: the lock lasts as long as it does. Closed on
    // exec, so that no tool command started meanwhile holds it on.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return DirectoryLock::Held;
    const int error = errno;
    close(fd);
    errno = error;
    return error == EWOULDBLOCK ? DirectoryLock::Busy : DirectoryLock::Failed;
}

bool working_directory_held_elsewhere() {
    const int fd = open_working_directory();
    if (fd < 0) return false;
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

bool sync_working_directory() {
    const int fd = open_working_directory();
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

std::string rename_to_free_name(const char* from, std::string_view base) {
    for (int suffix = 0; suffix < MaxSuffix; ++suffix) {
        std::string name(base);
        if (suffix > 0) name += "_" + std::to_string(suffix);
        if (rename_unless_taken(from, name)) return name;
        if (errno != EEXIST) return {};
    }
    return {};
}
