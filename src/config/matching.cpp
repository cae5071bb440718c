#include "common/text.h"
#include "config/config.h"

ConfigEntry* find_config(const AdapterIdentity& adapter, ConfigEntry* head) {
    for (ConfigEntry* entry = head; entry; entry = entry->next.get()) {
        if (entry->ven == adapter.vendorId && entry->device == adapter.deviceId &&
            entry->subven == adapter.subVendorId && entry->subdev == adapter.subDeviceId &&
            field_text(entry->crv) == adapter.chipRevision)
            return entry;
    }
    return nullptr;
}
