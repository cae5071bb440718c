#include "adapter/enabled_note.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "adapter/inventory.h"
#include "adpm/adpm.h"
#include "common/file.h"
#include "common/text.h"
#include "common/working_directory.h"

namespace {

constexpr const char* BootIdPath = "/proc/sys/kernel/random/boot_id";
constexpr const char* RewrittenNoteName = "qik_enabled.txt.new";
// Far more than the lines of any server's ports; a longer note was not
// written by the utility and is not read.
constexpr std::size_t NoteLimit = 1 << 20;
// The boot id's form: 8-4-4-4-12 hex digits.
constexpr std::string_view BootIdPattern = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";

bool is_boot_id(std::string_view text) {
    if (text.size() != BootIdPattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (BootIdPattern[i] == '-' ? text[i] != '-' : !is_hex_digit(text[i])) return false;
    return true;
}

bool is_service_name(std::string_view name) {
    return !name.empty() && std::none_of(name.begin(), name.end(), is_terminal_control);
}

// Writes all of `text` at the file's end in one call: a line is never left
// half written by a run that dies meanwhile.
bool write_whole(int fd, const std::string& text) {
    const ssize_t n = write(fd, text.data(), text.size());
    return n == static_cast<ssize_t>(text.size());
}

// A note whose last line lacks its line feed gets one first, so that the new
// line is not glued to it.
bool ends_unterminated(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_size == 0) return false;
    char last = '\n';
    return pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

bool append_synced(const WorkingDirectory& directory, const std::string& line) {
    const int fd = directory.open(EnabledNoteName, O_RDWR | O_CREAT | O_APPEND | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    bool written = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (written && ends_unterminated(fd)) written = write_whole(fd, "\n");
    written = written && write_whole(fd, line) && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return written && directory.sync();
}

enum class NoteState { Missing, Read, Unreadable };

struct Note {
    NoteState state;
    std::string text;
};

// The whole note: a link, a file that is not a regular file, a read error
// or a note beyond the limit cannot be read whole.
Note read_note(const WorkingDirectory& directory) {
    const int fd = directory.open(EnabledNoteName, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return {errno == ENOENT ? NoteState::Missing : NoteState::Unreadable, {}};
    Note note{NoteState::Unreadable, std::string(NoteLimit + 1, '\0')};
    struct stat info {};
    std::size_t length = 0;
    ssize_t n = 0;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        while (length <= NoteLimit &&
               (n = read(fd, note.text.data() + length, NoteLimit + 1 - length)) > 0)
            length += static_cast<std::size_t>(n);
        if (n == 0 && length <= NoteLimit) note.state = NoteState::Read;
    }
    close(fd);
    note.text.resize(note.state == NoteState::Read ? length : 0);
    return note;
}

// Never deleted: it may name ports a person must still disable.
void set_aside_note(const WorkingDirectory& directory) {
    const std::string name =
        directory.rename_to_free_name(EnabledNoteName, EnabledNoteSetAsideName);
    if (name.empty())
        std::fprintf(stderr, "qik_programmer: %s cannot be read whole nor set aside: %s\n",
                     EnabledNoteName, std::strerror(errno));
    else
        std::fprintf(stderr,
                     "qik_programmer: %s cannot be read whole; it is set aside as %s, and the "
                     "ports it names are not disabled\n",
                     EnabledNoteName, name.c_str());
}

void say_dropped(std::string_view line, const char* why) {
    std::fprintf(stderr, "qik_programmer: %s: not acted on, dropped: %s (%s)\n", EnabledNoteName,
                 quoted_word(line).c_str(), why);
}

void say_kept(const NotedPort& port, const char* what) {
    std::fprintf(stderr, "qik_programmer: %s %s (%s); %s keeps it for the next run\n", what,
                 printable(port.serviceName).c_str(), port.mac.c_str(), EnabledNoteName);
}

// The ports of this boot the note names; every other line is dropped.
std::vector<NotedPort> ports_of_this_boot(std::string_view text, const std::string& boot) {
    std::vector<NotedPort> ports;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.empty()) continue;
        std::optional<NotedPort> port = parse_note_line(line);
        if (!port)
            say_dropped(line, "not a MAC, a service name and a boot id");
        else if (lower_case(port->bootId) != boot)
            say_dropped(line, "written in another boot");
        else
            ports.push_back(std::move(*port));
    }
    return ports;
}

// True when the port is disabled, or known not to be here: its line goes.
bool disable_port(const AdpmApi& adpm, const NotedPort& port, const FindPort& find) {
    const PortLookup found = find(port.serviceName);
    if (found.answer == PortLookup::Answer::Unknown) {
        say_kept(port, "cannot find");
        return false;
    }
    if (found.answer == PortLookup::Answer::NoPort ||
        lower_case(found.mac) != lower_case(port.mac)) {
        say_dropped(port.mac + " " + port.serviceName,
                    "no port of this server has that MAC and name");
        return true;
    }
    if (adpm.AdpmEnableDevice(found.handle, 0) == AdpmSuccess) return true;
    say_kept(port, "cannot disable");
    return false;
}

// Replaces the note by `lines` in one rename, so that a run killed meanwhile
// leaves the old note or the new one, never a part of either.
bool rewrite_note(const WorkingDirectory& directory, const std::string& lines) {
    directory.remove(RewrittenNoteName);
    const int fd = directory.open(RewrittenNoteName, O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0) return false;
    const bool written = write_whole(fd, lines) && fsync(fd) == 0;
    close(fd);
    if (!written || !directory.rename(RewrittenNoteName, EnabledNoteName)) {
        directory.remove(RewrittenNoteName);
        return false;
    }
    return directory.sync();
}

// The lines that are left; no note when none is.
void store_note(const WorkingDirectory& directory, const std::string& lines, NoteState state) {
    bool stored = true;
    if (!lines.empty())
        stored = rewrite_note(directory, lines);
    else if (state == NoteState::Read)
        stored = directory.remove(EnabledNoteName) && directory.sync();
    if (!stored)
        std::fprintf(stderr, "qik_programmer: cannot rewrite %s: %s\n", EnabledNoteName,
                     std::strerror(errno));
}

}  // namespace

