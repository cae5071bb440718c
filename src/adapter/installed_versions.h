// Installed firmware component versions, from the firmware information record.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "adpm/adpm.h"

// Fetches the record; the adapter type (2) on success, -1 when the call fails.
int get_adpm_fwinfo(uint32_t adapterType, uint32_t handle, FirmwareInfoRecord& info);

// Each getter writes the component's version text into `text` and returns
// its version number.
uint32_t get_fw_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                    std::span<char> text);
uint32_t get_bta_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                     std::span<char> text);
uint32_t get_ncsi_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                      std::span<char> text);
uint32_t get_qmx_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                     std::span<char> text);
uint32_t get_ipmi_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                      std::span<char> text);
uint32_t get_iscsi_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                       std::span<char> text);
uint32_t get_uefi_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                      std::span<char> text);
uint32_t get_fcoe_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                      std::span<char> text);
uint32_t get_cfx_ver(uint32_t adapterType, uint32_t handle, const FirmwareInfoRecord& info,
                     std::span<char> text);

// The trailing run of digits and dots of `source`, read from the end, as a
// version number; that run (cut to the field) goes into `text`.
uint32_t version_str_to_no(std::string_view source, std::span<char> text);
