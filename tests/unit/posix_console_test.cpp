// The console of the Linux build: GBK text converted for a UTF-8 terminal, and the keyboard
// terminal that _getch takes over. Plain literals are GBK bytes (the build's execution character
// set); u8 literals give the UTF-8 a terminal must receive.
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "posix_test_support.h"

namespace {

std::string utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// What a UTF-8 terminal receives when a process writes `writes` to its standard output, one
// unbuffered stdio write each, after console_init().
std::string shown_on_utf8_terminal(const std::vector<std::string>& writes, std::size_t expected) {
    test_pty pty = open_test_pty();
    int slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    pid_t child = fork();
    if (child == 0) {
        dup2(slave, STDOUT_FILENO);
        setenv("LC_ALL", "C.UTF-8", 1);
        console_init();
        for (const std::string& piece : writes) {
            std::fwrite(piece.data(), 1, piece.size(), stdout);
        }
        _exit(0);
    }
    EXPECT_EQ(wait_child(child), 0);
    std::string shown;
    eventually([&] {
        char buffer[256];
        pollfd ready{pty.master, POLLIN, 0};
        if (poll(&ready, 1, 0) == 1) {
            shown.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(
                                     0, read(pty.master, buffer, sizeof buffer))));
        }
        return shown.size() >= expected;
    });
    close(slave);
    close(pty.master);
    return shown;
}

TEST(ConsoleEncoding, ConvertsGbkWritesToUtf8CarryingSplitCharacters) {
    const struct {
        std::vector<std::string> writes;
        std::string shown;
    } cases[] = {
        {{"你好, world\r\n"}, utf8(u8"你好, world\r\n")},
        {{"\xC4", "\xE3\xBA\xC3"}, utf8(u8"你好")},
        {{"\xB4", "\xAE", "\xBF", "\xDA"}, utf8(u8"串口")},
        {{"\xC4", "\xC4\xE3"}, utf8(u8"哪")},  // a lead byte is also a trail byte
        {{"a\xC4"}, "a"},                      // a lead at the end waits for the next write
        {{"\x1b]0;t\x07\t\x01"}, "\x1b]0;t\x07\t\x01"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shown_on_utf8_terminal(c.writes, c.shown.size()), c.shown)
            << "case " << (&c - cases);
    }
}

TEST(Getch, TerminalSettingsComeBackAfterSigterm) {
    test_pty pty = open_test_pty();
    int slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    termios original{};
    ASSERT_EQ(tcgetattr(slave, &original), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(slave, STDIN_FILENO);
        console_init();  // catches the signals
        _getch();
        _exit(0);
    }
    termios raw{};
    ASSERT_TRUE(eventually([&] { return tcgetattr(slave, &raw) == 0 && !(raw.c_lflag & ICANON); }));
    EXPECT_EQ(raw.c_lflag & (ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(raw.c_oflag, original.c_oflag) << "output processing stays";
    kill(child, SIGTERM);
    const int status = wait_child(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, original.c_lflag);
    EXPECT_EQ(after.c_iflag, original.c_iflag);
    EXPECT_EQ(std::memcmp(after.c_cc, original.c_cc, sizeof after.c_cc), 0);
    close(slave);
    close(pty.master);
}

// The scheduler state letter of a process ('S' asleep, 'R' running, ...).
char process_state(pid_t pid) {
    FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    char line[512] = {};
    if (file != nullptr) {
        std::fread(line, 1, sizeof line - 1, file);
        std::fclose(file);
    }
    const char* close_paren = std::strrchr(line, ')');
    return close_paren != nullptr ? close_paren[2] : '?';
}

// `comterm ... </dev/null | tee log` logs until killed: at the end of input _getch sleeps.
TEST(Getch, BlocksAsleepAtTheEndOfInput) {
    pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        _getch();
        _exit(0);
    }
    EXPECT_TRUE(eventually([&] { return process_state(child) == 'S'; }));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "still waiting";
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
}

}  // namespace
