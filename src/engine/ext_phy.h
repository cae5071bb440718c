// The external PHY's firmware: which image, which kind of PHY, and whether
// the installed firmware differs from the table's.
#pragma once

#include <cstdint>
#include <memory>

#include "adapter/adpm.h"

struct AdapterRecord;
struct ConfigEntry;

enum class PhyKind : uint32_t { None, A, B, C, D };

struct ExtPhyFwr {
    PhyKind kind;
    uint32_t updateSuppressed;
    char fileName[32];
    char currentVersion[32];
    char targetVersion[32];
    int32_t currentNumber;
    int32_t targetNumber;
};

inline constexpr const char* NoExtPhyFile = "none0000.000";

// The adapter's PHY record, or none when the entry names "none0000.000".
std::unique_ptr<ExtPhyFwr> createExtPhyFwr(const FirmwareInfoRecord& info,
                                           const ConfigEntry& entry);

// 1 when the record's PHY must be programmed, else 0.
int extPhyFwrUpdateNeeded(AdapterRecord& record);

int phyKindANeedsUpdate(const ExtPhyFwr& phy);
int phyKindBCNeedsUpdate(ExtPhyFwr& phy);
int phyKindDNeedsUpdate(const ExtPhyFwr& phy);
