#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "adapter/ext_phy_record.h"
#include "cfgcheck/cfgcheck.h"
#include "common/text.h"
#include "engine/ext_phy.h"
#include "engine/update_steps.h"
#include "vpd/vpd.h"

namespace {

// An adapter with the entry's IDs and chip revision, as the matching sees one.
AdapterIdentity adapter_like(const ConfigEntry& entry) {
    return {entry.ven, entry.device, entry.subven, entry.subdev, field_text(entry.crv)};
}

// Adapters report their chip revision as two lower-case hex digits.
bool revision_can_match(std::string_view crv) {
    return crv.size() == 2 && std::ranges::all_of(crv, [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// The first of the three groups the utility reads from a target version
// (runs of dots separate; each group is its leading decimal number) whose
// number does not fit two decimal places, as written.
std::optional<std::string_view> wide_group(std::string_view version) {
    std::size_t pos = 0;
    for (int group = 0; group < 3; ++group) {
        pos = version.find_first_not_of('.', pos);
        if (pos == std::string_view::npos) break;
        const std::size_t end = std::min(version.find('.', pos), version.size());
        std::string_view piece = version.substr(pos, end - pos);
        if (piece.starts_with('+')) piece.remove_prefix(1);
        long long value = 0;
        const auto [stop, error] =
            std::from_chars(piece.data(), piece.data() + piece.size(), value);
        const bool wide = error == std::errc::result_out_of_range ||
                          (error == std::errc{} && (value < 0 || value > 99));
        if (wide) return piece.substr(0, static_cast<std::size_t>(stop - piece.data()));
        pos = end;
    }
    return std::nullopt;
}

std::string dotted(uint32_t number) {
    return std::to_string(number / 10000) + "." + std::to_string(number / 100 % 100) + "." +
           std::to_string(number % 100);
}

// Why the file cannot serve the tool, or nothing when it is a readable
// regular file.
std::optional<std::string> file_problem(const std::filesystem::path& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? std::string("no such file beside the table")
                               : std::string("cannot be looked at: ") + std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string("cannot be read: ") + std::strerror(errno);
    close(fd);
    return std::nullopt;
}

// The first line ending in CR LF, from 1, and how many do; 0 lines when none.
struct CrLfLines {
    unsigned first = 0;
    unsigned count = 0;
};

CrLfLines crlf_lines(std::string_view contents) {
    CrLfLines found;
    unsigned line = 1;
    for (std::size_t end; (end = contents.find('\n')) != std::string_view::npos; ++line) {
        if (end > 0 && contents[end - 1] == '\r') {
            if (found.count++ == 0) found.first = line;
        }
        contents.remove_prefix(end + 1);
    }
    return found;
}

// Collects the findings of one entry.
struct EntryCheck {
    const ConfigEntry& entry;
    std::size_t position;
    const std::filesystem::path& table;
    std::vector<Finding>& findings;
    const std::filesystem::path dir = table.parent_path();

    void error(std::string reason) {
        findings.push_back({position, entry.line, false, std::move(reason)});
    }
    void note(std::string reason) {
        findings.push_back({position, entry.line, true, std::move(reason)});
    }

    // Whether the file is there to be read.
    bool file(const std::string& what, std::string_view name, const std::string& detail = {}) {
        const auto problem = file_problem(dir / std::string(name));
        if (problem) error(what + " " + quoted_token(name) + detail + ": " + *problem);
        return !problem;
    }
};

void check_identity(EntryCheck& check, ConfigEntry* head) {
    const ConfigEntry& e = check.entry;
    if (!revision_can_match(field_text(e.crv)))
        check.error("chip revision " + quoted_token(field_text(e.crv)) +
                    " matches no adapter: adapters report theirs as two lower-case hex digits");
    if (std::max({e.ven, e.device, e.subven, e.subdev}) > 0xFFFF)
        check.note("matches no adapter: PCI IDs have at most four hex digits");
    const ConfigEntry* first = find_config(adapter_like(e), head);
    if (first != &e)
        check.note("never used: " + row_name(first->line, check.table.string()) +
                   " has the same IDs and chip revision");
}

void check_versions(EntryCheck& check) {
    const ConfigEntry& e = check.entry;
    if (!is_valid_family_text(field_text(e.family)))
        check.error("family " + quoted_token(field_text(e.family)) +
                    " cannot be read back from the VPD: 3 to 8 characters, digits and single "
                    "dots, at most two digits in a group, a digit first");
    for (const Component& c : Components) {
        const std::string_view version = field_text(e.*c.version);
        if (const auto group = wide_group(version))
            check.error(columns_of(c) + " version " + quoted_token(version) + ": group " +
                        std::string(*group) +
                        " does not fit two digits and spills into the next group (read as " +
                        std::to_string(e.*c.target) + ", as " + dotted(e.*c.target) + " would be)");
    }
}

// The "none" PHY image is no file as long as no management port target
// hands it to the tool.
bool names_a_file(const ConfigEntry& e, const Component& c) {
    const std::string_view file = field_text(e.*c.file);
    if (file.empty()) return false;
    return !(c.key == ComponentKey::qmx && file == NoExtPhyFile && e.qmxTarget == 0);
}

// The engine tells the PHY kind from the image name; a name without a kind
// is never programmed as a PHY.
void check_phy(EntryCheck& check) {
    const ConfigEntry& e = check.entry;
    const std::string_view file = phy_image_file(e);
    if (!file.empty() && file != NoExtPhyFile && e.qmxTarget == 0 &&
        phy_kind_of(file) == PhyKind::None)
        check.note("qmx/extphy image " + quoted_token(file) +
                   " is never programmed: its name holds no PHY kind and its version no qmx "
                   "target");
}

// The utility writes the family line of VpdUpdate.txt with LF alone; every
// other line of the template reaches the tool as it is.
void check_template_line_ends(EntryCheck& check, std::string_view name) {
    const std::optional<std::string> text = text_of(check.dir / std::string(name));
    if (text && crlf_lines(*text).count != 0)
        check.note("VPD template " + quoted_token(name) +
                   " has lines ending in CR LF: the tool gets them so, but the family line "
                   "with LF alone; save it with LF line ends");
}

void check_files(EntryCheck& check) {
    const ConfigEntry& e = check.entry;
    for (const Component& c : Components)
        if (names_a_file(e, c)) check.file(columns_of(c) + " image", field_text(e.*c.file));
    if (!field_text(e.vpdFile).empty() && check.file("VPD template", field_text(e.vpdFile)))
        check_template_line_ends(check, field_text(e.vpdFile));
    if (const char* module = module_file_for(e.device, e.subdev))
        check.file(
            "part-number module", module,
            " (device " + pci_id_text(e.device) + ", subsystem " + pci_id_text(e.subdev) + ")");
}

}  // namespace

std::optional<std::string> text_of(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) return std::nullopt;
    return text;
}

std::vector<LineFinding> check_text(std::string_view contents) {
    std::vector<LineFinding> findings;
    if (contents.starts_with('!'))
        findings.push_back({1, false,
                            "line 1 is the table's title and never read, so this header names no "
                            "columns: put a title line above it"});
    if (const CrLfLines crlf = crlf_lines(contents); crlf.count != 0)
        findings.push_back({crlf.first, true,
                            "ends in CR LF (" + std::to_string(crlf.count) +
                                (crlf.count == 1 ? " line does" : " lines do") +
                                "): the utility reads them, but save the table with LF line ends"});
    return findings;
}

std::string columns_of(const Component& component) {
    return component.alias ? std::string(component.column) + '/' + component.alias
                           : std::string(component.column);
}

std::vector<Finding> check_entries(const ConfigList& list, const std::filesystem::path& table) {
    std::vector<Finding> findings;
    std::size_t position = 0;
    for (const ConfigEntry* e = list.head(); e; e = e->next.get()) {
        EntryCheck check{*e, position++, table, findings};
        check_identity(check, list.head());
        check_versions(check);
        check_phy(check);
        check_files(check);
    }
    return findings;
}
