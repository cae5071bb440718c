// The run driver: command line, output streams, start-up checks, the run
// sequence and the exit status.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "adapter/adapter_record.h"
#include "adpm/adpm.h"

inline constexpr std::size_t ResultFileNameMax = 255;
inline constexpr std::size_t SkipListMax = 32;

struct CommandLine {
    char resultFileName[ResultFileNameMax + 1];
    bool print;
    char skipList[SkipListMax + 1];
    bool force;
    // Why the command line is invalid usage: the word or the limit.
    std::string problem;
};

enum class CommandAction { Run, Version, Help, Invalid };

// Fills `line` from the arguments; what the command line asks for.
CommandAction parse_command_line(int argc, const char* const* argv, CommandLine& line);

// 0 when the loaded library is recent enough, else 1.
int check_adpm_ver(const AdpmApi& adpm);
// Every operating system is accepted.
int check_os_ver();

// Exit bits over the final statuses of the records the document reports
// (the matched ones): 0x04 for 5, 0x08 for 18, 0x10 for any other failure.
unsigned exit_flags(std::span<const AdapterRecord> records);

// The whole program; returns the process exit status.
int run_qik_programmer(int argc, const char* const* argv);
