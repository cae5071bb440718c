#include <cstdio>

#include "common/text.h"
#include "config/config.h"

bool names_ids_of(const ConfigEntry& entry, const AdapterIdentity& adapter) {
    return entry.ven == adapter.vendorId && entry.device == adapter.deviceId &&
           entry.subven == adapter.subVendorId && entry.subdev == adapter.subDeviceId;
}

ConfigEntry* find_config(const AdapterIdentity& adapter, ConfigEntry* head) {
    for (ConfigEntry* entry = head; entry; entry = entry->next.get()) {
        if (names_ids_of(*entry, adapter) && field_text(entry->crv) == adapter.chipRevision)
            return entry;
    }
    return nullptr;
}

std::string pci_id_text(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}
