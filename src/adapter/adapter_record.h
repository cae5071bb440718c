// One record per adapter function the library reports.
#pragma once

#include <cstdint>
#include <memory>

#include "adapter/ext_phy_record.h"
#include "config/components.h"

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
#define QIK_INSTALLED_VERSION(key, ...) \
    char key##VersionText[16];          \
    uint32_t key##Version;
    QIK_COMPONENTS(QIK_INSTALLED_VERSION)
#undef QIK_INSTALLED_VERSION
    char macText[16];
    uint32_t wasEnabled;
    // Nonzero once the run noted the port and asked the library to enable
    // it, whatever the answer: a failed enable may still have left it on.
    uint32_t enableAsked;
    uint32_t status;
    uint32_t extVpd;
    std::unique_ptr<ExtPhyFirmware> extPhy;
    ConfigEntry* config;
};
