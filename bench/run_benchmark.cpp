// The utility's own work in a whole run, without the processes it starts:
// inventory, update sequence and report over 1 to 256 adapter functions,
// with an in-process fake library and a tool command that is counted but not
// run. Set beside the floor's own CPU time (bench/whole_run.sh), this is
// what the utility spends beyond spawning the tool.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "adapter/enabled_note.h"
#include "adapter/inventory.h"
#include "config/config.h"
#include "engine/run_context.h"
#include "engine/update_sequence.h"
#include "report/report.h"
#include "support/fake_adpm.h"
#include "support/vpd_image.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t FunctionsPerAdapter = 4;

// The demo's add-in model: extended VPD, external PHY, every component older
// than the demo table's targets.
FakeFunction add_in_function(uint32_t n) {
    FakeFunction f;
    f.handle = n + 1;
    f.serviceName = "eth" + std::to_string(n);
    f.description = "Vexlor VX7A06 Dual-port 25GbE Adapter";
    f.vendorId = 0x1F3D;
    f.deviceId = 0x7A06;
    f.subVendorId = 0x1C5A;
    f.subDeviceId = 0x5B06;
    f.bus = n / FunctionsPerAdapter + 1;
    f.function = n % FunctionsPerAdapter;
    f.mac = {0x02,
             0,
             0,
             static_cast<uint8_t>(n >> 16),
             static_cast<uint8_t>(n >> 8),
             static_cast<uint8_t>(n)};
    f.firmware.bootcodeVersion = 0x0A02;  // 2.10
    std::snprintf(f.firmware.ipmiVersion, sizeof f.firmware.ipmiVersion, "3.1.4");
    std::snprintf(f.firmware.uefiVersion, sizeof f.firmware.uefiVersion, "8.1.0");
    std::snprintf(f.firmware.extPhyVersion, sizeof f.firmware.extPhyVersion, "1.0105");
    f.firmware.extVpd = 1;
    f.extVpd = make_vpd("Vexlor VX7A06 Dual-port 25GbE Adapter",
                        {{"PN", "VX7A06-2P"}, {"MN", "1F3D"}, {"V0", "FFV2.3.0"}}, 40);
    return f;
}

// A scratch working directory holding the demo's table and VPD template.
struct ScratchDirectory {
    fs::path previous = fs::current_path();
    fs::path dir;
    ScratchDirectory() {
        char pattern[] = "/tmp/qik_run_benchXXXXXX";
        dir = mkdtemp(pattern);
        for (const char* name : {"vxlkqfw.cfg", "vpd_7a06.txt"})
            fs::copy_file(fs::path(DEMO_DIR) / name, dir / name);
        fs::current_path(dir);
    }
    ~ScratchDirectory() {
        fs::current_path(previous);
        fs::remove_all(dir);
    }
};

void BM_WholeRunWithoutSpawning(benchmark::State& state) {
    const ScratchDirectory cwd;
    const ConfigList config = read_config("vxlkqfw.cfg");
    std::FILE* devnull = std::fopen("/dev/null", "w");
    long commands = 0;
    const ToolRunner tools([&commands](const char*) {
        ++commands;
        return 0;
    });
    const volatile std::sig_atomic_t neverStop = 0;
    const auto functions = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        FakeAdpm& fake = install_fake_adpm();
        for (uint32_t n = 0; n < functions; ++n) fake.functions.push_back(add_in_function(n));
        const RunContext run{
            .adpm = fake.api,
            .tools = tools,
            .directory = process_working_directory(),
            .stopRequested = neverStop,
            .force = false,
            .progress = Progress(),
            .vpdDiagnostics = stdout,
            .result = devnull,
            .inventoryLog = devnull,
        };
        std::vector<AdapterRecord> records(functions);
        take_inventory(run.adpm, run.directory, records, config.head(), "");
        run_updates(run, records);
        print_qik_execution(run.result, run.inventoryLog, records);
        restore_device_state(run.adpm, run.directory, records);
    }
    std::fclose(devnull);
    state.counters["commands"] =
        benchmark::Counter(static_cast<double>(commands), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations() * functions);
}
BENCHMARK(BM_WholeRunWithoutSpawning)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
