// End-to-end harness: a scratch working directory laid out from a bench
// description, the real qik_programmer binary run in it against the
// simulated library and tool, and everything the run left behind.
//
//   Scratch s(demo_bench());
//   copy_demo_files(s);
//   RunResult r = s.run({"-force"});
//   EXPECT_EQ(r.exitStatus, 0);
//   EXPECT_THAT(r.toolLog, HasSubstr("upgrade -noreset -F -bta"));
//
// docs/bench.md describes the bench file, the trace and log formats and the
// fault injection.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adpm/adpm.h"

// What one run of the utility left behind.
struct RunResult {
    int exitStatus;          // exit status; 128 + N when killed by signal N
    bool resultFileExists;   // the result file ("-filename" value, else "vxlrfwprgmr.xml")
    std::string resultXml;   // its contents ("" when it does not exist)
    std::string inventoryLog;  // "vxllcllog.txt" ("" when it does not exist)
    std::string stdoutText;
    std::string libraryTrace;  // the library trace lines this run added
    std::string toolLog;       // the tool log lines this run added
    nlohmann::json bench;      // final bench state
    // Beyond the base set:
    bool inventoryLogExists;
    std::string stderrText;
};

// The exit status and output of one child process.
struct ProcessResult {
    int exitStatus;  // 128 + N when killed by signal N
    std::string stdoutText;
    std::string stderrText;
};

class Scratch {
public:
    // A fresh temporary directory holding qik_programmer, qik_plan,
    // libadpm_x64.so.6, nicflsh and `bench` as "bench.json".
    explicit Scratch(const nlohmann::json& bench);
    // Removes the directory (kept when the environment has QIK_E2E_KEEP=1).
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::filesystem::path dir() const;
    // Writes a file of the working directory (a file already there is
    // replaced, never written through).
    void write_file(const std::string& name, const std::string& contents);
    std::string read_file(const std::string& name) const;  // "" when missing
    bool exists(const std::string& name) const;
    void remove_file(const std::string& name);

    nlohmann::json bench() const;  // the current bench state
    void set_bench(const nlohmann::json& bench);

    // Runs "./qik_programmer ARGS..." in the directory. The result file and
    // the inventory log of an earlier run are removed first, so that the
    // result shows this run only (see keep_outputs).
    RunResult run(const std::vector<std::string>& args = {});

    // Beyond the base set:
    // Keep the result file and inventory log of earlier runs before run().
    void keep_outputs(bool keep) { keepOutputs_ = keep; }
    // Runs "./qik_plan ARGS..." in the directory.
    ProcessResult run_plan(const std::vector<std::string>& args = {});
    // Runs "./nicflsh ARGS..." directly (no shell) in the directory.
    ProcessResult run_tool(const std::vector<std::string>& args);
    // What the library reports, as adpm_show prints it (a separate process).
    nlohmann::json inspect();
    // Runs adpm_show ARGS... in the directory ("--summary", "--enable eth5").
    ProcessResult run_inspect(const std::vector<std::string>& args);
    // The adapter's NVRAM image and extended VPD blob as the bench holds them.
    std::vector<uint8_t> nvram(const std::string& adapter) const;
    std::vector<uint8_t> ext_vpd(const std::string& adapter) const;
    // Lines appended to the library trace and the tool log so far.
    std::string library_trace() const { return read_file("adpm_trace.txt"); }
    std::string tool_log() const { return read_file("nicflsh_log.txt"); }

private:
    std::filesystem::path dir_;
    bool keepOutputs_ = false;
};

// examples/demo/bench.json, parsed.
nlohmann::json demo_bench();
// The demo's table, images, part-number module files and VPD template.
void copy_demo_files(Scratch& scratch);
// xmllint --noout accepts it.
bool well_formed_xml(const std::string& xml);

// Beyond the base set:

// A bench with no adapter at all; library version 7.0.0.
nlohmann::json empty_bench();
// The exact bytes of the whole-run error document for result code `code`.
std::string error_form(unsigned code);
// The lines of a text, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);
// Runs any program with arguments in `dir`.
ProcessResult run_process(const std::filesystem::path& dir, const std::string& program,
                          const std::vector<std::string>& args);

// The simulated library of a scratch directory loaded into this process,
// for tests of the library itself. While it lives the process works in the
// scratch directory (the library finds its bench there).
class InProcessLibrary {
public:
    explicit InProcessLibrary(const Scratch& scratch);
    ~InProcessLibrary();
    InProcessLibrary(const InProcessLibrary&) = delete;
    InProcessLibrary& operator=(const InProcessLibrary&) = delete;

    const AdpmApi& api() const { return api_; }
    const AdpmApi* operator->() const { return &api_; }

private:
    std::filesystem::path previousDir_;
    AdpmLibrary library_;
    AdpmApi api_{};
};
