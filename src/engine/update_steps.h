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

class Function0s;

// One tool command of the update, as program_device takes it.
struct ToolStep {
    std::string name;  // as progress lines and plans show it
    std::string from;  // the installed version text, or empty
    std::string to;    // the target version text, or empty
    const char* option;
    std::string file;
    uint32_t installedVersion;
    bool component = true;  // false for the part-number module, which holds no version
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
    // Why no backup can be made in the working directory at all: the run
    // ends there (result 4). Empty when it can, or when none is made.
    std::string noBackupWhy;
    std::optional<ToolStep> backup;   // before the writes, when programming
    std::vector<ToolStep> writes;     // the components that are out of date, then the module
    std::optional<ToolStep> restore;  // after a failed write
    std::vector<ComponentLeft> left;
    std::optional<ToolStep> phy;
    std::string noPhyWhy;
    FamilyRoute family = FamilyRoute::TakenFromFunction0;
    // The installed family text is the table's: the write leaves it as it is.
    bool familyCurrent = false;
    // The tool's write of "VpdUpdate.txt" on the template route.
    std::optional<ToolStep> familyWrite;
    // Why the family version cannot be written on its route, as the working
    // directory stands (result 13); empty when it can.
    std::string familyNotWrittenWhy;
};

// The steps of a matched record (its `config` is set). Deciding the PHY step
// fills the record's PHY kind and numbers, as the check always has.
UpdateSteps update_steps(AdapterRecord& record, bool force);

// The backup an earlier run had to keep of this function's adapter, found
// through its function 0 whichever of them the library lists first; ""
// when there is none. Nothing touches that adapter until a person has seen
// to it.
std::string kept_backup_of_adapter(const Function0s& function0s, const AdapterRecord& record,
                                   const std::vector<std::string>& kept);

// The part-number module file the update writes to adapters with these PCI
// device and subsystem device IDs, or null when they take none.
const char* module_file_for(uint32_t deviceId, uint32_t subDeviceId);