std::optional<std::string> note_line(const NotedPort& port) {
    if (!is_mac_digits(port.mac) || !is_service_name(port.serviceName) || !is_boot_id(port.bootId))
        return std::nullopt;
    return lower_case(port.mac) + " " + port.serviceName + " " + lower_case(port.bootId) + "\n";
}

// The service name is all between the MAC and the boot id, blanks included.
std::optional<NotedPort> parse_note_line(std::string_view line) {
    const std::size_t first = line.find(' ');
    const std::size_t last = line.rfind(' ');
    if (first == std::string_view::npos || last <= first) return std::nullopt;
    NotedPort port{std::string(line.substr(0, first)),
                   std::string(line.substr(first + 1, last - first - 1)),
                   std::string(line.substr(last + 1))};
    if (!note_line(port)) return std::nullopt;
    return port;
}

std::optional<std::string> this_boot_id() {
    std::optional<std::string> id = read_own_file(BootIdPath, BootIdPattern.size() + 1);
    if (!id) return std::nullopt;
    if (id->ends_with('\n')) id->pop_back();
    if (!is_boot_id(*id)) return std::nullopt;
    return lower_case(*id);
}

bool note_enabled(const WorkingDirectory& directory, std::string_view mac,
                  std::string_view serviceName) {
    const std::optional<std::string> boot = this_boot_id();
    if (!boot) return false;
    const std::optional<std::string> line =
        note_line({std::string(mac), std::string(serviceName), *boot});
    return line && append_synced(directory, *line);
}

void disable_noted_ports(const AdpmApi& adpm, const WorkingDirectory& directory,
                         std::span<const NotedPort> asked, const FindPort& find) {
    const Note note = read_note(directory);
    if (note.state == NoteState::Unreadable) set_aside_note(directory);
    const std::optional<std::string> boot = this_boot_id();
    if (!boot) {
        // No line can be judged; the asked ports were never noted, so never enabled.
        if (note.state == NoteState::Read)
            std::fprintf(stderr,
                         "qik_programmer: the boot id cannot be read; %s is left as it is\n",
                         EnabledNoteName);
        return;
    }
    std::vector<NotedPort> ports(asked.begin(), asked.end());
    for (NotedPort& port : ports) port.bootId = *boot;
    for (NotedPort& port : ports_of_this_boot(note.text, *boot)) ports.push_back(std::move(port));

    std::set<std::pair<std::string, std::string>> settled;
    std::string kept;
    for (const NotedPort& port : ports) {
        if (!settled.emplace(lower_case(port.mac), port.serviceName).second) continue;
        if (!disable_port(adpm, port, find)) kept += note_line(port).value_or("");
    }
    store_note(directory, kept, note.state);
}

namespace {

std::vector<NotedPort> asked_ports(std::span<const AdapterRecord> records) {
    std::vector<NotedPort> asked;
    for (const AdapterRecord& r : records)
        if (r.enableAsked != 0)
            asked.push_back(
                {std::string(field_text(r.macText)), std::string(field_text(r.serviceName)), {}});
    return asked;
}

PortLookup port_with_handle(const AdpmApi& adpm, uint32_t handle) {
    std::optional<std::string> mac = read_mac(adpm, handle);
    if (!mac) return {PortLookup::Answer::Unknown, 0, {}};
    return {PortLookup::Answer::Port, handle, std::move(*mac)};
}

// After a complete inventory every record's handle is current; the MAC of a
// function the run did not describe is read now.
PortLookup port_among(const AdpmApi& adpm, std::span<const AdapterRecord> records,
                      std::string_view serviceName) {
    for (const AdapterRecord& r : records) {
        if (field_text(r.serviceName) != serviceName) continue;
        if (field_text(r.macText).empty()) return port_with_handle(adpm, r.handle);
        return {PortLookup::Answer::Port, r.handle, std::string(field_text(r.macText))};
    }
    return {PortLookup::Answer::NoPort, 0, {}};
}

// After a failed inventory the library may fail again: a port it does not
// find is not known to be gone.
PortLookup port_by_name(const AdpmApi& adpm, std::string_view serviceName) {
    uint32_t handle = 0;
    if (adpm.AdpmGetHandleByServiceName(std::string(serviceName).c_str(), &handle) != AdpmSuccess)
        return {PortLookup::Answer::Unknown, 0, {}};
    return port_with_handle(adpm, handle);
}

}  // namespace

void restore_device_state(const AdpmApi& adpm, const WorkingDirectory& directory,
                          std::span<const AdapterRecord> records) {
    disable_noted_ports(
        adpm, directory, asked_ports(records),
        [&adpm, records](std::string_view name) { return port_among(adpm, records, name); });
}

void restore_device_state_by_name(const AdpmApi& adpm, const WorkingDirectory& directory,
                                  std::span<const AdapterRecord> records) {
    disable_noted_ports(adpm, directory, asked_ports(records),
                        [&adpm](std::string_view name) { return port_by_name(adpm, name); });
}
