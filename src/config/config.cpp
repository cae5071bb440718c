#include "config/config.h"

#include "adapter/adapter_record.h"
#include "common/text.h"

void free_config(std::unique_ptr<ConfigEntry> head) {
    while (head) head = std::move(head->next);
}
ConfigList read_config(const char*, ConfigError*) { return {}; }
ConfigList read_config_text(std::string_view, ConfigError*) { return {}; }

ConfigEntry* queue_ce_to_end(std::unique_ptr<ConfigEntry>& head, ConfigEntry*& tail,
                             std::unique_ptr<ConfigEntry> entry) {
    entry->next.reset();
    ConfigEntry* added = entry.get();
    (tail ? tail->next : head) = std::move(entry);
    tail = added;
    return added;
}
