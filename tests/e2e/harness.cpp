#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bench.h"
#include "record.h"
#include "schema.h"
#include "report/report.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* BenchFile = "bench.json";
constexpr const char* DefaultResultFile = "vxlrfwprgmr.xml";
constexpr const char* InventoryLog = "vxllcllog.txt";
constexpr int TimeoutSeconds = 120;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void spit(const fs::path& path, const std::string& contents) {
    std::error_code ignored;
    fs::remove(path, ignored);  // never write through a link or into a copied binary
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path.string());
    out << contents;
}

void copy_executable(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

std::uintmax_t size_or_zero(const fs::path& path) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

std::string tail_from(const fs::path& path, std::uintmax_t offset) {
    const std::string all = slurp(path);
    return offset < all.size() ? all.substr(static_cast<std::size_t>(offset)) : std::string();
}

// The result file a command line names: the value of the last "-filename".
std::string result_file_of(const std::vector<std::string>& args) {
    std::string name = DefaultResultFile;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "-filename") name = args[i + 1];
    return name;
}

}  // namespace

// ---- processes --------------------------------------------------------------

ProcessResult run_process(const fs::path& dir, const std::string& program,
                          const std::vector<std::string>& args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        // A process group of its own, as a shell starts a job: a signal the
        // bench sends to the group must not reach the tests.
        setpgid(0, 0);
        if (chdir(dir.c_str()) != 0) _exit(126);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);

    ProcessResult result{0, {}, {}};
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.stdoutText, &result.stderrText};
    int open = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(TimeoutSeconds);
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        const int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0) close(p.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (killed) throw std::runtime_error(program + " did not end within " + std::to_string(TimeoutSeconds) + " s");
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exitStatus = 128 + WTERMSIG(status);
    else
        result.exitStatus = -1;
    record_process(dir, program, args, result);
    return result;
}

// ---- Scratch ----------------------------------------------------------------

