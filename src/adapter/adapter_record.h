// One record per adapter function the library reports.
#pragma once

#include <cstdint>
#include <memory>

#include "adapter/ext_phy_record.h"

struct ConfigEntry;

struct AdapterRecord {
    char serviceName[16];
    char description[80];
    uint32_t handle;
    uint32_t adapterType;
    uint32_t selected;
    uint32_t vendorId;
    uint32_t deviceId;
    uint32_t subVendorId;
    uint32_t subDeviceId;
    uint32_t chipRev;
    char chipRevText[16];
    uint32_t bus;
    uint32_t device;
    uint32_t function;
    uint32_t familyVersion;
    char familyVersionText[16];
    char bcVersionText[16];
    uint32_t bcVersion;
    char btaVersionText[16];
    uint32_t btaVersion;
    char ncsiVersionText[16];
    uint32_t ncsiVersion;
    char qmxVersionText[16];
    uint32_t qmxVersion;
    char ipmiVersionText[16];
    uint32_t ipmiVersion;
    char iscsiVersionText[16];
    uint32_t iscsiVersion;
    char uefiVersionText[16];
    uint32_t uefiVersion;
    char fcoeVersionText[16];
    uint32_t fcoeVersion;
    char cfxVersionText[16];
    uint32_t cfxVersion;
    char macText[16];
    uint32_t wasEnabled;
    // Nonzero once the run noted the port and asked the library to enable
    // it, whatever the answer: a failed enable may still have left it on.
    uint32_t enableAsked;
    uint32_t status;
    uint32_t extVpd;
    std::unique_ptr<ExtPhyFwr> extPhy;
    ConfigEntry* config;
};
