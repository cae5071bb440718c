// The XML result document and the inventory log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "adapter/adapter_record.h"
#include "common/result_code.h"

inline constexpr const char* ResultFileName = "vxlrfwprgmr.xml";
inline constexpr const char* InventoryLogName = "vxllcllog.txt";

// How every result document begins and ends, the whole-run form too.
inline constexpr std::string_view ResultHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SVMExecution lang=\"en\">\n";
inline constexpr std::string_view ResultFooter = "</SVMExecution>\n";

// The report of a completed run: one Device element per matched adapter in
// the result document (the result file or standard output; nothing without
// one) and in the inventory log (none once it is closed).
void print_qik_execution(std::FILE* result, std::FILE* log, std::span<const AdapterRecord> records);

// The whole-run error form with one message.
void print_qik_error(std::FILE* result, uint32_t code);

// Text fit for an XML attribute or element: markup characters as entities,
// control bytes and invalid UTF-8 as '?'.
std::string xml_escape(std::string_view text);
