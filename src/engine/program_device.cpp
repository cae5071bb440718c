#include "engine/engine.h"

#include <cstdlib>

uint8_t Force = 0;
int32_t ErrorCode_FirmwareUpgrade = 0;
CommandRunner RunToolCommand = [](const char* commandLine) { return std::system(commandLine); };

int decode_exit_status(int) { return 0; }
int program_device(const char*, uint32_t, const char*, const char*, uint32_t, uint32_t) {
    return ToolError;
}
