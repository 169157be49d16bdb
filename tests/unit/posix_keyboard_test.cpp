// _getch of the Linux build: raw keys from a terminal, the terminal's settings given back on every
// catchable way out, and keys from standard input when it is no terminal.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <termios.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform.h"
#include "posix_test_support.h"

namespace {

// A terminal of the test's own: the test holds the master and a slave descriptor, from which it
// reads the settings the child leaves behind.
struct keyboard_pty {
    test_pty pty;
    int slave = -1;
    termios original{};
};

keyboard_pty open_keyboard_pty() {
    keyboard_pty keyboard;
    keyboard.pty = open_test_pty();
    keyboard.slave = open(keyboard.pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    tcgetattr(keyboard.slave, &keyboard.original);
    return keyboard;
}

void close_keyboard_pty(keyboard_pty& keyboard) {
    close_fd(keyboard.slave);
    close_fd(keyboard.pty.master);
}

bool raw_now(const keyboard_pty& keyboard) {
    termios now{};
    return tcgetattr(keyboard.slave, &now) == 0 && (now.c_lflag & ICANON) == 0;
}

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

// Starts a child whose standard streams are the keyboard terminal and which sends every key
// _getch returns down `report` (one byte each); `keys` is how many it reads before `after`.
template <typename After>
pid_t start_key_reader(int input_fd, int output_fd, int report, int keys, After after) {
    pid_t child = fork();
    if (child == 0) {
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);  // SIGQUIT would dump one
        dup2(input_fd, STDIN_FILENO);
        dup2(output_fd, STDOUT_FILENO);
        for (int i = 0; i < keys; ++i) {
            auto key = static_cast<unsigned char>(_getch());
            if (write(report, &key, 1) != 1) {
                _exit(3);
            }
        }
        after();
        _exit(0);
    }
    return child;
}

// Bit of a signal in the masks of /proc/<pid>/status ("SigIgn:", "SigCgt:").
bool signal_in_mask(pid_t pid, const char* mask_name, int signal_number) {
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    char line[256];
    unsigned long long mask = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, mask_name, std::strlen(mask_name)) == 0) {
            mask = std::strtoull(line + std::strlen(mask_name), nullptr, 16);
        }
    }
    std::fclose(file);
    return (mask >> (signal_number - 1)) & 1;
}

TEST(Getch, GivesEveryKeyAsTheWindowsConsoleDoes) {
    keyboard_pty keyboard = open_keyboard_pty();
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    // Enter, Ctrl+C, Ctrl+Z, Ctrl+\, Ctrl+S, Ctrl+V, a letter, a byte above 0x7F.
    const std::string keys =
        "\r\x03\x1a\x1c\x13\x16"
        "a\xE4";
    pid_t child = start_key_reader(keyboard.slave, keyboard.slave, report[1],
                                   static_cast<int>(keys.size()), [] {
                                       std::printf("x\n");
                                       std::exit(0);  // flushes, and gives the terminal back
                                   });
    close(report[1]);
    ASSERT_TRUE(eventually([&] { return raw_now(keyboard); }));
    termios raw{};
    tcgetattr(keyboard.slave, &raw);
    EXPECT_EQ(raw.c_oflag, keyboard.original.c_oflag) << "output processing untouched";

    ASSERT_EQ(write(keyboard.pty.master, keys.data(), keys.size()),
              static_cast<ssize_t>(keys.size()));
    std::string received;
    EXPECT_TRUE(read_until(report[0], received,
                           [&](const std::string& s) { return s.size() >= keys.size(); }));
    EXPECT_EQ(received, keys);
    // Nothing echoed; the child's LF still reaches the screen as CR LF.
    std::string shown;
    EXPECT_TRUE(read_until(keyboard.pty.master, shown,
                           [](const std::string& s) { return ends_with(s, "\r\n"); }));
    EXPECT_EQ(shown, "x\r\n");
    EXPECT_TRUE(WIFEXITED(wait_child(child)));
    EXPECT_TRUE(same_settings(keyboard.original, [&] {
        termios now{};
        tcgetattr(keyboard.slave, &now);
        return now;
    }()));
    close(report[0]);
    close_keyboard_pty(keyboard);
}

