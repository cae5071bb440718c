#include "vpd/vpd.h"

int UpdateFWFamVer(std::span<uint32_t>, uint32_t, uint32_t, uint32_t, std::string_view) {
    return 1;
}
int UpdateExtVpdFamVer(std::span<const uint32_t>, uint32_t, uint32_t, std::string_view, int32_t,
                       uint32_t, const char*, const char*, ProgramDeviceFn) {
    return 0;
}
