#include "engine/progress.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/result_code.h"
#include "common/text.h"

namespace {

std::FILE* progress = nullptr;

bool terminal_is_smart() {
    const char* term = std::getenv("TERM");
    return isatty(STDERR_FILENO) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

// Library texts reach a terminal: control bytes must not act on it.
void print_clean(std::string_view text) {
    std::fputs(printable(text).c_str(), progress);
}

void print_adapter(const AdapterRecord& r) {
    print_clean(field_text(r.serviceName));
    std::fprintf(progress, " %04x:%02x:%02x.%x  ", 0u, r.bus, r.device, r.function);
}

}  // namespace

void progress_to_terminal() {
    progress = terminal_is_smart() ? stderr : nullptr;
}

void progress_to(std::FILE* stream) {
    progress = stream;
}

void progress_step(const AdapterRecord& record, std::string_view step, std::string_view from,
                   std::string_view to) {
    if (progress == nullptr) return;
    print_adapter(record);
    print_clean(step);
    if (!from.empty() || !to.empty()) {
        std::fputc(' ', progress);
        print_clean(from);
        std::fputs(" -> ", progress);
        print_clean(to);
    }
    std::fputs(" ... ", progress);
    std::fflush(progress);
}

void progress_step_done(int result) {
    if (progress == nullptr) return;
    if (result == 0)
        std::fputs("ok\n", progress);
    else
        std::fprintf(progress, "failed (%d)\n", result);
    std::fflush(progress);
}

void progress_result(const AdapterRecord& record) {
    if (progress == nullptr) return;
    print_adapter(record);
    const uint32_t code = record.status;
    std::fprintf(progress, "result %u: %s\n", code, code < MessageCount ? messages[code] : "");
    std::fflush(progress);
}
