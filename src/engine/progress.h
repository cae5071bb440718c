// Progress for a person running the utility by hand: one short line per
// adapter step on standard error, and only when standard error is a
// terminal, so that framework runs stay byte-identical.
#pragma once

#include <cstdio>
#include <string_view>

#include "adapter/adapter_record.h"

// Where progress goes: a stream, or nowhere.
class Progress {
  public:
    explicit Progress(std::FILE* stream = nullptr) : stream_(stream) {}
    // Standard error when it is a terminal whose TERM is not "dumb", else
    // nowhere.
    static Progress to_terminal();

    // "eth0 0000:03:00.0  bootcode 7.08 -> 7.10 ... " before a step runs;
    // `from` and `to` may be empty.
    void step(const AdapterRecord& record, std::string_view step, std::string_view from = {},
              std::string_view to = {}) const;
    // Ends the step's line with "ok" or "failed (result)".
    void step_done(int result) const;
    // The adapter's result code and message.
    void result(const AdapterRecord& record) const;

  private:
    // Library texts reach a terminal: control bytes must not act on it.
    void print_clean(std::string_view text) const;
    void print_adapter(const AdapterRecord& record) const;

    std::FILE* stream_;
};
