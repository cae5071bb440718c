// How an adapter's function 0 decides for the other functions of its
// adapter. The library reports no PCI segment, so an adapter is known only
// by bus and device, and two adapters of different segments may share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "adapter/adapter_record.h"

using AdapterLocation = std::pair<uint32_t, uint32_t>;
inline AdapterLocation location_of(const AdapterRecord& record) {
    return {record.bus, record.device};
}

// The function at its location, as messages and plans name it:
// "bus:device.function".
std::string function_address(const AdapterRecord& record);

// A plain substring search, so "eth" is skipped by "eth1,eth2" and an empty
// service name by any skip text.
bool skipped(const AdapterRecord& record, std::string_view skipText);

// The function 0s of the inventory by bus and device.
class Function0s {
  public:
    explicit Function0s(std::span<const AdapterRecord> records);
    // The function 0 that speaks for this function's adapter: the record
    // itself for a function 0; null when its bus and device have none, or
    // more than one, so that no function 0 can be told to be its own.
    const AdapterRecord* of(const AdapterRecord& record) const;
    // Why a function other than 0 takes no part in the run; null when it
    // does.
    const char* why_passed_over(const AdapterRecord& record, std::string_view skipText) const;

  private:
    struct Found {
        const AdapterRecord* record = nullptr;
        std::size_t count = 0;
    };
    std::map<AdapterLocation, Found> found_;
};

// Why the adapter of this function 0 (null: none reported) takes no part in
// the run; null when it does.
const char* why_function0_is_out(const AdapterRecord* function0, std::string_view skipText);

// Functions of an adapter whose function 0 takes no part in the run, or
// that share their bus and device with more than one function 0, take no
// part either (they are left unmatched); standard error says why.
void pass_over_functions_without_function0(std::span<AdapterRecord> records, const char* skipText);

// The status a function other than 0 reports, given its own and its
// function 0's: the adapter's functions share one NVRAM, so function 0's
// outcome stands for all, but a failed write of the function's own external
// PHY is not hidden by its function 0's success.
uint32_t shared_status(uint32_t own, uint32_t function0);
