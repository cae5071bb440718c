#include "vpd/vpd_image.h"

VpdHeader read_vpd_header(std::span<const uint8_t> vpd) {
    const std::optional<uint16_t> identifierLength = vpd_le16_at(vpd, 1);
    if (vpd_byte_at(vpd, 0) != VpdIdentifierTag || !identifierLength)
        return {.error = NoIdentifierTag};
    const std::size_t tagAt = 3 + std::size_t{*identifierLength};
    const std::optional<uint16_t> areaLength = vpd_le16_at(vpd, tagAt + 1);
    if (vpd_byte_at(vpd, tagAt) != VpdReadOnlyTag || !areaLength) return {.error = NoReadOnlyArea};
    return {.identifierLength = *identifierLength, .areaLength = *areaLength};
}
