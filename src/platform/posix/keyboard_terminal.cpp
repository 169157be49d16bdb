#include "keyboard_terminal.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>

namespace {

// Written once, before settings_known is set; read by the signal handlers too.
termios saved_settings;
termios raw_settings;
std::atomic<bool> settings_known{false};
std::atomic<bool> raw_wanted{false};   // between keyboard_raw_begin() and keyboard_raw_end()
std::atomic<bool> raw_applied{false};  // the terminal holds raw_settings now

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
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw_settings) != 0) {
        return -1;
    }
    raw_wanted.store(true);
    raw_applied.store(true);
    return 0;
}

void keyboard_raw_end() {
    raw_wanted.store(false);
    keyboard_give_back();
}

void keyboard_give_back() {
    if (raw_applied.exchange(false) && !in_background()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    }
}

void keyboard_take_again() {
    if (raw_wanted.load() && !in_background() &&
        tcsetattr(STDIN_FILENO, TCSANOW, &raw_settings) == 0) {
        raw_applied.store(true);
    }
}
