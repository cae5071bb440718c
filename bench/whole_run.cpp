// Whole-run measurement beside the floor (bench/whole_run.sh drives it).
//
//   qik_whole_run prepare DEMO-DIR DIR N
//       writes DIR/bench.json: N adapter functions, four to an adapter, each
//       adapter the demo's add-in model (extended VPD, external PHY, every
//       component older than the demo table's), library tracing and tool log
//       off; and copies the demo's table, images and templates into DIR.
//   qik_whole_run measure DIR RUNS PRELOAD
//       runs ./qik_programmer and ./qik_floor commands.txt in DIR, in turn,
//       RUNS times each, and prints per run and as medians: wall time, the
//       process's own CPU time and its peak memory (getrusage RUSAGE_SELF,
//       reported by the PRELOAD library at exit).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int FunctionsPerAdapter = 4;

json bench_of(const json& demo, int functions) {
    json bench = {{"library", {{"version", "6.24.2"}, {"trace", false}, {"faults", json::array()}}},
                  {"tool", {{"log", false}, {"faults", json::array()}}},
                  {"adapters", json::object()},
                  {"functions", json::array()}};
    for (int n = 0; n < functions; ++n) {
        const int adapter = n / FunctionsPerAdapter;
        const std::string name = "a" + std::to_string(adapter);
        if (n % FunctionsPerAdapter == 0) {
            bench["adapters"][name] = demo["adapters"]["addin"];
            bench["adapters"][name]["bus"] = adapter + 1;
        }
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:00:00:%02x:%02x:%02x", (n >> 16) & 0xFF, (n >> 8) & 0xFF,
                      n & 0xFF);
        bench["functions"].push_back({{"serviceName", "eth" + std::to_string(n)},
                                      {"adapter", name},
                                      {"function", n % FunctionsPerAdapter},
                                      {"mac", mac}});
    }
    return bench;
}

int prepare(const fs::path& demoDir, const fs::path& dir, int functions) {
    std::ifstream in(demoDir / "bench.json");
    const json demo = json::parse(in);
    fs::create_directories(dir);
    for (const fs::directory_entry& entry : fs::directory_iterator(demoDir)) {
        const fs::path name = entry.path().filename();
        if (entry.is_regular_file() && name != "bench.json" && name.extension() != ".md")
            fs::copy_file(entry.path(), dir / name, fs::copy_options::overwrite_existing);
    }
    std::ofstream(dir / "bench.json") << bench_of(demo, functions).dump() << "\n";
    return 0;
}

struct Sample {
    double wallMs;
    double cpuMs;  // user + system, the process alone
    long peakKiB;
};

// Runs PROGRAM ARGS in `dir` with the preloaded reporter; its output thrown
// away, as the utility's is when a framework runs it.
Sample run_once(const fs::path& dir, const std::vector<std::string>& words,
                const fs::path& preload) {
    const fs::path report = dir / "rusage.txt";
    fs::remove(report);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        if (chdir(dir.c_str()) != 0) _exit(126);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("QIK_RUSAGE_OUT", report.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
    long userUs = 0, systemUs = 0, peakKiB = 0;
    std::ifstream(report) >> userUs >> systemUs >> peakKiB;
    if (peakKiB == 0) std::fprintf(stderr, "%s reported nothing\n", words[0].c_str());
    return {wall.count(), static_cast<double>(userUs + systemUs) / 1000.0, peakKiB};
}

template <typename Field>
double median(std::vector<Sample> samples, Field field) {
    std::vector<double> values;
    for (const Sample& s : samples) values.push_back(static_cast<double>(s.*field));
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int measure(const fs::path& dir, int runs, const fs::path& preload) {
    std::vector<Sample> utility, floor;
    std::printf("%-8s %10s %10s %10s %10s %10s %10s\n", "run", "wall ms", "floor", "cpu ms",
                "floor", "peak KiB", "floor");
    for (int i = 0; i < runs; ++i) {
        utility.push_back(run_once(dir, {"./qik_programmer"}, preload));
        floor.push_back(run_once(dir, {"./qik_floor", "commands.txt"}, preload));
        const Sample& u = utility.back();
        const Sample& f = floor.back();
        std::printf("%-8d %10.2f %10.2f %10.2f %10.2f %10ld %10ld\n", i + 1, u.wallMs, f.wallMs,
                    u.cpuMs, f.cpuMs, u.peakKiB, f.peakKiB);
    }
    const double wall = median(utility, &Sample::wallMs),
                 floorWall = median(floor, &Sample::wallMs);
    const double cpu = median(utility, &Sample::cpuMs), floorCpu = median(floor, &Sample::cpuMs);
    std::printf("%-8s %10.2f %10.2f %10.2f %10.2f %10.0f %10.0f\n", "median", wall, floorWall, cpu,
                floorCpu, median(utility, &Sample::peakKiB), median(floor, &Sample::peakKiB));
    std::printf("ratio    wall %.3f  cpu %.3f\n", wall / floorWall, cpu / floorCpu);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "prepare")
        return prepare(args[1], args[2], std::stoi(args[3]));
    if (args.size() == 4 && args[0] == "measure")
        return measure(args[1], std::stoi(args[2]), args[3]);
    std::fprintf(stderr,
                 "usage: qik_whole_run prepare DEMO-DIR DIR N\n"
                 "       qik_whole_run measure DIR RUNS PRELOAD\n");
    return 2;
}
