// The run's two output files in its working directory: the result document
// (a file, or standard output with "-print") and the inventory log.
#pragma once

#include <cstdio>
#include <string>

#include "common/file.h"
#include "common/working_directory.h"

class RunOutput {
  public:
    explicit RunOutput(const WorkingDirectory& directory) : directory_(directory) {}
    RunOutput(const RunOutput&) = delete;
    RunOutput& operator=(const RunOutput&) = delete;

    // Opens the result file, or takes standard output. False, said on
    // standard error, when the file cannot be opened.
    bool open_result(const char* fileName, bool toStandardOutput);
    // False, said on standard error, when the log cannot be opened.
    bool open_log();
    // Closes the log once the report is written.
    void close_log();
    // Closes the result; false, said on standard error, when anything
    // written to either file did not reach it.
    bool close();

    // Where the result document goes, and the log; none when not open.
    std::FILE* result() const { return toStandardOutput_ ? stdout : result_.get(); }
    std::FILE* log() const { return log_.get(); }

  private:
    void check(bool written, const std::string& what);

    const WorkingDirectory& directory_;
    File result_;
    File log_;
    std::string resultName_;
    bool toStandardOutput_ = false;
    bool written_ = true;
};
