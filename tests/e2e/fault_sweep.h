// The benches of the fault sweep: the demo server with one case's faults
// each, for other suites that must hold on every one of them.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct FaultBench {
    std::string name;
    nlohmann::json bench;
};

std::vector<FaultBench> fault_sweep_benches();
