// Tool commands run through the shell one at a time. The run may be asked to
// stop (SIGINT, SIGTERM, SIGHUP) while one runs: the request is only noted,
// and the tool itself never acts on it, because a tool killed halfway through
// a write leaves the adapter's NVRAM half written. A stop key or a service
// manager sends those signals to every process of the group or unit, the
// tool's too, so the tool must ignore them rather than merely find them
// blocked: a blocked signal stays pending, and the shell or the tool may
// unblock it. An ignored signal stays ignored across exec.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "engine/tool_command.h"

extern char** environ;

volatile std::sig_atomic_t StopRequested = 0;

namespace {

constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// What a child exits with when the shell cannot be started, as the shell
// itself reports a command it cannot run.
constexpr int ExecFailed = 127;

void note_stop_request(int) {
    StopRequested = 1;
}

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : StopSignals) sigaddset(&set, signal);
    return set;
}

void set_action(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// In the child between fork and exec, so only async-signal-safe calls: the
// stop signals ignored (a request pending from the fork on is discarded with
// them), SIGPIPE as usual, and the mask the utility had before the fork.
[[noreturn]] void exec_shell(char* const argv[], const sigset_t& mask) {
    for (const int signal : StopSignals) set_action(signal, SIG_IGN);
    set_action(SIGPIPE, SIG_DFL);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    execve("/bin/sh", argv, environ);
    _exit(ExecFailed);
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
// -1 when no shell could be started. The stop signals are held from just
// before the fork until the child has them ignored, so that none reaches the
// child's copy of the utility's handler and none is lost for the utility: a
// request that came meanwhile is handled as the mask is restored.
int run_shell_command(const char* commandLine) {
    char shell[] = "sh", dashC[] = "-c";
    char* const argv[] = {shell, dashC, const_cast<char*>(commandLine), nullptr};
    const sigset_t stop = stop_signal_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &stop, &previous);
    const pid_t child = fork();
    if (child == 0) exec_shell(argv, previous);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return child < 0 ? -1 : wait_for(child);
}
