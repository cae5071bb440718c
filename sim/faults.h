// Fault injection: the counting and firing rule both the library's faults
// and the tool's follow (docs/bench.md).
#pragma once

#include "values.h"

namespace sim {

// Counts one matching occurrence of `fault` ("seen" is kept in the state) and
// says whether it fires: always when "occurrence" is 0 or absent, otherwise on
// exactly that occurrence. Sets `changed` when the count was stored.
bool fault_fires(json& fault, bool& changed);

}  // namespace sim
