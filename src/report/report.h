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

// Where the result document goes: the result file or standard output.
extern std::FILE* ResultStream;
// The inventory log.
extern std::FILE* InventoryLogStream;

// The report of a completed run: one Device element per matched adapter.
void print_qik_execution(std::span<const AdapterRecord> records);

// The whole-run error form with one message.
void print_qik_error(uint32_t code);

// Text fit for an XML attribute or element: markup characters as entities,
// control bytes and invalid UTF-8 as '?'.
std::string xml_escape(std::string_view text);
