// The family version of an adapter with extended VPD, written through the
// tool: the table's VPD template, its family line rewritten, becomes
// "VpdUpdate.txt", which the tool writes into the adapter's VPD.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/working_directory.h"
#include "engine/tool_command.h"

inline constexpr const char* VpdUpdateFileName = "VpdUpdate.txt";
inline constexpr const char* VpdFailedMessage = "failed to program VPD information into device";

// The writer: the tool it runs, the directory the file goes into, and where
// it says it failed.
struct FamilyWriter {
    const ToolRunner& tools;
    const WorkingDirectory& directory;
    // Standard output, unless the result document goes there too ("-print"),
    // whose XML must stay well-formed; then standard error.
    std::FILE* diagnostics;

    // Says that the family version could not be written; FamilyNotWritten.
    int not_written() const;

    // Turns the template into "VpdUpdate.txt" and has the tool write it; the
    // tool's ToolSuccess, ToolWriteProtect or ToolDriverNotSupported, or
    // FamilyNotWritten for any other failure.
    int write_from_template(const char* adapterId, uint32_t adapterType,
                            std::string_view familyText, const char* templatePath,
                            bool force) const;
};
