// qik_cfgcheck: reads a configuration table as the utility does and either
// names the line it would refuse or summarises the entries it holds, then
// names the rows whose files, versions or chip revision would fail on a
// server.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cfgcheck/cfgcheck.h"
#include "common/program_options.h"
#include "common/text.h"
#include "config/config.h"

namespace {

constexpr int ExitGood = 0;
constexpr int ExitBadTable = 1;
constexpr int ExitUsage = 2;
constexpr const char* Usage = "usage: qik_cfgcheck [--strict] [FILE]   (default vxlkqfw.cfg)\n";

struct Options {
    bool strict = false;
    const char* path = ConfigFileName;
    InfoRequest asked = InfoRequest::None;
};

enum class Request { Check, Info, Invalid };

Request parse_arguments(std::span<char*> args, Options& options) {
    bool pathGiven = false;
    for (const std::string_view arg : args) {
        if ((options.asked = info_request(arg)) != InfoRequest::None) return Request::Info;
        if (arg == "--strict") {
            options.strict = true;
        } else if ((arg.size() > 1 && arg[0] == '-') || pathGiven) {
            return Request::Invalid;
        } else {
            options.path = arg.data();
            pathGiven = true;
        }
    }
    return Request::Check;
}

// A text as it stands when it is plain, quoted and escaped otherwise.
std::string shown(std::string_view text) {
    bool plain = !text.empty();
    for (const char c : text) plain = plain && c > ' ' && c < 0x7f && c != '"';
    return plain ? std::string(text) : quoted_token(text);
}

std::string pair_summary(const char* name, std::string_view file, std::string_view version) {
    return std::string("; ") + name + " " + shown(file) + " " + shown(version);
}

std::string entry_summary(const ConfigEntry& entry, std::size_t position,
                          std::span<const Finding> findings) {
    char ids[80];
    std::snprintf(ids, sizeof ids, "ven %04x device %04x subven %04x subdev %04x", entry.ven,
                  entry.device, entry.subven, entry.subdev);
    std::string line = ids;
    line += " crv " + shown(field_text(entry.crv));
    line += " family " + shown(field_text(entry.family)) + " (" +
            std::to_string(entry.familyTarget) + ")";
    for (const Component& c : Components)
        if (!field_text(entry.*c.file).empty())
            line += pair_summary(c.column, entry.*c.file, entry.*c.version) + " (" +
                    std::to_string(entry.*c.target) + ")";
    if (!field_text(entry.vpdFile).empty())
        line += pair_summary("VPD", entry.vpdFile, entry.vpdVersion);
    for (const Finding& f : findings)
        if (f.note && f.entry == position) line += "; note: " + f.reason;
    return line;
}

void print_summary(const char* path, const ConfigList& list, std::span<const LineFinding> text,
                   std::span<const Finding> findings) {
    std::size_t count = 0;
    for (const ConfigEntry* e = list.head(); e; e = e->next.get()) ++count;
    std::printf("%s: %zu %s\n", path, count, count == 1 ? "entry" : "entries");
    for (const LineFinding& f : text)
        if (f.note) std::printf("note: line %u %s\n", f.line, f.reason.c_str());
    std::size_t position = 0;
    for (const ConfigEntry* e = list.head(); e; e = e->next.get(), ++position)
        std::printf("%s: %s\n", row_name(e->line, path).c_str(),
                    entry_summary(*e, position, findings).c_str());
}

void print_error(const char* path, unsigned line, const std::string& reason) {
    if (line == 0)
        std::fprintf(stderr, "%s: %s\n", path, reason.c_str());
    else
        std::fprintf(stderr, "%s:%u: %s\n", path, line, reason.c_str());
}

// Prints the findings (of the entries, or of the table's text) that count as
// errors; whether there was one.
template <typename Found>
bool print_errors(const Options& options, const std::vector<Found>& findings) {
    bool any = false;
    for (const Found& f : findings) {
        if (f.note && !options.strict) continue;
        print_error(options.path, f.line, f.reason);
        any = true;
    }
    return any;
}

int check_table(const Options& options) {
    ConfigError error;
    const ConfigList list = read_config(options.path, &error);
    const std::vector<LineFinding> textFindings = check_text(text_of(options.path).value_or(""));
    if (!list) {
        print_error(options.path, error.line, error.reason);
        print_errors(options, textFindings);
        return ExitBadTable;
    }
    const std::vector<Finding> findings = check_entries(list, options.path);
    print_summary(options.path, list, textFindings, findings);
    std::fflush(stdout);
    const bool textErrors = print_errors(options, textFindings);
    const bool entryErrors = print_errors(options, findings);
    return textErrors || entryErrors ? ExitBadTable : ExitGood;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const Request request = parse_arguments(std::span(argv + 1, argv + argc), options);
    if (request == Request::Info) return answer_info_request(options.asked, "qik_cfgcheck", Usage);
    if (request == Request::Invalid) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    return check_table(options);
}
