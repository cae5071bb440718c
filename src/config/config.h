// The configuration table "vxlkqfw.cfg": the adapters the utility supports
// and the firmware to put on them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/text.h"
#include "config/components.h"

inline constexpr const char* ConfigFileName = "vxlkqfw.cfg";
inline constexpr std::size_t MaxColumns = 32;

// One data row of the table. Entries form a singly linked list in file order.
struct ConfigEntry {
    std::unique_ptr<ConfigEntry> next;
    uint32_t ven;
    uint32_t device;
    uint32_t subven;
    uint32_t subdev;
    char crv[16];
    char family[32];
#define QIK_CONFIG_PAIR(key, ...) \
    char key##File[32];           \
    char key##Version[32];        \
    uint32_t key##Target;
    QIK_COMPONENTS(QIK_CONFIG_PAIR)
#undef QIK_CONFIG_PAIR
    char ibcfg[32];
    char lconf[32];
    char vpdFile[32];
    char vpdVersion[32];
    char SystemName[500];
    uint32_t familyTarget;
    char expose_fcoe[16];
    char enable_dcbx[16];
    unsigned line;  // of the table file, from 1, where messages name the row
};

// A row as messages name it, by its line: "vxlkqfw.cfg:17".
std::string row_name(unsigned line, std::string_view file = ConfigFileName);

// A component as the table holds it: its row of QIK_COMPONENTS, and the
// entry's fields its column (and any alias column) fills.
struct Component {
    ComponentKey key;
    const char* column;  // as findings and the checker's summary name it
    const char* alias;   // another column mapped onto the same fields, or nullptr
    const char* title;   // as progress lines, plans and results show it
    const char* option;  // the tool's
    int step;            // its place in the order the tool writes the components
    char (ConfigEntry::*file)[32];
    char (ConfigEntry::*version)[32];
    uint32_t ConfigEntry::*target;  // the target number, read with the row
};

#define QIK_TABLE_COMPONENT(key, column, alias, title, option, step, installed) \
    {ComponentKey::key,                                                         \
     column,                                                                    \
     alias,                                                                     \
     title,                                                                     \
     option,                                                                    \
     step,                                                                      \
     &ConfigEntry::key##File,                                                   \
     &ConfigEntry::key##Version,                                                \
     &ConfigEntry::key##Target},
// In the order of QIK_COMPONENTS, so that ComponentKey indexes it.
inline constexpr Component Components[] = {QIK_COMPONENTS(QIK_TABLE_COMPONENT)};
#undef QIK_TABLE_COMPONENT

constexpr const Component& component(ComponentKey key) {
    return Components[static_cast<std::size_t>(key)];
}

// The external PHY has no column of its own: its image is the management
// port's pair ("qmx", or the "extphy" column mapped onto it), whose file
// name tells the PHY's kind.
inline std::string_view phy_image_file(const ConfigEntry& entry) {
    return field_text(entry.qmxFile);
}
inline std::string_view phy_image_version(const ConfigEntry& entry) {
    return field_text(entry.qmxVersion);
}

// How a column's token is read.
enum class ColumnForm {
    Hex,          // a hexadecimal number
    Text,         // a word
    FileVersion,  // an image file name, a comma, a version
};

// Where a column's values go in an entry.
struct ColumnFields {
    uint32_t* number = nullptr;
    std::span<char> text;     // the text, or a pair's file name
    std::span<char> version;  // a pair's version text
};

// One column the table may name.
struct Column {
    const char* name;
    ColumnForm form;
    ColumnFields (*fields)(ConfigEntry&);
};

// Every column the table may name.
std::span<const Column> table_columns();

// The current header while reading: references into table_columns().
struct ColumnList {
    const Column* columns[MaxColumns];
    std::size_t count;
};

// Why a table was refused: the line (1-based) and a reason naming the token
// and column where there is one. Line 0 means the file itself.
struct ConfigError {
    unsigned line = 0;
    std::string reason;
};

// "vxlkqfw.cfg:3: reason", or without the line when the file cannot be read.
std::string config_error_text(const ConfigError& error);

// Releases a whole list, one entry at a time (no recursion over long lists).
void free_config(std::unique_ptr<ConfigEntry> head);

// Owns the list from read_config to the end of the run.
class ConfigList {
  public:
    ConfigList() = default;
    explicit ConfigList(std::unique_ptr<ConfigEntry> head) : head_(std::move(head)) {}
    ConfigList(ConfigList&&) noexcept = default;
    ConfigList& operator=(ConfigList&& other) noexcept {
        free_config(std::move(head_));
        head_ = std::move(other.head_);
        return *this;
    }
    ~ConfigList() { free_config(std::move(head_)); }

    ConfigEntry* head() const { return head_.get(); }
    explicit operator bool() const { return head_ != nullptr; }

  private:
    std::unique_ptr<ConfigEntry> head_;
};

// Reads the table at `path`; an empty list when the file cannot be opened,
// any line fails, or no data row is found. `error`, when given, says why.
ConfigList read_config(const char* path, ConfigError* error = nullptr);
// The bytes of the table file as read_config reads them; false, with why in
// `error`, when it cannot be opened or read.
bool read_config_bytes(const char* path, std::string& contents, ConfigError& error);

// The same reader over a table held in memory.
ConfigList read_config_text(std::string_view contents, ConfigError* error = nullptr);

// Replaces `list` with the columns the header line names; the number of
// columns, or -1 when a token is not a column name or there are too many.
int read_header_line(std::string_view line, ColumnList& list);

// Appends `entry` behind `tail` (or as the head of an empty list).
ConfigEntry* append_entry(std::unique_ptr<ConfigEntry>& head, ConfigEntry*& tail,
                          std::unique_ptr<ConfigEntry> entry);

// What a table row is matched on: an adapter's PCI IDs and its chip
// revision as the inventory writes it (two lower-case hex digits).
struct AdapterIdentity {
    uint32_t vendorId;
    uint32_t deviceId;
    uint32_t subVendorId;
    uint32_t subDeviceId;
    std::string_view chipRevision;
};

// The first entry whose four IDs and chip revision text match the adapter.
ConfigEntry* find_config(const AdapterIdentity& adapter, ConfigEntry* head);

// Whether the entry names the adapter's PCI IDs, whatever its chip revision.
bool names_ids_of(const ConfigEntry& entry, const AdapterIdentity& adapter);

// A PCI ID as the table and messages write it: four lower-case hex digits.
std::string pci_id_text(uint32_t id);

// A token as diagnostics show it: quoted, control characters and bytes
// outside ASCII escaped, cut after 60 characters.
std::string quoted_token(std::string_view token);

// A target version text of the table as a version number: dots separate
// pieces (runs of dots as one), each piece read like a decimal integer.
uint32_t target_version_number(std::string_view text);
