#include "common/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

File open_output_file(const char* path, OutputMode mode) {
    const int truncate = mode == OutputMode::Truncate ? O_TRUNC : 0;
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | truncate, 0666);
    if (fd < 0) return nullptr;
    File file(fdopen(fd, "r+"));
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
