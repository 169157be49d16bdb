#include "keyboard_terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>

namespace {

// Written once, before saved_settings_valid is set; read by the exit and signal handlers.
termios saved_settings;
std::atomic<bool> saved_settings_valid{false};
std::atomic<bool> raw_active{false};

constexpr std::array<int, 4> restoring_signals = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// Only async-signal-safe calls: this runs from the signal handler too. Nothing is written while
// the keys are not raw: a process in the background would be stopped by SIGTTOU for it.
void restore_saved_settings() {
    if (raw_active.load() && saved_settings_valid.load()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    }
}

void restore_then_die(int signal_number) {
    restore_saved_settings();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    // The signal is blocked while its handler runs; it is delivered, with its default action,
    // as soon as the handler returns.
    raise(signal_number);
}

void install_restore_hooks() {
    std::atexit(restore_saved_settings);
    for (int signal_number : restoring_signals) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
            continue;  // started with the signal ignored (nohup): leave it so
        }
        struct sigaction handler {};
        handler.sa_handler = restore_then_die;
        sigemptyset(&handler.sa_mask);
        for (int other : restoring_signals) {
            sigaddset(&handler.sa_mask, other);
        }
        sigaction(signal_number, &handler, nullptr);
    }
}

void keyboard_make_raw(termios* settings) {
    settings->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings->c_iflag &=
        ~static_cast<tcflag_t>(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
    settings->c_cc[VMIN] = 1;
    settings->c_cc[VTIME] = 0;
}

}  // namespace

int keyboard_raw_begin() {
    if (raw_active.load()) {
        return 0;
    }
    termios current{};
    if (tcgetattr(STDIN_FILENO, &current) != 0) {
        return -1;
    }
    if (!saved_settings_valid.load()) {
        saved_settings = current;
        saved_settings_valid.store(true);
        install_restore_hooks();
    }
    termios raw = current;
    keyboard_make_raw(&raw);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        return -1;
    }
    raw_active.store(true);
    return 0;
}

void keyboard_raw_end() {
    restore_saved_settings();
    raw_active.store(false);
}
