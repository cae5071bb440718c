// An in-process management library for unit tests: adapters described in
// memory, a log of every call, and calls that fail on demand.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "adpm/adpm.h"

struct FakeFunction {
    uint32_t handle = 0;
    uint32_t handleAfterRefresh = 0;  // 0: the handle does not change
    uint32_t adapterType = 2;
    std::string serviceName;
    std::string description;
    uint32_t enabled = 1;
    uint32_t vendorId = 0, deviceId = 0, subVendorId = 0, subDeviceId = 0;
    uint32_t bus = 0, device = 0, function = 0;
    uint32_t chipRevisionId = 0;
    std::array<uint8_t, 6> mac{};
    FirmwareInfoRecord firmware{};
    std::vector<uint8_t> nvram = std::vector<uint8_t>(1024);
    std::vector<uint8_t> extVpd;  // what AdpmGetExtVPD delivers
};

struct FakeFailure {
    uint32_t result = 1;
    unsigned occurrence = 0;  // 0: every call; n: only the n-th call
};

struct FakeAdpm {
    // The table of the fake's calls, handed to the code under test.
    AdpmApi api{};
    uint32_t major = 7, minor = 0, build = 0;
    std::vector<FakeFunction> functions;
    bool refreshed = false;
    std::map<std::string, FakeFailure> failures;  // by call name
    std::map<std::string, unsigned> callCounts;
    std::vector<std::string> calls;    // "AdpmGetPhyNic(5)=0", in order
    std::map<uint32_t, int> diagOpen;  // handle -> open brackets

    // The function the current handle names, or null.
    FakeFunction* find(uint32_t handle);
    void fail(const std::string& call, uint32_t result, unsigned occurrence = 0) {
        failures[call] = {result, occurrence};
    }
    // Calls named `call` in the log, in order.
    std::vector<std::string> calls_of(const std::string& call) const;
};

// Resets the fake to an empty server; its calls are in `api`.
FakeAdpm& install_fake_adpm();
FakeAdpm& fake_adpm();
