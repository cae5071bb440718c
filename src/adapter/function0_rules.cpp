#include "adapter/function0_rules.h"

#include <cstdio>

#include "adpm/adpm.h"
#include "common/result_code.h"
#include "common/text.h"

std::string function_address(const AdapterRecord& record) {
    const auto [bus, device] = location_of(record);
    return std::to_string(bus) + ":" + std::to_string(device) + "." +
           std::to_string(record.function);
}

bool skipped(const AdapterRecord& record, std::string_view skipText) {
    return skipText.find(field_text(record.serviceName)) != std::string_view::npos;
}

Function0s::Function0s(std::span<const AdapterRecord> records) {
    for (const AdapterRecord& r : records) {
        if (r.function != 0) continue;
        Found& found = found_[location_of(r)];
        found.record = &r;
        ++found.count;
    }
}

const AdapterRecord* Function0s::of(const AdapterRecord& record) const {
    if (record.function == 0) return &record;
    const auto found = found_.find(location_of(record));
    return found != found_.end() && found->second.count == 1 ? found->second.record : nullptr;
}

const char* Function0s::why_passed_over(const AdapterRecord& record,
                                        std::string_view skipText) const {
    const auto found = found_.find(location_of(record));
    if (found != found_.end() && found->second.count > 1)
        return "more than one function 0 is at its bus and device (adapters of different PCI "
               "segments), so its adapter cannot be told";
    return why_function0_is_out(of(record), skipText);
}

const char* why_function0_is_out(const AdapterRecord* function0, std::string_view skipText) {
    if (function0 == nullptr) return "its adapter's function 0 is not reported";
    if (function0->adapterType != AdapterTypeHandled)
        return "function 0 is of another adapter type";
    if (function0->selected == 0)
        return skipped(*function0, skipText) ? "function 0 is skipped"
                                             : "function 0 could not be enabled";
    if (function0->config == nullptr) return "function 0 matches no table row";
    return nullptr;
}

void pass_over_functions_without_function0(std::span<AdapterRecord> records, const char* skipText) {
    const Function0s function0s(records);
    const std::string_view skip = skipText != nullptr ? skipText : "";
    for (AdapterRecord& r : records) {
        if (r.function == 0 || r.config == nullptr) continue;
        const char* why = function0s.why_passed_over(r, skip);
        if (why == nullptr) continue;
        std::fprintf(stderr, "qik_programmer: %s (%s) takes no part: %s\n",
                     printable(field_text(r.serviceName)).c_str(), function_address(r).c_str(),
                     why);
        r.config = nullptr;
    }
}

uint32_t shared_status(uint32_t own, uint32_t function0) {
    const bool ownPhyFailed = own == code_of(ResultCode::PhyFailed);
    return ownPhyFailed && function0 == code_of(ResultCode::Success) ? own : function0;
}
