// qik_cfgcheck: reads a configuration table as the utility does and either
// names the line it would refuse or summarises the entries it holds.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "adapter/adapter_record.h"
#include "common/text.h"
#include "config/config.h"

namespace {

constexpr int ExitGood = 0;
constexpr int ExitBadTable = 1;
constexpr int ExitUsage = 2;

struct Component {
    const char* name;
    char (ConfigEntry::*file)[32];
    char (ConfigEntry::*version)[32];
    uint32_t ConfigEntry::*number;  // null: the utility keeps no target number
};

// In the order the update programs them; qmx also holds what "extphy" names,
// ipmi what "l2fw" names.
constexpr Component Components[] = {
    {"bc", &ConfigEntry::bcFile, &ConfigEntry::bcVersion, &ConfigEntry::bcNum},
    {"bta", &ConfigEntry::btaFile, &ConfigEntry::btaVersion, &ConfigEntry::btaNum},
    {"ncsi", &ConfigEntry::ncsiFile, &ConfigEntry::ncsiVersion, &ConfigEntry::ncsiNum},
    {"qmx", &ConfigEntry::qmxFile, &ConfigEntry::qmxVersion, &ConfigEntry::qmxNum},
    {"ipmi", &ConfigEntry::ipmiFile, &ConfigEntry::ipmiVersion, &ConfigEntry::ipmiNum},
    {"iscsib", &ConfigEntry::iscsibFile, &ConfigEntry::iscsibVersion, &ConfigEntry::iscsibNum},
    {"uefi", &ConfigEntry::uefiFile, &ConfigEntry::uefiVersion, &ConfigEntry::uefiNum},
    {"fcoeb", &ConfigEntry::fcoebFile, &ConfigEntry::fcoebVersion, &ConfigEntry::fcoebNum},
    {"cfx", &ConfigEntry::cfxFile, &ConfigEntry::cfxVersion, &ConfigEntry::cfxNum},
    {"VPD", &ConfigEntry::vpdFile, &ConfigEntry::vpdVersion, nullptr},
};

// A text as it stands when it is plain, quoted and escaped otherwise.
std::string shown(std::string_view text) {
    bool plain = !text.empty();
    for (const char c : text) plain = plain && c > ' ' && c < 0x7f && c != '"';
    return plain ? std::string(text) : quoted_token(text);
}

// Adapters report their chip revision as two lower-case hex digits.
bool revision_can_match(std::string_view crv) {
    if (crv.size() != 2) return false;
    for (const char c : crv)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string entry_summary(ConfigEntry& entry) {
    AdapterRecord matched{};
    matched.config = &entry;
    fixup_config_entry(matched);

    char ids[80];
    std::snprintf(ids, sizeof ids, "ven %04x device %04x subven %04x subdev %04x", entry.ven,
                  entry.device, entry.subven, entry.subdev);
    std::string line = ids;
    line += " crv " + shown(field_text(entry.crv));
    line +=
        " family " + shown(field_text(entry.family)) + " (" + std::to_string(entry.familyNum) + ")";
    for (const auto& c : Components) {
        const std::string_view file = field_text(entry.*c.file);
        if (file.empty()) continue;
        line += std::string("; ") + c.name + " " + shown(file) + " " +
                shown(field_text(entry.*c.version));
        if (c.number) line += " (" + std::to_string(entry.*c.number) + ")";
    }
    if (!revision_can_match(field_text(entry.crv)))
        line += "; note: matches no adapter, whose chip revision is two lower-case hex digits";
    return line;
}

void print_summary(const char* path, const ConfigList& list) {
    std::size_t count = 0;
    for (const ConfigEntry* e = list.head(); e; e = e->next.get()) ++count;
    std::printf("%s: %zu %s\n", path, count, count == 1 ? "entry" : "entries");
    std::size_t number = 0;
    for (ConfigEntry* e = list.head(); e; e = e->next.get())
        std::printf("%zu: %s\n", ++number, entry_summary(*e).c_str());
}

void print_error(const char* path, const ConfigError& error) {
    if (error.line == 0)
        std::fprintf(stderr, "%s: %s\n", path, error.reason.c_str());
    else
        std::fprintf(stderr, "%s:%u: %s\n", path, error.line, error.reason.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0')) {
        const bool help =
            argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
        std::fprintf(help ? stdout : stderr, "usage: qik_cfgcheck [FILE]   (default %s)\n",
                     ConfigFileName);
        return help ? ExitGood : ExitUsage;
    }
    const char* path = argc == 2 ? argv[1] : ConfigFileName;
    ConfigError error;
    const ConfigList list = read_config(path, &error);
    if (!list) {
        print_error(path, error);
        return ExitBadTable;
    }
    print_summary(path, list);
    return ExitGood;
}
