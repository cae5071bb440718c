// Progress for a person running the utility by hand: one short line per
// adapter step on standard error, and only when standard error is a
// terminal, so that framework runs stay byte-identical.
#pragma once

#include <cstdio>
#include <string_view>

#include "adapter/adapter_record.h"

// Where progress goes: standard error when it is a terminal whose TERM is not
// "dumb", else nowhere. Tests may hand in any stream (or none).
void progress_to_terminal();
void progress_to(std::FILE* stream);

// "eth0 0000:03:00.0  bootcode 7.08 -> 7.10 ... " before a step runs; `from`
// and `to` may be empty.
void progress_step(const AdapterRecord& record, std::string_view step, std::string_view from = {},
                   std::string_view to = {});
// Ends the step's line with "ok" or "failed (result)".
void progress_step_done(int result);
// The adapter's result code and message.
void progress_result(const AdapterRecord& record);
