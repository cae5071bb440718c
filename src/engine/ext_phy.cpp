#include "engine/ext_phy.h"
