// The steps of one adapter function's update, decided before any of them
// runs: the engine runs them (update_sequence.cpp) and qik_plan shows them,
// so that what a plan lists is what a run does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/adapter_record.h"

// One tool command of the update, as program_device takes it.
struct ToolStep {
    std::string name;  // as progress lines and plans show it
    std::string from;  // the installed version text, or empty
    std::string to;    // the target version text, or empty
    const char* option;
    std::string file;
    uint32_t installedVersion;
};

// A component the update does not write, and why.
struct ComponentLeft {
    std::string name;
    std::string from;
    std::string to;
    std::string why;
};

// Where the new family version goes.
enum class FamilyRoute {
    TakenFromFunction0,  // a function other than 0 reports its function 0's outcome
    NvramVpd,            // rewritten through the library at NVRAM 0x100
    VpdTemplate,         // "VpdUpdate.txt" made from the table's template, written by the tool
};

struct UpdateSteps {
    bool probe = false;        // function 0: the tool's "dir" before anything else
    bool programming = false;  // the backup, then `writes`; a failed write is restored
    std::string notProgrammedWhy;
    std::vector<ToolStep> writes;  // the components that are out of date, then the module
    std::vector<ComponentLeft> left;
    std::optional<ToolStep> phy;
    std::string noPhyWhy;
    FamilyRoute family = FamilyRoute::TakenFromFunction0;
};

// The steps of a matched record (its `config` is set). Deciding the PHY step
// fills the record's PHY kind and numbers, as the check always has.
UpdateSteps update_steps(AdapterRecord& record, bool force);

// The part-number module file the update writes to adapters with these PCI
// device and subsystem device IDs, or null when they take none.
const char* module_file_for(uint32_t deviceId, uint32_t subDeviceId);
