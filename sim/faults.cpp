#include "faults.h"

namespace sim {

bool fault_fires(json& fault, bool& changed) {
    const uint32_t seen = get_u32(fault, "seen", 0, "fault") + 1;
    fault["seen"] = seen;
    changed = true;
    const uint32_t occurrence = get_u32(fault, "occurrence", 0, "fault");
    return occurrence == 0 || occurrence == seen;
}

}  // namespace sim
