// What qik_cfgcheck finds in a table that the utility reads without
// complaint: the mistakes of a package that would show only on a server, and
// notes on rows that can never take effect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"

// The columns that fill a component, as findings name them: "qmx/extphy".
std::string columns_of(const Component& component);

struct Finding {
    std::size_t entry;  // position in the list, from 0
    unsigned line;      // of its row in the table file
    bool note;          // an error only in strict mode
    std::string reason;
};

// The file's text, or nothing when it cannot be read.
std::optional<std::string> text_of(const std::filesystem::path& path);

// What the table's text shows that its entries do not: a header on the
// title line, line ends in CR LF.
struct LineFinding {
    unsigned line;  // from 1
    bool note;
    std::string reason;
};

std::vector<LineFinding> check_text(std::string_view contents);

// What is wrong with each entry, in list order; the files it names are
// looked for beside the table.
std::vector<Finding> check_entries(const ConfigList& list, const std::filesystem::path& table);
