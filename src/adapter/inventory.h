// Enumerating the library's adapter functions into AdapterRecords.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "adapter/adapter_record.h"
#include "adpm/adpm.h"
#include "common/working_directory.h"

struct ConfigEntry;

// What the inventory does with a disabled function that takes part: the run
// enables it, so that everything about it can be read and it can be
// updated; a read-only plan leaves it as it is and reads what answers.
enum class Enabling { Enable, LeaveAsIs };

// Fills the zero-filled records; 0 on success, 1 on any failure.
int take_inventory(const AdpmApi& adpm, const WorkingDirectory& directory,
                   std::span<AdapterRecord> records, ConfigEntry* configList, const char* skipText,
                   Enabling enabling = Enabling::Enable);

// The functions of an adapter share its firmware: a disabled one, whose own
// firmware cannot be read, takes what its function 0 read.
void read_through_function0(AdapterRecord& record, const AdapterRecord& function0);

uint32_t chip_revision(uint32_t adapterType, uint32_t chipRevisionId);

// The MAC digits the tool knows the function by (12 lower-case hex digits);
// none when the library does not answer.
std::optional<std::string> read_mac(const AdpmApi& adpm, uint32_t handle);
