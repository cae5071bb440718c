// The update engine: programming tool commands and the per-adapter update
// sequence around them.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "adapter/adapter_record.h"

// Set by "-force": every component is programmed whatever its version.
extern uint8_t Force;

// The decoded exit code of the most recent tool command that failed.
extern int32_t ErrorCode_FirmwareUpgrade;

// Runs one shell command line and returns its raw wait status (-1 when no
// shell could be started). Tests replace it to see the exact command lines.
using CommandRunner = std::function<int(const char* commandLine)>;
extern CommandRunner RunToolCommand;

inline constexpr const char* ToolPrefix = "./nicflsh ";
inline constexpr std::size_t CommandLineSize = 256;

// Tool result codes as program_device reports them.
inline constexpr int ToolSuccess = 0;
inline constexpr int ToolWriteProtect = 5;
inline constexpr int ToolError = 9;
inline constexpr int ToolDriverNotSupported = 18;

// A normal exit gives its exit status (0-255), anything else the raw status.
int decode_exit_status(int waitStatus);

// Builds, runs and decodes one tool command: 0, 5, 9 or 18.
int program_device(const char* adapterId, uint32_t adapterType, const char* option,
                   const char* file, uint32_t deviceId, uint32_t installedVersion);

// The NVRAM backup file.
struct BuImage {
    char name[16];
    uint32_t present;
};

inline constexpr const char* BuImageName = "buimage";

void buImageInitialize(BuImage& image);
int buImageMake(BuImage& image, const AdapterRecord& record);
int buImageRestore(BuImage& image, const AdapterRecord& record);
void buImageDelete(BuImage& image);

// Updates every matched adapter; 4 when a backup failed with tool code 10 or
// 11 (the run is abandoned), otherwise the result of the last tool step.
int eval_and_prg(std::span<AdapterRecord> records, uint8_t force);
