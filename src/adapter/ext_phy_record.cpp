#include "adapter/ext_phy_record.h"

#include <cstddef>

#include "common/text.h"
#include "config/config.h"

std::unique_ptr<ExtPhyFwr> make_ext_phy_record(const FirmwareInfoRecord& info,
                                               const ConfigEntry& entry) {
    if (field_text(entry.qmxFile) == NoExtPhyFile) return nullptr;
    auto phy = std::make_unique<ExtPhyFwr>();
    copy_text(phy->currentVersion,
              firmware_info_text(info, offsetof(FirmwareInfoRecord, extPhyVersion)));
    copy_text(phy->fileName, field_text(entry.qmxFile));
    copy_text(phy->targetVersion, field_text(entry.qmxVersion));
    return phy;
}
