// The files the bench keeps in the working directory: the state file that
// the library and the tool share, and the lines they append to their trace
// and log.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "values.h"

namespace sim {

inline constexpr const char* BenchFileName = "bench.json";
// Names the bench file instead of BenchFileName, so that a package laid out
// in another directory can still act on a simulated server's state.
inline constexpr const char* BenchPathVariable = "QIK_BENCH";
inline constexpr const char* LibraryTraceName = "adpm_trace.txt";
inline constexpr const char* ToolLogName = "nicflsh_log.txt";

// The bench file: $QIK_BENCH when set, else bench.json in the working
// directory.
std::filesystem::path bench_path();

// The bench file. It is read only when it changed on disk (inode, size,
// modification time) and written atomically (a temporary file renamed over
// it), so that the library and the tool, in different processes, always act
// on the latest state.
//
// It is written with every member of the top two levels on a line of its
// own (so each adapter and each function is one line). When the file read
// again has the same lines but for some member lines, only those members are
// parsed again: a tool command that changed one adapter costs the library
// one adapter, not the whole server.
class StateFile {
  public:
    explicit StateFile(std::filesystem::path path = bench_path()) : path_(std::move(path)) {}

    // Reads the file when it is new or changed; true when it was (re)read.
    // Throws BenchError when the file is missing or not valid JSON.
    bool refresh();
    // Writes the state back.
    void save();

    json& data() { return data_; }
    const std::filesystem::path& path() const { return path_; }
    bool loaded() const { return loaded_; }

    // One line of the written form; `at` names the member a value line holds.
    struct Line {
        std::string text;
        std::optional<json::json_pointer> at;
        std::size_t valueStart = 0;  // where the member's value begins in `text`
    };

    // For a process that needs a few members only: reads the file's lines
    // without parsing them. False when the file is not in the written form
    // (then use refresh()). `data()` stays empty until members are taken.
    bool read_lines();
    const std::vector<Line>& lines() const { return lines_; }
    // The member that line `i` holds, parsed.
    json member(std::size_t i) const;
    // Writes back the members at `members` (each one line of the file read
    // by read_lines) from data(); every other line stays as it was.
    void save_members(const std::vector<json::json_pointer>& members);

  private:
    bool patch(const std::vector<std::string>& text);
    void parse(const std::string& text);
    void write_lines();

    std::filesystem::path path_;
    json data_;
    bool loaded_ = false;
    struct stat identity_ {};
    std::vector<Line> lines_;  // the state in its written form
};

// Appends one line to a file in the working directory.
void append_line(const char* file, const std::string& line);

}  // namespace sim
