// The configuration reader over a whole table held in memory.
#include <cstdint>
#include <string_view>

#include "config/config.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view table(reinterpret_cast<const char*>(data), size);
    ConfigError error;
    const ConfigList list = read_config_text(table, &error);
    FUZZ_CHECK(!list || error.reason.empty());
    for (const ConfigEntry* e = list.head(); e != nullptr; e = e->next.get()) {
        FUZZ_CHECK(terminated(e->crv) && terminated(e->family) && terminated(e->bcFile));
        FUZZ_CHECK(terminated(e->qmxVersion) && terminated(e->vpdFile) &&
                   terminated(e->SystemName) && terminated(e->enable_dcbx));
        // Target numbers come from the texts alone and never fail.
        (void)target_version_number(e->family);
    }
    return 0;
}
