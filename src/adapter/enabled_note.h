// The note of ports the utility enabled. A disabled port is noted before the
// run enables it, and its line removed only once it is disabled again: a run
// that is killed leaves the line, and a later run of the same boot disables
// the port. A line names the port by MAC and service name and carries the
// boot it was written in, so that a note copied from another server, or left
// from before a reboot (which disables the port anyway), never turns off a
// port that an administrator brought up.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "adapter/adapter_record.h"
#include "adpm/adpm.h"
#include "common/working_directory.h"

inline constexpr const char* EnabledNoteName = "qik_enabled.txt";
// Where a note that cannot be read whole is set aside for a person.
inline constexpr std::string_view EnabledNoteSetAsideName = "qik_enabled.txt.unread";

// One line of the note: "MAC SERVICE-NAME BOOT-ID".
struct NotedPort {
    std::string mac;  // 12 hex digits
    std::string serviceName;
    std::string bootId;
};

// The line for `port`, with its line feed; none when the port cannot be
// named in one line (an empty service name, or one with a control byte).
std::optional<std::string> note_line(const NotedPort& port);
// The port a line names (without its line feed); none when the line is not
// of the note's form.
std::optional<NotedPort> parse_note_line(std::string_view line);

// The kernel's id of the running boot; none when it cannot be read.
std::optional<std::string> this_boot_id();

// Appends the port's line, of this boot, whole and synced; false when that
// cannot be done (the port must then not be enabled).
bool note_enabled(const WorkingDirectory& directory, std::string_view mac,
                  std::string_view serviceName);

// What the library says of a service name now: the port and its MAC, no
// such port, or nothing (a call failed, so the line is kept for a later run).
struct PortLookup {
    enum class Answer { Port, NoPort, Unknown };
    Answer answer;
    uint32_t handle;
    std::string mac;
};
using FindPort = std::function<PortLookup(std::string_view serviceName)>;

// Disables every port in `asked` (this run asked to enable them, whatever the
// library answered) and every port a line of this boot names by its MAC and
// service name. Lines of another boot, of no present port or not of the
// note's form are dropped, each with a line on standard error; a failed
// disable keeps its line. A note that cannot be read whole is set aside.
void disable_noted_ports(const AdpmApi& adpm, const WorkingDirectory& directory,
                         std::span<const NotedPort> asked, const FindPort& find);

// Disables again every port the inventory asked to enable, and those an
// earlier, interrupted run of this boot noted.
void restore_device_state(const AdpmApi& adpm, const WorkingDirectory& directory,
                          std::span<const AdapterRecord> records);

// The same after a failed inventory, when a record's handle may be missing or
// older than the library's refresh: each port is found by its service name.
void restore_device_state_by_name(const AdpmApi& adpm, const WorkingDirectory& directory,
                                  std::span<const AdapterRecord> records);
