#include "record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string test_name() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        info ? std::string(info->test_suite_name()) + "." + info->name() : "outside-a-test";
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

bool is_executable(const fs::path& path) {
    return (fs::status(path).permissions() & fs::perms::owner_exec) != fs::perms::none;
}

// A large file (an image, a bench's NVRAM) by its size and a hash.
std::string contents_of(const fs::path& path) {
    constexpr std::size_t LargeFile = 16 * 1024;
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string bytes = text.str();
    if (bytes.size() <= LargeFile) return bytes;
    std::uint64_t hash = 0xcbf29ce484222325;  // FNV-1a
    for (const char byte : bytes) hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3;
    std::ostringstream summary;
    summary << bytes.size() << " bytes, FNV-1a " << std::hex << hash << "\n";
    return summary.str();
}

// Every entry of the directory, sorted by name.
std::string directory_state(const fs::path& dir) {
    std::map<std::string, std::string> entries;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        const fs::path& path = entry.path();
        const fs::file_status status = fs::symlink_status(path);
        std::string what;
        if (fs::is_symlink(status))
            what = "link to " + fs::read_symlink(path, ec).string();
        else if (fs::is_directory(status))
            what = "directory";
        else if (fs::is_regular_file(status) && is_executable(path))
            what = "executable";  // a build's size would differ from the next build's
        else if (fs::is_regular_file(status))
            what = "\n" + contents_of(path);
        else
            what = "other";
        entries[path.filename().string()] = what;
    }
    std::string state;
    for (const auto& [name, what] : entries) state += "--- " + name + ": " + what + "\n";
    return state;
}

// qik_capture's NVRAM folder gets a random suffix each run.
std::string without_temporary_names(std::string text) {
    static const std::regex temporary("qik_capture\\.[A-Za-z0-9]{6}");
    return std::regex_replace(text, temporary, "qik_capture.XXXXXX");
}

}  // namespace

void record_process(const fs::path& dir, const std::string& program,
                    const std::vector<std::string>& args, const ProcessResult& result) {
    const char* root = std::getenv("QIK_E2E_RECORD");
    const std::string name = fs::path(program).filename().string();
    const bool ours = name.starts_with("qik_") || name == "nicflsh" || name == "adpm_show";
    if (root == nullptr || *root == '\0' || !ours) return;
    static std::map<std::string, int> runsOfTest;
    const std::string test = test_name();
    const fs::path folder = fs::path(root) / test;
    fs::create_directories(folder);
    std::ostringstream record;
    record << "command: " << name;
    for (const std::string& arg : args) record << ' ' << arg;
    record << "\nexit status: " << result.exitStatus << "\n--- standard output\n"
           << result.stdoutText << "\n--- standard error\n"
           << result.stderrText << "\n"
           << directory_state(dir);
    std::ofstream(folder / (std::to_string(++runsOfTest[test]) + ".txt"), std::ios::binary)
        << without_temporary_names(replace_all(record.str(), dir.string(), "<dir>"));
}
