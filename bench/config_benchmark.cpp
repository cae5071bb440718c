#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <malloc.h>
#include <unistd.h>

#include "config/config.h"

namespace {

constexpr int TableRows = 10000;

// A table of the usual shape: one header naming every column kind, rows
// with CRLF ends and a comment now and then.
std::string generated_table() {
    std::string table =
        "vxlkqfw.cfg generated\r\n"
        "! ven device subven subdev crv family bc bta ncsi extphy l2fw iscsib uefi fcoeb cfx VPD "
        "SystemName\r\n";
    char row[512];
    for (int i = 0; i < TableRows; ++i) {
        if (i % 100 == 0) table += "# next block of models\r\n";
        std::snprintf(
            row, sizeof row,
            "14e4 %04x 1028 %04x a0 7.%d.0 bc_%d.bin,7.12 bta_%d.bin,7.12.3 ncsi.bin,1.5.2 "
            "phy.bin,0x105 "
            "l2fw.bin,2.1.0 ib6bt.bin,2.7.16 uefi.bin,7.12.5 feb.bin,1.0.0 cfx.bin,3.1 vpd.txt,1 "
            "Server-%d\r\n",
            0x1600 + i % 256, i, i % 100, i, i, i);
        table += row;
    }
    return table;
}

// glibc hands the memory of the freed entries back to the kernel after each
// read, so every read pays the page faults of 13 MB of fresh memory, as the
// utility's single read does. With kept_heap:1 the heap stays between reads
// and the figure is the reader's own work.
class HeapKeeping {
public:
    explicit HeapKeeping(const benchmark::State& state) : keep_(state.range(0) != 0) {
        if (keep_) mallopt(M_TRIM_THRESHOLD, 1 << 30);
    }
    ~HeapKeeping() {
        if (keep_) mallopt(M_TRIM_THRESHOLD, DefaultTrimThreshold);
    }
    HeapKeeping(const HeapKeeping&) = delete;
    HeapKeeping& operator=(const HeapKeeping&) = delete;

private:
    static constexpr int DefaultTrimThreshold = 128 * 1024;
    bool keep_;
};

// The utility releases its table at the end of the run; what is timed here is
// the read.
void release_untimed(benchmark::State& state, ConfigList& list) {
    state.PauseTiming();
    list = ConfigList();
    state.ResumeTiming();
}

void BM_ReadConfigFromMemory(benchmark::State& state) {
    const std::string table = generated_table();
    const HeapKeeping heap(state);
    for (auto _ : state) {
        ConfigList list = read_config_text(table);
        benchmark::DoNotOptimize(list.head());
        release_untimed(state, list);
    }
    state.SetItemsProcessed(state.iterations() * TableRows);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(table.size()));
}
BENCHMARK(BM_ReadConfigFromMemory)->ArgName("kept_heap")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReadConfigFromFile(benchmark::State& state) {
    const std::string table = generated_table();
    char path[] = "/tmp/qik_config_benchXXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, table.data(), table.size()) != static_cast<ssize_t>(table.size())) {
        state.SkipWithError("cannot write the table");
        return;
    }
    close(fd);
    const HeapKeeping heap(state);
    for (auto _ : state) {
        ConfigList list = read_config(path);
        benchmark::DoNotOptimize(list.head());
        release_untimed(state, list);
    }
    std::remove(path);
    state.SetItemsProcessed(state.iterations() * TableRows);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(table.size()));
}
BENCHMARK(BM_ReadConfigFromFile)->ArgName("kept_heap")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
