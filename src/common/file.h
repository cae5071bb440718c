// Files: one closer for every stream the utility opens, and the output files
// it writes in its working directory. No output file is ever opened through a
// symbolic link: a link planted where one belongs would turn the run's writes
// onto another file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

enum class OutputMode {
    Truncate,  // emptied first
    Rewrite,   // written over from the start; the caller cuts it to length
    Append,    // written at its end
};

// Opens `path` for writing, creating it when missing; null (errno set) when it
// cannot be opened or a symbolic link stands at its place.
File open_output_file(const char* path, OutputMode mode);

// Flushes and closes the stream; false when that or any earlier write failed.
bool close_output_file(File file);

// One run at a time in a working directory: two would rename and delete each
// other's NVRAM backup. The lock is the directory's own (no file to leave
// behind), and the kernel lets go of it when the process ends, however it
// ends, so a killed run never keeps its retry out.
enum class DirectoryLock { Held, Busy, Failed };

// Takes the working directory for this process for as long as it lives;
// Busy when another process holds it, Failed (errno set) when it cannot be
// locked at all.
DirectoryLock lock_working_directory();

// Whether another process holds the working directory now. It is held for
// an instant only, and shared, so that a run starting meanwhile is refused
// only in that instant.
bool working_directory_held_elsewhere();

// The first `limit` bytes of a small file the utility wrote itself; none
// when it is missing or a symbolic link stands at its place.
std::optional<std::string> read_own_file(const char* path, std::size_t limit);

// Syncs the working directory, so that files created, renamed or removed in
// it survive a power cut as they are now.
bool sync_working_directory();

// Renames `from` to `base`, or to `base` with "_1", "_2", ... when taken,
// never replacing a file; the name it got, "" when it could not be renamed
// (errno set).
std::string rename_to_free_name(const char* from, std::string_view base);
