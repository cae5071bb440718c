#include "adapter/enabled_note.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "common/working_directory.h"
#include "support/fake_adpm.h"
#include "support/scratch_dir.h"

namespace {

using Answer = PortLookup::Answer;

// The port the lines name, known to the library by handle 7.
void install_port() {
    install_fake_adpm();
    FakeFunction port;
    port.handle = 7;
    port.serviceName = "eth5";
    fake_adpm().functions.push_back(port);
}

TEST(EnabledNoteLine, OnlyAMacANameAndABootId) {
    const struct {
        const char* line;
        bool taken;
    } cases[] = {
        {"001c5a400001 eth5 f79d124e-ea4e-45ab-be38-32d464e3bbdc", true},
        {"001C5A400001 eth5 F79D124E-EA4E-45AB-BE38-32D464E3BBDC", true},
        {"001c5a400001 port 5 f79d124e-ea4e-45ab-be38-32d464e3bbdc", true},
        {"eth0", false},
        {"eth9eth5", false},
        {"001c5a40001 eth5 f79d124e-ea4e-45ab-be38-32d464e3bbdc", false},
        {"001c5a40000g eth5 f79d124e-ea4e-45ab-be38-32d464e3bbdc", false},
        {"001c5a400001  f79d124e-ea4e-45ab-be38-32d464e3bbdc", false},
        {"001c5a400001 eth5 f79d124e-ea4e-45ab-be38-32d464e3bbd", false},
        {"001c5a400001 eth5 f79d124e_ea4e-45ab-be38-32d464e3bbdc", false},
        {"001c5a400001 eth\t5 f79d124e-ea4e-45ab-be38-32d464e3bbdc", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parse_note_line(c.line).has_value(), c.taken);
    }
}

// What becomes of one line of this boot, by what the library says of its port.
// A port is enabled only once its line will outlast a killed run: a note
// the directory cannot open or sync refuses the port.
TEST(EnabledNote, ALineTheDirectoryCannotKeepIsRefused) {
    const struct {
        const char* name;
        void (*fail)(WorkingDirectory& directory);
    } cases[] = {
        {"the note cannot be opened",
         [](WorkingDirectory& d) {
             d.open = [](const char*, int) {
                 errno = EACCES;
                 return -1;
             };
         }},
        {"the directory cannot be synced",
         [](WorkingDirectory& d) {
             d.sync = [] {
                 errno = EIO;
                 return false;
             };
         }},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        WorkingDirectory directory = process_working_directory();
        c.fail(directory);
        EXPECT_FALSE(note_enabled(directory, "001c5a400001", "eth5")) << c.name;
    }
    ScratchDir dir;
    EXPECT_TRUE(note_enabled(process_working_directory(), "001c5a400001", "eth5"));
}

TEST(EnabledNote, ALineGoesOnlyOnceItsPortIsDisabledOrKnownAbsent) {
    const std::string boot = this_boot_id().value();
    const struct {
        const char* name;
        PortLookup found;
        uint32_t disableAnswer;  // injected; 0 = none
        bool disableCalled;
        bool lineKept;
    } cases[] = {
        {"disabled", {Answer::Port, 7, "001c5a400001"}, 0, true, false},
        {"MAC in another case", {Answer::Port, 7, "001C5A400001"}, 0, true, false},
        {"disable fails", {Answer::Port, 7, "001c5a400001"}, 1, true, true},
        {"another MAC", {Answer::Port, 7, "001c5a400009"}, 0, false, false},
        {"no such port", {Answer::NoPort, 0, ""}, 0, false, false},
        {"library fails", {Answer::Unknown, 0, ""}, 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        install_port();
        if (c.disableAnswer != 0) fake_adpm().fail("AdpmEnableDevice", c.disableAnswer);
        const std::string line = "001c5a400001 eth5 " + boot + "\n";
        // Twice: one port is settled once.
        ScratchDir::write(EnabledNoteName, line + line);
        disable_noted_ports(fake_adpm().api, process_working_directory(), {},
                            [&](std::string_view) { return c.found; });
        EXPECT_EQ(fake_adpm().calls_of("AdpmEnableDevice").size(), c.disableCalled ? 1u : 0u);
        EXPECT_EQ(ScratchDir::read(EnabledNoteName), c.lineKept ? line : "");
    }
}

// The run's own ports are disabled even when the note cannot be read.
TEST(EnabledNote, AnUnreadableNoteIsSetAsideAndTheAskedPortsDisabled) {
    ScratchDir dir;
    install_port();
    std::filesystem::create_directory(EnabledNoteName);
    const NotedPort asked[] = {{"001c5a400001", "eth5", {}}};
    disable_noted_ports(fake_adpm().api, process_working_directory(), asked, [](std::string_view) {
        return PortLookup{Answer::Port, 7, "001c5a400001"};
    });
    EXPECT_EQ(fake_adpm().calls_of("AdpmEnableDevice"),
              (std::vector<std::string>{"AdpmEnableDevice(7,0)=0"}));
    EXPECT_TRUE(std::filesystem::is_directory(std::string(EnabledNoteSetAsideName)));
    EXPECT_FALSE(ScratchDir::exists(EnabledNoteName));
}

}  // namespace
