// The benches of the fault sweep: the demo server with one case's faults
// each, for other suites that must hold on every one of them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct FaultBench {
    std::string name;
    nlohmann::json bench;
};

std::vector<FaultBench> fault_sweep_benches();

// A sweep runs in chunks so that ctest can spread them over the cores. Under
// the sanitizers, where a run costs several times as much, every third case.
inline constexpr int SweepChunks = 8;
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t SweepStride = 3;
#else
inline constexpr std::size_t SweepStride = 1;
#endif

// Which of `count` cases chunk `chunk` runs, taking every `stride`-th.
std::vector<std::size_t> chunk_cases(int chunk, std::size_t count,
                                     std::size_t stride = SweepStride);
