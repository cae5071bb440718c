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
#include "common/result_code.h"
#include "common/working_directory.h"

class Function0s;

// One tool command of the update: the engine runs `command`, qik_plan shows it.
struct ToolStep {
    std::string name;  // as progress lines and plans show it
    std::string from;  // the installed version text, or empty
    std::string to;    // the target version text, or empty
    const char* option;
    std::string file;
    uint32_t installedVersion;
    bool component = true;  // false for the part-number module, which holds no version
    // The exact command line; none when it does not fit its buffer, and the
    // step then fails without running (result 9).
    std::optional<std::string> command;
};

// A component the update does not write, and why.
struct ComponentLeft {
    std::string name;
    std::string from;
    std::string to;
    std::string why;
};

// A step that fails whatever the adapter holds: a file it needs cannot be
// read, or the tool cannot be run. The run still gives the tool the command
// and reports its failure as for any other; the plan says so beforehand.
struct FailingStep {
    std::string step;
    std::string why;  // names the file
    ResultCode code;  // what the function then reports
};

// Where the new family version goes.
enum class FamilyRoute {
    TakenFromFunction0,  // a function other than 0 reports its function 0's outcome
    NvramVpd,            // rewritten through the library at NVRAM 0x100
    VpdTemplate,         // "VpdUpdate.txt" made from the table's template, written by the tool
};

struct UpdateSteps {
    std::optional<ToolStep> probe;  // function 0: the tool's "dir" before anything else
    // After the probe the function is left alone, reporting this code: its
    // installed family version could not be read, so nothing can be
    // compared and the family version must not be written over it.
    std::optional<ResultCode> leftAloneAfterProbe;
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
    // The table's family version is lower than the installed one: function
    // 0 writes it over the higher one, and the next run, finding it current,
    // programs the adapter against the table.
    bool familyLowered = false;
    // The tool's write of "VpdUpdate.txt" on the template route.
    std::optional<ToolStep> familyWrite;
    // Why the family version cannot be written on its route, as the working
    // directory stands (result 13); empty when it can.
    std::string familyNotWrittenWhy;
    // The first step, in the run's order, that cannot but fail (the family
    // version not written is one); none when every file a step needs can
    // be read.
    std::optional<FailingStep> failing;
};

// The steps of a matched record (its `config` is set), with their command
// lines; `force` writes every component whatever its version. What the
// steps need of the working `directory` is looked at there, and nothing is
// written. Deciding the PHY step fills the record's PHY kind and numbers,
// as the check always has.
UpdateSteps update_steps(const WorkingDirectory& directory, AdapterRecord& record, bool force);

// Why the run leaves a matched function alone before it takes its steps.
struct LeftAlone {
    ResultCode code;   // what the function reports
    bool byFunction0;  // its function 0 ended with `code`; else its own firmware cannot be read
};

// None when the run goes on to the function's steps. A function whose
// firmware information could not be read is never programmed; a function
// after its adapter's function 0 ended with `function0Status` other than 0
// runs no step of its own, and reports that code.
std::optional<LeftAlone> left_alone_before_steps(const AdapterRecord& record,
                                                 std::optional<uint32_t> function0Status);

// The backup an earlier run had to keep of this function's adapter, found
// through its function 0 whichever of them the library lists first; ""
// when there is none. Nothing touches that adapter until a person has seen
// to it (result 14). `kept` are the kept backups; `leftoverOwner` the MAC
// digits of a "buimage" an earlier run left, which the run keeps under them
// before it looks (none once it has).
std::string kept_backup_of_adapter(const Function0s& function0s, const AdapterRecord& record,
                                   const std::vector<std::string>& kept,
                                   const std::optional<std::string>& leftoverOwner);

// The part-number module file the update writes to adapters with these PCI
// device and subsystem device IDs, or null when they take none.
const char* module_file_for(uint32_t deviceId, uint32_t subDeviceId);
