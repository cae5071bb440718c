#include "common/program_options.h"

#include <cstdio>

InfoRequest info_request(std::string_view arg) {
    if (arg == "-?" || arg == "-h" || arg == "-help" || arg == "--help") return InfoRequest::Usage;
    if (arg == "-ver" || arg == "--version") return InfoRequest::Version;
    return InfoRequest::None;
}

int answer_info_request(InfoRequest request, const char* program, const char* usage) {
    const int written =
        request == InfoRequest::Version
            ? std::printf("%s %u.%u.%u\n", program, ProgramMajor, ProgramMinor, ProgramBuild)
            : std::fputs(usage, stdout);
    return written < 0 || std::fflush(stdout) != 0 ? 1 : 0;
}
