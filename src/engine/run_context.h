// What one run works with, built by the program that runs it and handed
// down: the three seams out of the process (the library's call table, the
// tool runner, the working directory), the stop request it watches, and
// where its output goes. A layer below takes only the piece it needs.
#pragma once

#include <csignal>
#include <cstdio>

#include "adpm/adpm.h"
#include "common/working_directory.h"
#include "engine/progress.h"
#include "engine/tool_command.h"

struct RunContext {
    const AdpmApi& adpm;
    const ToolRunner& tools;
    const WorkingDirectory& directory;
    // Set when the run is asked to stop: the adapter in hand is finished, no
    // further one is started. The program watches StopRequested.
    const volatile std::sig_atomic_t& stopRequested;
    // "-force": every component is programmed whatever its version.
    bool force;
    Progress progress;
    // Where the family writer says it failed: standard output, unless the
    // result document goes there ("-print"); then standard error.
    std::FILE* vpdDiagnostics;
    // The result document and the inventory log, once open; the log is none
    // again once closed.
    std::FILE* result;
    std::FILE* inventoryLog;
};