TEST(Getch, TerminalSettingsComeBackOnEveryCatchableEnd) {
    const struct {
        const char* name;
        int signal_number;  // 0: the child ends with exit() after a key instead
    } ends[] = {
        {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}, {"SIGINT", SIGINT},
        {"SIGQUIT", SIGQUIT}, {"exit()", 0},
    };
    for (const auto& end : ends) {
        keyboard_pty keyboard = open_keyboard_pty();
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        pid_t child =
            start_key_reader(keyboard.slave, keyboard.slave, report[1], 1, [] { std::exit(5); });
        close(report[1]);
        ASSERT_TRUE(eventually([&] { return raw_now(keyboard); })) << end.name;
        if (end.signal_number != 0) {
            kill(child, end.signal_number);
        } else {
            ASSERT_EQ(write(keyboard.pty.master, "q", 1), 1);
        }
        int status = wait_child(child);
        if (end.signal_number != 0) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == end.signal_number)
                << end.name << ": the signal still ends the process";
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << end.name;
        }
        termios after{};
        ASSERT_EQ(tcgetattr(keyboard.slave, &after), 0);
        EXPECT_TRUE(same_settings(after, keyboard.original)) << end.name;
        close(report[0]);
        close_keyboard_pty(keyboard);
    }
}

TEST(Getch, SignalsStartedIgnoredStayIgnored) {
    keyboard_pty keyboard = open_keyboard_pty();
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    if (child == 0) {
        signal(SIGHUP, SIG_IGN);  // as under nohup
        dup2(keyboard.slave, STDIN_FILENO);
        _getch();
        _exit(0);
    }
    close(report[1]);
    ASSERT_TRUE(eventually([&] { return raw_now(keyboard); }));
    EXPECT_TRUE(signal_in_mask(child, "SigIgn:", SIGHUP));
    EXPECT_TRUE(signal_in_mask(child, "SigCgt:", SIGTERM));
    kill(child, SIGTERM);
    int status = wait_child(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    termios after{};
    tcgetattr(keyboard.slave, &after);
    EXPECT_TRUE(same_settings(after, keyboard.original));
    close(report[0]);
    close_keyboard_pty(keyboard);
}

TEST(Getch, ReadsStandardInputAfterScanfAndBlocksAtItsEnd) {
    int input[2];
    int report[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(report), 0);
    int null_output = open("/dev/null", O_WRONLY);
    // A menu answer read with scanf, then keys: what scanf buffered is not lost.
    ASSERT_EQ(write(input[1], "12 xy", 5), 5);
    close(input[1]);
    pid_t child = fork();
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(null_output, STDOUT_FILENO);
        int answer = 0;
        if (std::scanf("%d", &answer) != 1) {
            _exit(3);
        }
        auto byte = static_cast<unsigned char>(answer);
        ssize_t ignored = write(report[1], &byte, 1);
        for (int i = 0; i < 4; ++i) {  // the fourth never returns
            byte = static_cast<unsigned char>(_getch());
            ignored = write(report[1], &byte, 1);
        }
        (void)ignored;
        _exit(0);
    }
    close(input[0]);
    close(report[1]);
    close(null_output);
    std::string received;
    EXPECT_TRUE(
        read_until(report[0], received, [](const std::string& s) { return s.size() >= 4; }));
    EXPECT_EQ(received, "\x0c xy");
    // At the end of input _getch waits, asleep, until the process is killed.
    EXPECT_TRUE(eventually([&] { return process_state(child) == 'S'; }));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "still running";
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    close(report[0]);
}

}  // namespace