Scratch::Scratch(const json& bench) {
    std::string pattern = (fs::temp_directory_path() / "qik_e2e_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    dir_ = pattern;
    copy_executable(QIK_PROGRAMMER_PATH, dir_ / "qik_programmer");
    copy_executable(QIK_PLAN_PATH, dir_ / "qik_plan");
    copy_executable(SIM_LIBRARY_PATH, dir_ / "libadpm_x64.so.6");
    copy_executable(SIM_TOOL_PATH, dir_ / "nicflsh");
    set_bench(bench);
}

Scratch::~Scratch() {
    const char* keep = std::getenv("QIK_E2E_KEEP");
    if (keep != nullptr && std::string(keep) == "1") return;
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

fs::path Scratch::dir() const { return dir_; }

void Scratch::write_file(const std::string& name, const std::string& contents) { spit(dir_ / name, contents); }

std::string Scratch::read_file(const std::string& name) const { return slurp(dir_ / name); }

bool Scratch::exists(const std::string& name) const { return fs::exists(dir_ / name); }

void Scratch::remove_file(const std::string& name) {
    std::error_code ignored;
    fs::remove(dir_ / name, ignored);
}

json Scratch::bench() const { return json::parse(read_file(BenchFile)); }

void Scratch::set_bench(const json& bench) { write_file(BenchFile, bench.dump(2) + "\n"); }

RunResult Scratch::run(const std::vector<std::string>& args) {
    const std::string resultFile = result_file_of(args);
    if (!keepOutputs_) {
        remove_file(DefaultResultFile);
        if (!resultFile.empty() && resultFile.find('/') == std::string::npos) remove_file(resultFile);
        remove_file(InventoryLog);
    }
    const std::uintmax_t traceStart = size_or_zero(dir_ / sim::LibraryTraceName);
    const std::uintmax_t logStart = size_or_zero(dir_ / sim::ToolLogName);

    const ProcessResult process = run_process(dir_, "./qik_programmer", args);

    RunResult r{};
    r.exitStatus = process.exitStatus;
    r.stdoutText = process.stdoutText;
    r.stderrText = process.stderrText;
    const fs::path result = fs::path(resultFile).is_absolute() ? fs::path(resultFile) : dir_ / resultFile;
    // A link standing where an output belongs is not an output of the run.
    r.resultFileExists = !resultFile.empty() && fs::is_regular_file(fs::symlink_status(result));
    r.resultXml = r.resultFileExists ? slurp(result) : std::string();
    r.inventoryLogExists = fs::is_regular_file(fs::symlink_status(dir_ / InventoryLog));
    r.inventoryLog = r.inventoryLogExists ? read_file(InventoryLog) : std::string();
    r.libraryTrace = tail_from(dir_ / sim::LibraryTraceName, traceStart);
    r.toolLog = tail_from(dir_ / sim::ToolLogName, logStart);
    try {
        r.bench = bench();
    } catch (const json::exception&) {
        r.bench = json();
    }
    // Whatever a test checks, every document a run leaves must match the
    // published schemas; a killed run leaves what it had written so far.
    if (r.exitStatus < 128) {
        EXPECT_TRUE(valid_outputs(r));
    }
    return r;
}

ProcessResult Scratch::run_plan(const std::vector<std::string>& args) {
    return run_process(dir_, "./qik_plan", args);
}

ProcessResult Scratch::run_tool(const std::vector<std::string>& args) {
    return run_process(dir_, "./nicflsh", args);
}

ProcessResult Scratch::run_inspect(const std::vector<std::string>& args) {
    return run_process(dir_, SIM_INSPECT_PATH, args);
}

json Scratch::inspect() {
    const ProcessResult p = run_inspect({});
    if (p.exitStatus != 0) throw std::runtime_error("adpm_show failed: " + p.stderrText);
    return json::parse(p.stdoutText);
}

std::vector<uint8_t> Scratch::nvram(const std::string& adapter) const {
    const json state = bench();
    const json& a = state.at("adapters").at(adapter);
    return sim::decode_bytes(a.contains("nvram") ? a["nvram"] : json(), sim::DefaultNvramSize, sim::VpdOffset,
                             adapter + ".nvram");
}

std::vector<uint8_t> Scratch::ext_vpd(const std::string& adapter) const {
    const json state = bench();
    const json& a = state.at("adapters").at(adapter);
    if (!a.contains("extVpd") || a["extVpd"].is_null()) return {};
    return sim::decode_bytes(a["extVpd"], 0, 0, adapter + ".extVpd");
}

// ---- demo and helpers -------------------------------------------------------

json demo_bench() { return json::parse(slurp(fs::path(DEMO_DIR) / "bench.json")); }

void copy_demo_files(Scratch& scratch) {
    for (const fs::directory_entry& entry : fs::directory_iterator(DEMO_DIR)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        if (name == "bench.json" || entry.path().extension() == ".md") continue;
        scratch.write_file(name, slurp(entry.path()));
    }
}

bool well_formed_xml(const std::string& xml) {
    std::string pattern = (fs::temp_directory_path() / "qik_xml_XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return false;
    close(fd);
    spit(pattern, xml);
    const ProcessResult p = run_process(fs::temp_directory_path(), "/usr/bin/xmllint", {"--noout", pattern});
    std::error_code ignored;
    fs::remove(pattern, ignored);
    return p.exitStatus == 0;
}

json empty_bench() {
    return {{"library", {{"version", "7.0.0"}, {"trace", true}}},
            {"tool", {{"log", true}}},
            {"adapters", json::object()},
            {"functions", json::array()}};
}

std::string error_form(unsigned code) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SVMExecution lang=\"en\">\n"
           "\t<SPStatus result=\"false\" code=\"1\">\n\t\t<Message id=\"" +
           std::to_string(code) + "\">\n\t\t\t" + messages[code] +
           "\n\t\t</Message>\n\t</SPStatus>\n\t<RebootRequired>0</RebootRequired>\n</SVMExecution>\n";
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// ---- InProcessLibrary -------------------------------------------------------

InProcessLibrary::InProcessLibrary(const Scratch& scratch) : previousDir_(fs::current_path()) {
    // A copy per scratch directory, so every instance has its own state.
    std::string problem;
    if (!library_.load((scratch.dir() / AdpmLibraryName).c_str(), api_, problem))
        throw std::runtime_error(problem);
    fs::current_path(scratch.dir());
}

InProcessLibrary::~InProcessLibrary() {
    std::error_code ignored;
    fs::current_path(previousDir_, ignored);
}
