// A fresh working directory for one test, so files the utility makes by
// fixed names in the working directory never meet another test's.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qik_test_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    static void write(const std::string& name, const std::string& contents) {
        std::ofstream(name, std::ios::binary) << contents;
    }
    static std::string read(const std::string& name) {
        std::ostringstream text;
        text << std::ifstream(name, std::ios::binary).rdbuf();
        return text.str();
    }
    static bool exists(const std::string& name) { return std::filesystem::exists(name); }

  private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};
