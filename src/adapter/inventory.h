// Enumerating the library's adapter functions into AdapterRecords.
#pragma once

#include <cstdint>
#include <span>

#include "adapter/adapter_record.h"
#include "adpm/adpm.h"

struct ConfigEntry;

// What the inventory does with a disabled function that takes part: the run
// enables it, so that everything about it can be read and it can be
// updated; a read-only plan leaves it as it is and reads what answers.
enum class Enabling { Enable, LeaveAsIs };

// Fills the zero-filled records; 0 on success, 1 on any failure.
int take_inventory(const AdpmApi& adpm, std::span<AdapterRecord> records, ConfigEntry* configList,
                   const char* skipText, Enabling enabling = Enabling::Enable);

// The functions of an adapter share its firmware: a disabled one, whose own
// firmware cannot be read, takes what its function 0 read.
void read_through_function0(AdapterRecord& record, const AdapterRecord& function0);

uint32_t chip_revision(uint32_t adapterType, uint32_t chipRevisionId);

// Disables again every port the inventory asked to enable, and those an
// earlier, interrupted run of this boot noted (enabled_note.h).
void restore_device_state(const AdpmApi& adpm, std::span<const AdapterRecord> records);

// The same after a failed inventory, when a record's handle may be missing or
// older than the library's refresh: each port is found by its service name.
void restore_device_state_by_name(const AdpmApi& adpm, std::span<const AdapterRecord> records);
