#include "engine/ext_phy.h"

std::unique_ptr<ExtPhyFwr> createExtPhyFwr(const FirmwareInfoRecord&, const ConfigEntry&) {
    return nullptr;
}
int extPhyFwrUpdateNeeded(AdapterRecord&) { return 0; }
