#include "adapter/ext_phy_record.h"

#include <cstddef>

#include "common/text.h"
#include "config/config.h"

bool names_phy_image(const ConfigEntry& entry) {
    return phy_image_file(entry) != NoExtPhyFile;
}

void take_phy_target(ExtPhyFirmware& phy, const ConfigEntry& entry) {
    copy_text(phy.fileName, phy_image_file(entry));
    copy_text(phy.targetVersion, phy_image_version(entry));
}

std::unique_ptr<ExtPhyFirmware> make_ext_phy_record(const FirmwareInfoRecord& info,
                                                    const ConfigEntry& entry) {
    if (!names_phy_image(entry)) return nullptr;
    auto phy = std::make_unique<ExtPhyFirmware>();
    copy_text(phy->currentVersion,
              firmware_info_text(info, offsetof(FirmwareInfoRecord, extPhyVersion)));
    take_phy_target(*phy, entry);
    return phy;
}
