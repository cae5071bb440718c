// The external PHY's firmware as the inventory finds it: the installed
// version beside the image and target version the adapter's table row names.
// The engine decides from it whether the PHY is programmed (engine/ext_phy.h).
#pragma once

#include <cstdint>
#include <memory>

#include "adpm/adpm.h"

struct ConfigEntry;

enum class PhyKind : uint32_t { None, A, B, C, D };

struct ExtPhyFirmware {
    PhyKind kind;
    uint32_t updateSuppressed;
    char fileName[32];
    char currentVersion[32];
    char targetVersion[32];
};

// The image name of a table row whose adapter has no external PHY.
inline constexpr const char* NoExtPhyFile = "none0000.000";

// Whether the entry names an image for an external PHY (not "none0000.000").
bool names_phy_image(const ConfigEntry& entry);

// Puts the PHY image and target version the entry names on the record.
void take_phy_target(ExtPhyFirmware& phy, const ConfigEntry& entry);

// The adapter's PHY record, or none when the entry names no PHY image.
std::unique_ptr<ExtPhyFirmware> make_ext_phy_record(const FirmwareInfoRecord& info,
                                                    const ConfigEntry& entry);
