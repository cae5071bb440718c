// Enumerating the library's adapter functions into AdapterRecords.
#pragma once

#include <cstdint>
#include <span>

#include "adapter/adapter_record.h"

struct ConfigEntry;

// Fills the zero-filled records; 0 on success, 1 on any failure.
int get_device_info(std::span<AdapterRecord> records, ConfigEntry* configList,
                    const char* skipText);

uint32_t get_chip_rev(uint32_t adapterType, uint32_t chipRevisionId);

// Disables again every adapter that the inventory enabled.
void restore_device_state(std::span<AdapterRecord> records);

// The same after a failed inventory, when a record's handle may be missing or
// older than the library's refresh: each adapter is found by its service name.
void restore_device_state_by_name(std::span<AdapterRecord> records);
