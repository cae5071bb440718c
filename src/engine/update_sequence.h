// The update run: every matched adapter backed up, programmed, restored on
// failure and given its family version, as update_steps decides.
#pragma once

#include <cstdint>
#include <span>

#include "adapter/adapter_record.h"
#include "engine/run_context.h"

// Updates every matched adapter; RunAbandoned when a backup failed with tool
// code 10 or 11, or its adapter could not be noted, otherwise the result of
// the last tool step.
int run_updates(const RunContext& run, std::span<AdapterRecord> records);
