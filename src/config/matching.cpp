#include <cstdint>
#include <string_view>

#include "adapter/adapter_record.h"
#include "common/text.h"
#include "config/config.h"

namespace {

bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One dotted piece read the way strtol reads a decimal number, then kept in
// 32 bits: leading white space, an optional sign, digits up to the first
// other character. A magnitude past the 64-bit range saturates as strtol
// does, so the result is defined for any run of digits.
uint32_t piece_value(std::string_view piece) {
    std::size_t i = 0;
    while (i < piece.size() && is_space(piece[i])) ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) negative = piece[i++] == '-';
    constexpr uint64_t limit = uint64_t{1} << 63;  // |LONG_MIN|
    uint64_t magnitude = 0;
    bool saturated = false;
    for (; i < piece.size() && is_decimal_digit(piece[i]); ++i) {
        const auto digit = static_cast<uint64_t>(piece[i] - '0');
        if (magnitude > (limit - digit) / 10) saturated = true;
        if (!saturated) magnitude = magnitude * 10 + digit;
    }
    if (saturated || (!negative && magnitude == limit))
        magnitude = negative ? limit : limit - 1;
    const uint64_t value = negative ? 0 - magnitude : magnitude;
    return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t target_version_to_no(std::string_view text) {
    uint32_t groups[3] = {0, 0, 0};
    std::size_t found = 0;
    std::size_t pos = 0;
    while (found < 3) {
        pos = text.find_first_not_of('.', pos);
        if (pos == std::string_view::npos) break;
        const std::size_t end = text.find('.', pos);
        groups[found++] = piece_value(text.substr(pos, end - pos));
        pos = end;
    }
    return groups[0] * 10000u + groups[1] * 100u + groups[2];
}

ConfigEntry* find_config(const AdapterRecord& record, ConfigEntry* head) {
    for (ConfigEntry* entry = head; entry; entry = entry->next.get()) {
        if (entry->ven == record.vendorId && entry->device == record.deviceId &&
            entry->subven == record.subVendorId && entry->subdev == record.subDeviceId &&
            field_text(entry->crv) == field_text(record.chipRevText))
            return entry;
    }
    return nullptr;
}

void fixup_config_entry(AdapterRecord& record) {
    ConfigEntry* entry = record.config;
    if (!entry || entry->numbersReady) return;
    entry->familyNum = target_version_to_no(field_text(entry->family));
    entry->bcNum = target_version_to_no(field_text(entry->bcVersion));
    entry->btaNum = target_version_to_no(field_text(entry->btaVersion));
    entry->ncsiNum = target_version_to_no(field_text(entry->ncsiVersion));
    entry->qmxNum = target_version_to_no(field_text(entry->qmxVersion));
    entry->ipmiNum = target_version_to_no(field_text(entry->ipmiVersion));
    entry->iscsibNum = target_version_to_no(field_text(entry->iscsibVersion));
    entry->uefiNum = target_version_to_no(field_text(entry->uefiVersion));
    entry->fcoebNum = target_version_to_no(field_text(entry->fcoebVersion));
    entry->cfxNum = target_version_to_no(field_text(entry->cfxVersion));
    entry->numbersReady = 1;
}
