#include "vpd/vpd.h"
