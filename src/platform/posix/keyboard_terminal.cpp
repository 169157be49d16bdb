#include "keyboard_terminal.h"

#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform.h"

namespace {

// Written once, before settings_known is set; read by the signal handlers too.
termios saved_settings;
termios raw_settings;
std::atomic<bool> settings_known{false};
std::atomic<bool> raw_wanted{false};  // between keyboard_raw_begin() and keyboard_raw_end()
// The terminal may hold raw_settings: set before they are applied and cleared only after the saved
// ones are back, so that a handler running in between gives back (at worst needlessly).
std::atomic<bool> raw_applied{false};
// The thread whose tcsetattr to raw_settings may be under way, 0 when none: a handler on another
// thread waits for it, or the raw settings could land after the handler gave the saved ones back.
std::atomic<pid_t> changing_thread{0};

// Longest wait for another thread's change: a change held up by a stop (SIGTTOU in the
// background) must not keep an ending signal from ending the process.
constexpr std::uint64_t change_wait_ms = 1000;

void keyboard_make_raw(termios* settings) {
    settings->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings->c_iflag &=
        ~static_cast<tcflag_t>(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
    settings->c_cc[VMIN] = 1;
    settings->c_cc[VTIME] = 0;
}

// A terminal that is no controlling terminal of ours (tcgetpgrp fails) has no job control: ours.
bool in_background() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground != -1 && foreground != getpgrp();
}

// Async-signal-safe (GetTickCount64 is clock_gettime). A handler on the changing thread itself
// interrupted the change before it was made or after: nothing to wait for.
void wait_for_change_elsewhere() {
    const pid_t self = gettid();
    const std::uint64_t end = GetTickCount64() + change_wait_ms;
    const timespec pause{0, 1000000L};
    for (;;) {
        const pid_t changing = changing_thread.load();
        if (changing == 0 || changing == self || GetTickCount64() > end) {
            return;
        }
        nanosleep(&pause, nullptr);
    }
}

// Marked first, then changed. Async-signal-safe; a handler may nest inside it on the same thread.
int apply_raw() {
    const pid_t outer = changing_thread.exchange(gettid());
    raw_applied.store(true);
    const int result = tcsetattr(STDIN_FILENO, TCSANOW, &raw_settings);
    if (result != 0) {
        raw_applied.store(false);
    }
    changing_thread.store(outer);
    return result;
}

}  // namespace

int keyboard_raw_begin() {
    if (raw_applied.load()) {
        return 0;
    }
    termios current{};
    if (tcgetattr(STDIN_FILENO, &current) != 0) {
        return -1;
    }
    if (!settings_known.load()) {
        saved_settings = current;
        raw_settings = current;
        keyboard_make_raw(&raw_settings);
        settings_known.store(true);
    }
    // Wanted first: a stop that comes before the change is made takes the keys raw again when
    // continued.
    raw_wanted.store(true);
    if (apply_raw() != 0) {
        raw_wanted.store(false);
        return -1;
    }
    return 0;
}

void keyboard_raw_end() {
    raw_wanted.store(false);
    keyboard_give_back();
}

void keyboard_give_back() {
    wait_for_change_elsewhere();
    if (raw_applied.load() && !in_background()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    }
    raw_applied.store(false);
}

void keyboard_take_again() {
    if (raw_wanted.load() && !in_background()) {
        apply_raw();
    }
}

int keyboard_wait_for_foreground() {
    if (!in_background()) {
        return -1;
    }
    // Without spinning; a SIGCONT (a shell's fg) cuts the pause short.
    const timespec pause{0, 200000000L};
    while (in_background()) {
        nanosleep(&pause, nullptr);
    }
    // Continued in the background, the process left the terminal's settings alone.
    keyboard_take_again();
    return 0;
}
