// The options every program of the package takes for its usage and its
// version, in each form people try first.
#pragma once

#include <string_view>

// The package's version.
inline constexpr unsigned ProgramMajor = 227, ProgramMinor = 0, ProgramBuild = 1;

enum class InfoRequest { None, Usage, Version };

// "-?", "-h", "-help" and "--help" ask for the usage; "-ver" and "--version"
// for the version.
InfoRequest info_request(std::string_view arg);

// Prints what was asked on standard output: `usage` as it is, or the
// program's name and the package's version. The exit status.
int answer_info_request(InfoRequest request, const char* program, const char* usage);
