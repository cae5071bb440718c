// qik_capture: what the management library reports about this server, read
// without a single write, and written as a bench file (docs/bench.md) that
// the simulated library and tool replay, so that a package can be tried
// against the server away from it.
//
// Reading keeps the library's answers as they came: the records, the call
// results, the bytes. The writer alone decides what they say, so that odd
// records from a library reach one place that is tried on arbitrary input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adpm/adpm.h"
#include "engine/tool_command.h"

inline constexpr const char* CaptureDefaultName = "bench.json";
// As the utility asks for a service name.
inline constexpr std::size_t ServiceNameSize = 16;
// A count past this is not believed: the functions after it are not read.
inline constexpr uint32_t MaxCapturedFunctions = 4096;
// The largest extended VPD blob asked for when it does not fit the buffer
// the utility offers.
inline constexpr uint32_t MaxExtVpdBytes = 64 * 1024;
// The NVRAM size is looked for up to here.
inline constexpr uint32_t MaxNvramBytes = 16 * 1024 * 1024;

struct FunctionCapture {
    uint32_t handle = 0;  // as the handle list gives it
    uint32_t nameResult = AdpmSuccess;
    std::array<char, ServiceNameSize> serviceName{};
    uint32_t phyNicResult = AdpmSuccess;
    PhyNicRecord phyNic{};
    uint32_t infoResult = AdpmSuccess;
    NicInfoExRecord info{};
};

// Functions of one bus and device share their adapter's firmware, NVRAM and
// extended VPD, and the library reports them only through an enabled one.
struct AdapterCapture {
    std::vector<std::size_t> functions;      // into Capture::functions, in their order
    std::optional<std::size_t> readThrough;  // none: no function of it is enabled

    uint32_t firmwareResult = AdpmSuccess;
    FirmwareInfoRecord firmware{};

    uint32_t extVpdResult = AdpmSuccess;
    uint32_t extVpdClaimed = 0;   // the length the library answered
    std::vector<uint8_t> extVpd;  // the bytes it delivered

    uint32_t vpdResult = AdpmSuccess;  // of the raw read, when the utility's read fails
    std::vector<uint8_t> vpd;  // the PCI VPD area from VpdNvramOffset, as the utility reads it

    uint32_t nvramSize = 0;  // 0: not learned

    // With the tool only ("--nvram").
    std::optional<int> probeExit;  // "dir"
    std::optional<int> dumpExit;   // "dumpnvram"
    std::vector<uint8_t> nvram;    // the dump, cut to nvramSize
    std::string toolProblem;       // why the tool was not asked or its answer not used
};

struct Capture {
    uint32_t major = 0, minor = 0, build = 0;
    uint32_t initResult = AdpmSuccess;
    uint32_t countResult = AdpmSuccess;
    uint32_t count = 0;  // as the library reported it
    uint32_t handlesResult = AdpmSuccess;
    std::vector<FunctionCapture> functions;
    std::vector<AdapterCapture> adapters;
    bool withNvram = false;
    bool anonymized = false;
};

// The functions grouped by bus and device in the order they first appear; a
// function without its record is an adapter of its own.
std::vector<AdapterCapture> group_functions(const std::vector<FunctionCapture>& functions);

// Reads everything through the library's calls, initialising and releasing
// it; with `withNvram` also the tool's "dir" and "dumpnvram" of each adapter,
// the dump going to a temporary file outside the working directory.
Capture read_server(const AdpmApi& adpm, const ToolRunner& tools, bool withNvram);

// Replaces every MAC address and every serial-number keyword of the VPD
// images with stand-ins, the same stand-in for the same value everywhere,
// each VPD checksum moved by what the change moved.
void anonymize(Capture& capture);

struct BenchText {
    std::string json;
    // What could not be read or looks wrong; each also in a "comment".
    std::vector<std::string> problems;
};

BenchText write_bench(const Capture& capture);
