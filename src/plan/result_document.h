// The result document a run of qik_programmer left, read back: which
// adapter functions it reports, and with which result code. Only the
// utility's own form is taken (docs/results.md); anything else is refused
// with the reason, so that a stray file is never read as a run's outcome.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One Device element: the function's PCI IDs and location, and its code.
struct ReportedDevice {
    uint32_t vendorId = 0, deviceId = 0, subVendorId = 0, subDeviceId = 0;
    uint32_t bus = 0, device = 0, function = 0;
    uint32_t code = 0;  // Message/@id; 0 is "Update success."
};

struct ResultDocument {
    std::vector<ReportedDevice> devices;  // in document order
    // The whole-run error form's code, when the run reported one instead.
    std::optional<uint32_t> wholeRunCode;
};

// The document at `path`; none, with `problem` saying why, when it cannot
// be read or is not a result document of the utility.
std::optional<ResultDocument> read_result_document(const char* path, std::string& problem);
