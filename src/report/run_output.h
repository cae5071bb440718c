// The run's two output files: the result document (a file, or standard
// output with "-print") and the inventory log. While they are open the
// globals ResultStream and InventoryLogStream point at them.
#pragma once

#include <string>

#include "common/file.h"

class RunOutput {
  public:
    RunOutput() = default;
    RunOutput(const RunOutput&) = delete;
    RunOutput& operator=(const RunOutput&) = delete;
    ~RunOutput();

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

  private:
    void check(bool written, const std::string& what);

    File result_;
    File log_;
    std::string resultName_;
    bool toStandardOutput_ = false;
    bool written_ = true;
};
