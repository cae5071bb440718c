#include "engine/engine.h"

uint8_t Force = 0;
int32_t ErrorCode_FirmwareUpgrade = 0;
