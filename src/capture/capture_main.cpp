// qik_capture: run where the utility runs, beside the adapter maker's
// library (and, with --nvram, its tool), it writes what the library reports
// as a bench file, and changes nothing on the server.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "adpm/adpm.h"
#include "capture/capture.h"
#include "common/file.h"
#include "common/text.h"
#include "engine/tool_command.h"

namespace {

constexpr int ExitCaptured = 0;
constexpr int ExitUsage = 1;
constexpr int ExitNoLibrary = 2;
constexpr int ExitCapturedWithGaps = 3;
constexpr int ExitOutputFailed = 4;

constexpr const char* Usage = "usage: qik_capture [-o FILE] [--nvram] [--anonymize]\n";

struct Options {
    std::string output = CaptureDefaultName;
    bool outputNamed = false;
    bool nvram = false;
    bool anonymize = false;
    bool help = false;
    std::string problem;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc && options.problem.empty(); ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--nvram") {
            options.nvram = true;
        } else if (arg == "--anonymize") {
            options.anonymize = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "-o" && i + 1 < argc && argv[i + 1][0] != '\0') {
            options.output = argv[++i];
            options.outputNamed = true;
        } else if (arg == "-o") {
            options.problem = "\"-o\" needs a file name";
        } else {
            options.problem = "unknown option " + quoted_word(arg);
        }
    }
    return options;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool write_output(const std::string& path, const std::string& text) {
    File file = open_output_file(path.c_str(), OutputMode::Truncate);
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    return close_output_file(std::move(file)) && written;
}

int capture(const Options& options) {
    AdpmLibrary library;
    AdpmApi adpm{};
    std::string problem;
    if (!library.load(AdpmLibraryPath, adpm, problem)) {
        std::fprintf(stderr, "qik_capture: %s\n", problem.c_str());
        return ExitNoLibrary;
    }
    Capture server = read_server(adpm, ToolRunner(), options.nvram);
    if (options.anonymize) anonymize(server);
    const BenchText bench = write_bench(server);
    for (const std::string& p : bench.problems)
        std::fprintf(stderr, "qik_capture: %s\n", printable(p).c_str());
    if (!write_output(options.output, bench.json)) {
        std::fprintf(stderr, "qik_capture: cannot write %s: %s\n",
                     quoted_word(options.output).c_str(), std::strerror(errno));
        return ExitOutputFailed;
    }
    std::printf("qik_capture: %zu functions on %zu adapters written to %s\n",
                server.functions.size(), server.adapters.size(), options.output.c_str());
    return bench.problems.empty() ? ExitCaptured : ExitCapturedWithGaps;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    if (!options.problem.empty() || options.help) {
        if (!options.problem.empty())
            std::fprintf(stderr, "qik_capture: %s\n", options.problem.c_str());
        std::fputs(Usage, options.help ? stdout : stderr);
        return options.help ? ExitCaptured : ExitUsage;
    }
    // The default name is the simulated bench's own file: a capture never
    // replaces it unasked.
    if (!options.outputNamed && exists(options.output)) {
        std::fprintf(stderr, "qik_capture: %s exists; name the capture with -o FILE\n",
                     options.output.c_str());
        return ExitUsage;
    }
    return capture(options);
}
