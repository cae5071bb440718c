#include "engine/tool_command.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "adpm/adpm.h"
#include "common/text.h"

namespace {

using CommandText = char[CommandLineSize];

// Option texts the tool knows under another name. A row applies when the
// file name begins with its prefix (the empty prefix: every file).
struct OptionRename {
    std::string_view option;
    std::string_view filePrefix;
    const char* toolOption;
};

constexpr OptionRename OptionRenames[] = {
    {"-ipmi", "", "-mgmt"},
    {"-ib", "ib6bt", "-ib_ipv4n6"},
};

const char* tool_option(const char* option, std::string_view file) {
    for (const OptionRename& row : OptionRenames)
        if (option == row.option && starts_with(file, row.filePrefix)) return row.toolOption;
    return option;
}

// A command cut short by the buffer would name the wrong adapter or file, so
// one that does not fit is never run.
bool fits(int written) {
    return written >= 0 && static_cast<std::size_t>(written) < CommandLineSize;
}

bool build_command(CommandText& line, const char* adapterId, const char* option, const char* file,
                   uint32_t installedVersion, bool force) {
    const std::string_view opt = option;
    if (opt == "dump_nvram")
        return fits(std::snprintf(line, CommandLineSize, "%s%s dumpnvram %s >/dev/null 2>&1",
                                  ToolPrefix, adapterId, file));
    if (opt == "restore_nvram")
        return fits(std::snprintf(line, CommandLineSize, "%s%s restorenvram %s >/dev/null 2>&1",
                                  ToolPrefix, adapterId, file));
    if (opt == "-cfx" && installedVersion == 0)
        return fits(std::snprintf(line, CommandLineSize, "%s%s prg %s %s >/dev/null 2>&1",
                                  ToolPrefix, adapterId, option, file));
    const char* forcePrefix = force ? "-F " : "";
    return fits(std::snprintf(line, CommandLineSize,
                              "%s%s upgrade -noreset %s%s %s >/dev/null 2>&1", ToolPrefix,
                              adapterId, forcePrefix, tool_option(option, file), file));
}

bool ended_normally(int waitStatus) {
    return (waitStatus & 0x7F) == 0;
}

// A tool killed by a signal has not finished its write, whatever number the
// signal carries, so only a normal exit can be a success.
bool tool_succeeded(int waitStatus) {
    const int code = decode_exit_status(waitStatus);
    return ended_normally(waitStatus) && (code == 0 || code == 35 || code == 95);
}

ToolOutcome outcome_of_failure(int code) {
    if (code == ToolExitWriteProtect) return {ToolWriteProtect, code};
    if (code == ToolExitDriverNotSupported) return {ToolDriverNotSupported, code};
    return {ToolError, code};
}

// Nothing ran, so there is no exit code of the tool's.
constexpr ToolOutcome Refused{ToolError, 0};

}  // namespace

int decode_exit_status(int waitStatus) {
    return ended_normally(waitStatus) ? (waitStatus >> 8) & 0xFF : waitStatus;
}

std::optional<std::string> probe_command_line(const char* adapterId) {
    CommandText line;
    if (!fits(std::snprintf(line, CommandLineSize, "%s%s %s >/dev/null 2>&1", ToolPrefix, adapterId,
                            ProbeOption)))
        return std::nullopt;
    return line;
}

std::optional<std::string> tool_command_line(const char* adapterId, const char* option,
                                             const char* file, uint32_t installedVersion,
                                             bool force) {
    CommandText line;
    if (!build_command(line, adapterId, option, file, installedVersion, force)) return std::nullopt;
    return line;
}

int ToolRunner::exit_code_of(const std::string& commandLine) const {
    return decode_exit_status(run_(commandLine.c_str()));
}

int ToolRunner::probe(const char* adapterId) const {
    const std::optional<std::string> line = probe_command_line(adapterId);
    return line ? exit_code_of(*line) : -1;
}

ToolOutcome ToolRunner::run(uint32_t adapterType, const std::optional<std::string>& line) const {
    if (adapterType != AdapterTypeHandled || !line) return Refused;
    const int waitStatus = run_(line->c_str());
    if (tool_succeeded(waitStatus)) return {ToolSuccess, 0};
    return outcome_of_failure(decode_exit_status(waitStatus));
}

ToolOutcome ToolRunner::program(const char* adapterId, uint32_t adapterType, const char* option,
                                const char* file, uint32_t installedVersion, bool force) const {
    return run(adapterType, tool_command_line(adapterId, option, file, installedVersion, force));
}
