// Tool commands run through the shell one at a time. The run may be asked to
// stop (SIGINT, SIGTERM, SIGHUP) while one runs: the request is only noted,
// and the tool itself never sees it, because a tool killed halfway through a
// write leaves the adapter's NVRAM half written.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "engine/engine.h"

extern char** environ;

volatile std::sig_atomic_t StopRequested = 0;

namespace {

constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void note_stop_request(int) {
    StopRequested = 1;
}

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : StopSignals) sigaddset(&set, signal);
    return set;
}

// The tool starts with the stop signals blocked (held for it, never acted
// on) and with SIGPIPE as usual, which the utility itself ignores.
bool prepare_child(posix_spawnattr_t& attributes) {
    const sigset_t blocked = stop_signal_set();
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) ==
               0 &&
           posix_spawnattr_setsigmask(&attributes, &blocked) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &defaults) == 0;
}

void set_action(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

int wait_for(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

}  // namespace

void catch_stop_signals() {
    for (const int signal : StopSignals) set_action(signal, note_stop_request);
    // A reader that went away shows as a failed write, reported as such.
    set_action(SIGPIPE, SIG_IGN);
}

// As system() runs it, but the utility keeps noting stop requests meanwhile;
// -1 when no shell could be started.
int run_shell_command(const char* commandLine) {
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return -1;
    char shell[] = "sh", dashC[] = "-c";
    char* const argv[] = {shell, dashC, const_cast<char*>(commandLine), nullptr};
    pid_t child = 0;
    const bool spawned = prepare_child(attributes) &&
                         posix_spawn(&child, "/bin/sh", nullptr, &attributes, argv, environ) == 0;
    posix_spawnattr_destroy(&attributes);
    return spawned ? wait_for(child) : -1;
}
