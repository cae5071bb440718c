// The external PHY's update rules: the kind of PHY an image is for, and
// whether the installed firmware differs from the table's.
#pragma once

#include <string_view>

#include "adapter/ext_phy_record.h"

struct AdapterRecord;

// The kind of PHY an image file is for, from the token its name holds.
PhyKind phy_kind_of(std::string_view fileName);

// 1 when the record's PHY must be programmed, else 0.
int ext_phy_update_needed(AdapterRecord& record);

int phyKindANeedsUpdate(const ExtPhyFwr& phy);
int phyKindBCNeedsUpdate(ExtPhyFwr& phy);
int phyKindDNeedsUpdate(const ExtPhyFwr& phy);
