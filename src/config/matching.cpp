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

void fixup_config_entry(ConfigEntry* entry) {
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
