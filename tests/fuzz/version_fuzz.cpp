// Both version parsers: installed texts read from the end, table texts from
// the start.
#include <cstdint>
#include <string_view>

#include "adapter/installed_versions.h"
#include "common/text.h"
#include "config/config.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    char field[16];
    std::memset(field, 'x', sizeof field);
    const uint32_t installed = trailing_version_number(text, field);
    FUZZ_CHECK(terminated(field));
    // The kept text is the end of the source (cut to the field), digits and dots only.
    const std::string_view kept = field_text(field);
    FUZZ_CHECK(kept.find_first_not_of("0123456789.") == std::string_view::npos);
    FUZZ_CHECK(kept.empty() || text.find(kept) != std::string_view::npos);
    if (kept.empty()) FUZZ_CHECK(installed == 0);
    (void)target_version_number(text);
    return 0;
}
