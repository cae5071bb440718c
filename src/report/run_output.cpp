#include "report/run_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/report.h"

namespace {

const char* reason(int error) {
    return error == ELOOP ? "a symbolic link stands there" : std::strerror(error);
}

}  // namespace

bool RunOutput::open_result(const char* fileName, bool toStandardOutput) {
    toStandardOutput_ = toStandardOutput;
    if (toStandardOutput) {
        resultName_ = "standard output";
        return true;
    }
    resultName_ = fileName;
    result_ = directory_.open_output(fileName, OutputMode::Truncate);
    if (!result_) {
        std::fprintf(stderr, "qik_programmer: cannot open the result file %s: %s\n", fileName,
                     reason(errno));
        return false;
    }
    return true;
}

bool RunOutput::open_log() {
    log_ = directory_.open_output(InventoryLogName, OutputMode::Truncate);
    if (!log_) {
        std::fprintf(stderr, "qik_programmer: cannot open the inventory log %s: %s\n",
                     InventoryLogName, reason(errno));
        return false;
    }
    return true;
}

void RunOutput::close_log() {
    if (log_)
        check(close_output_file(std::move(log_)),
              std::string("the inventory log ") + InventoryLogName);
}

bool RunOutput::close() {
    close_log();
    const std::string what = "the result document to " + resultName_;
    if (toStandardOutput_)
        check(std::fflush(stdout) == 0 && std::ferror(stdout) == 0, what);
    else if (result_)
        check(close_output_file(std::move(result_)), what);
    return written_;
}

void RunOutput::check(bool written, const std::string& what) {
    if (written) return;
    written_ = false;
    std::fprintf(stderr, "qik_programmer: cannot write %s: %s\n", what.c_str(),
                 std::strerror(errno));
}
