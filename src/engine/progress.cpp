#include "engine/progress.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/result_code.h"
#include "common/text.h"

namespace {

bool terminal_is_smart() {
    const char* term = std::getenv("TERM");
    return isatty(STDERR_FILENO) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

}  // namespace

Progress Progress::to_terminal() {
    return Progress(terminal_is_smart() ? stderr : nullptr);
}

void Progress::print_clean(std::string_view text) const {
    std::fputs(printable(text).c_str(), stream_);
}

void Progress::print_adapter(const AdapterRecord& r) const {
    print_clean(field_text(r.serviceName));
    std::fprintf(stream_, " %04x:%02x:%02x.%x  ", 0u, r.bus, r.device, r.function);
}

void Progress::step(const AdapterRecord& record, std::string_view step, std::string_view from,
                    std::string_view to) const {
    if (stream_ == nullptr) return;
    print_adapter(record);
    print_clean(step);
    if (!from.empty() || !to.empty()) {
        std::fputc(' ', stream_);
        print_clean(from);
        std::fputs(" -> ", stream_);
        print_clean(to);
    }
    std::fputs(" ... ", stream_);
    std::fflush(stream_);
}

void Progress::step_done(int result) const {
    if (stream_ == nullptr) return;
    if (result == 0)
        std::fputs("ok\n", stream_);
    else
        std::fprintf(stream_, "failed (%d)\n", result);
    std::fflush(stream_);
}

void Progress::result(const AdapterRecord& record) const {
    if (stream_ == nullptr) return;
    print_adapter(record);
    const uint32_t code = record.status;
    std::fprintf(stream_, "result %u: %s\n", code, code < MessageCount ? messages[code] : "");
    std::fflush(stream_);
}
