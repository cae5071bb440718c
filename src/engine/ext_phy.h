// The external PHY's update rules: the kind of PHY an image is for, and
// whether the installed firmware differs from the table's.
#pragma once

#include <string_view>

#include "adapter/ext_phy_record.h"

struct AdapterRecord;

// The kind of PHY an image file is for, from the token its name holds.
PhyKind phy_kind_of(std::string_view fileName);

// Whether the record's PHY must be programmed: its installed firmware
// differs from the table's, as the image's kind compares them.
bool ext_phy_update_needed(AdapterRecord& record);
