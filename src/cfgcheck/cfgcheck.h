// What qik_cfgcheck finds in a table that the utility reads without
// complaint: the mistakes of a package that would show only on a server, and
// notes on rows that can never take effect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"

struct Component {
    const char* name;    // as the summary shows it
    const char* column;  // as findings name it: the columns that fill it
    char (ConfigEntry::*file)[32];
    char (ConfigEntry::*version)[32];
    uint32_t ConfigEntry::*number;  // null: the utility keeps no target number
};

// In the order the update programs them; qmx also holds what "extphy" names,
// ipmi what "l2fw" names.
inline constexpr Component Components[] = {
    {"bc", "bc", &ConfigEntry::bcFile, &ConfigEntry::bcVersion, &ConfigEntry::bcNum},
    {"bta", "bta", &ConfigEntry::btaFile, &ConfigEntry::btaVersion, &ConfigEntry::btaNum},
    {"ncsi", "ncsi", &ConfigEntry::ncsiFile, &ConfigEntry::ncsiVersion, &ConfigEntry::ncsiNum},
    {"qmx", "qmx/extphy", &ConfigEntry::qmxFile, &ConfigEntry::qmxVersion, &ConfigEntry::qmxNum},
    {"ipmi", "ipmi/l2fw", &ConfigEntry::ipmiFile, &ConfigEntry::ipmiVersion, &ConfigEntry::ipmiNum},
    {"iscsib", "iscsib", &ConfigEntry::iscsibFile, &ConfigEntry::iscsibVersion,
     &ConfigEntry::iscsibNum},
    {"uefi", "uefi", &ConfigEntry::uefiFile, &ConfigEntry::uefiVersion, &ConfigEntry::uefiNum},
    {"fcoeb", "fcoeb", &ConfigEntry::fcoebFile, &ConfigEntry::fcoebVersion, &ConfigEntry::fcoebNum},
    {"cfx", "cfx", &ConfigEntry::cfxFile, &ConfigEntry::cfxVersion, &ConfigEntry::cfxNum},
    {"VPD", "VPD", &ConfigEntry::vpdFile, &ConfigEntry::vpdVersion, nullptr},
};

struct Finding {
    std::size_t entry;  // position in the list, from 0
    bool note;          // an error only in strict mode
    std::string reason;
};

// Fills every entry's target numbers as the utility does for a matched adapter.
void fill_target_numbers(const ConfigList& list);

// The line of each data row of the table text, in file order.
std::vector<unsigned> row_lines(std::string_view contents);

// What is wrong with each entry, in list order; the files it names are
// looked for in `dir`.
std::vector<Finding> check_entries(const ConfigList& list, const std::filesystem::path& dir);
