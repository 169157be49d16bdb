#include "process_signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>

#include "held_output.h"
#include "keyboard_terminal.h"
#include "serial.h"

namespace {

// Caught signals whose default action ends the process (the real-time ones are added in a loop).
constexpr int ending_signals[] = {
    SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
    SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,
};
constexpr int stopping_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// Async-signal-safe: runs in the handlers and at exit().
void give_back_everything() {
    serial_ports_give_back();
    keyboard_give_back();
    // What the session log holds goes out before what the screen holds, so the log has whatever
    // the screen shows.
    held_file_write_from_signal();
    // Output the console still holds in its buffer goes out here, last: a write that cannot
    // finish (a terminal stopped with XOFF, a full pipe) must not keep the port locked.
    console_flush_from_signal();
}

// A handler that returns lets the interrupted call go on (an interrupted key read goes on after a
// stop); an ending one never goes back to it, so the call is not restarted either: ThreadSanitizer
// runs a handler only when the thread comes out of a call, and under it a key read restarted for
// ever would keep the process from ending.
constexpr int handler_returns = SA_RESTART;
constexpr int handler_ends = 0;

void install(int signal_number, void (*handler)(int), int flags = handler_ends) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigfillset(&action.sa_mask);  // nothing else is handled meanwhile
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

void install_unless_ignored(int signal_number, void (*handler)(int), int flags) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
        install(signal_number, handler, flags);
    }
}

// Each handler keeps errno: a handler can run between a failed call and the look at its errno.
void end_by_signal(int signal_number) {
    const int saved_errno = errno;
    give_back_everything();
    install(signal_number, SIG_DFL);
    // Blocked while the handler runs, the signal ends the process with its default action as
    // soon as the handler returns (a fault signal is raised again by the faulting instruction).
    raise(signal_number);
    errno = saved_errno;
}

void stop_by_signal(int signal_number) {
    const int saved_errno = errno;
    keyboard_give_back();
    install(signal_number, SIG_DFL);
    sigset_t this_one;
    sigemptyset(&this_one);
    sigaddset(&this_one, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &this_one, nullptr);
    // Stops here until continued. The kernel discards the stop in an orphaned process group,
    // which no shell could continue: then it returns at once.
    raise(signal_number);
    install(signal_number, stop_by_signal, handler_returns);
    keyboard_take_again();
    errno = saved_errno;
}

// Also after a stop by SIGSTOP, which cannot be caught.
void continue_after_stop(int /*signal_number*/) {
    const int saved_errno = errno;
    keyboard_take_again();
    errno = saved_errno;
}

}  // namespace

void process_signals_install() {
    for (int signal_number : ending_signals) {
        install_unless_ignored(signal_number, end_by_signal, handler_ends);
    }
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        install_unless_ignored(signal_number, end_by_signal, handler_ends);
    }
    for (int signal_number : stopping_signals) {
        install_unless_ignored(signal_number, stop_by_signal, handler_returns);
    }
    install_unless_ignored(SIGCONT, continue_after_stop, handler_returns);
    std::atexit(give_back_everything);
}
