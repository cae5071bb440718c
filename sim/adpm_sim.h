// The simulated NIC management library libadpm_x64.so.6: the calls of the
// adapter maker's closed library, with C linkage, acting on
// the bench file in the working directory (docs/bench.md). The records are
// the utility's own layouts from src/adpm/adpm.h.
#pragma once

#include <stdint.h>

#include "adpm/adpm.h"

#define ADPM_SIM_API extern "C" __attribute__((visibility("default")))

ADPM_SIM_API uint32_t AdpmGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build);
ADPM_SIM_API uint32_t AdpmInitialize(void);
ADPM_SIM_API uint32_t AdpmUninitialize(void);
ADPM_SIM_API uint32_t AdpmGetNumPhyNic(uint32_t* count);
ADPM_SIM_API uint32_t AdpmGetAllPhyNicHandles(uint32_t* handles, uint32_t count);
ADPM_SIM_API uint32_t AdpmGetPhyNic(uint32_t handle, void* record);
ADPM_SIM_API uint32_t AdpmGetServiceName(uint32_t handle, char* buffer, uint32_t size);
ADPM_SIM_API uint32_t AdpmEnableDevice(uint32_t handle, uint32_t enable);
ADPM_SIM_API uint32_t AdpmRefreshData(void);
ADPM_SIM_API uint32_t AdpmGetHandleByServiceName(const char* name, uint32_t* handle);
ADPM_SIM_API uint32_t AdpmGetVXLRNicInfoEx(uint32_t handle, void* record);
ADPM_SIM_API uint32_t AdpmGetFirmwareInfo(uint32_t handle, void* record);
ADPM_SIM_API uint32_t AdpmGetExtVPD(uint32_t handle, uint8_t* buffer, uint32_t* length);
ADPM_SIM_API uint32_t AdpmInitDiag(uint32_t handle);
ADPM_SIM_API uint32_t AdpmUnInitDiag(uint32_t handle);
ADPM_SIM_API uint32_t AdpmReadFirmware(uint32_t handle, uint32_t offset, uint32_t* buffer,
                                       uint32_t words, const char* key);
ADPM_SIM_API uint32_t AdpmWriteFirmware(uint32_t handle, uint32_t offset, uint32_t* buffer,
                                        uint32_t words, const char* key);

// The library's failure codes (docs/bench.md). 0 is success; 251 answers an
// enable of a function that is enabled already.
enum AdpmSimResult : uint32_t {
    AdpmSimOk = 0,
    AdpmSimFailure = 1,           // unspecified failure
    AdpmSimNotInitialized = 2,    // call before AdpmInitialize or after AdpmUninitialize
    AdpmSimInvalidHandle = 3,     // no function has this handle (now)
    AdpmSimBadVersion = 4,        // the record's version word is not the expected one
    AdpmSimInvalidParameter = 5,  // null pointer, zero size
    AdpmSimNotFound = 6,          // no function has this service name
    AdpmSimDiagNotOpen = 7,       // raw access without AdpmInitDiag on this handle
    AdpmSimAccessDenied = 8,      // wrong access key
    AdpmSimOutOfRange = 9,        // raw access outside the NVRAM or unaligned
    AdpmSimNoExtVpd = 10,         // the adapter has no extended VPD
    AdpmSimBufferTooSmall = 11,   // handle array or extended VPD buffer too small
    AdpmSimDisabled = 12,         // the function is disabled
    AdpmSimBenchUnusable = 13,    // bench.json missing or invalid (message on stderr)
    AdpmSimAlreadyEnabled = 251,
};
