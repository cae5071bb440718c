// Preloaded (LD_PRELOAD) into the one process a whole-run measurement times:
// when that process exits, its own CPU time and peak memory, as getrusage
// RUSAGE_SELF gives them (its children excluded), go to the file named by
// QIK_RUSAGE_OUT as "user-us system-us peak-KiB". Both variables are cleared
// at load, so the shells and tools the process starts neither load this nor
// report.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A plain array: a std::string would be destroyed before the report runs.
char outPath[4096];

__attribute__((constructor)) void take_report_path() {
    if (const char* path = std::getenv("QIK_RUSAGE_OUT"))
        std::snprintf(outPath, sizeof outPath, "%s", path);
    unsetenv("QIK_RUSAGE_OUT");
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) void report_own_usage() {
    if (outPath[0] == '\0') return;
    rusage self{};
    if (getrusage(RUSAGE_SELF, &self) != 0) return;
    std::FILE* out = std::fopen(outPath, "w");
    if (out == nullptr) return;
    const auto micros = [](const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; };
    std::fprintf(out, "%ld %ld %ld\n", micros(self.ru_utime), micros(self.ru_stime),
                 self.ru_maxrss);
    std::fclose(out);
}

}  // namespace
