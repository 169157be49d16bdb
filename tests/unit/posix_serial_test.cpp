// What the end-to-end scenarios cannot see of the Linux serial layer, on a real pseudo-terminal:
// the exclusive open and its lock, odd rates as the kernel holds them, the line settings given back
// at close, the write timeout, and the liveness query once the line has hung up.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform.h"

TEST(SerialPort, OnAPseudoTerminal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string path = ptsname(master);
    const auto open_port = [&] {
        return CreateFileA(("\\\\.\\" + path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    // The test's own descriptor of the line: the kernel's settings, and another program's lock.
    const int own = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const auto kernel_settings = [&] {
        termios2 settings{};
        EXPECT_EQ(ioctl(own, TCGETS2, &settings), 0);
        return settings;
    };
    const termios2 before = kernel_settings();  // a new line's: cooked, at 38400 baud

    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_port(), INVALID_HANDLE_VALUE) << "second open";
    EXPECT_NE(flock(own, LOCK_EX | LOCK_NB), 0) << "another program's lock";
    EXPECT_EQ(kernel_settings().c_lflag & ICANON, 0u) << "raw while open";
    // (rate asked for, rate the line holds afterwards): a refused rate leaves the last one.
    const std::pair<DWORD, DWORD> rates[] = {
        {74880, 74880}, {250000, 250000}, {0, 250000}, {DWORD(-9600), 250000}, {31250, 31250}};
    for (const auto& [rate, held] : rates) {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = rate;
        EXPECT_EQ(SetCommState(port, &dcb) != 0, rate == held) << rate;
        EXPECT_EQ(kernel_settings().c_ospeed, held) << rate;
        EXPECT_EQ(kernel_settings().c_ispeed, held) << rate;
    }
    EXPECT_TRUE(CloseHandle(port));
    const termios2 after = kernel_settings();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0) << "settings given back at close";
    EXPECT_EQ(flock(own, LOCK_EX | LOCK_NB), 0) << "lock released";
    flock(own, LOCK_UN);

    port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "reopen after close";
    // The line's output stopped, as by a flow-control stop: no byte can leave.
    ASSERT_EQ(ioctl(own, TCXONC, TCOOFF), 0);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 50, 2000};  // the program's: 50 ms a byte plus 2000 ms
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    DWORD written = 0;
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_GE((end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000, 2050)
        << "a one-byte write gave up early";

    DCB dcb{};
    EXPECT_TRUE(GetCommState(port, &dcb));
    close(master);  // the device goes: the line hangs up
    EXPECT_FALSE(GetCommState(port, &dcb)) << "liveness query on a hung-up line";
    EXPECT_TRUE(CloseHandle(port));
    close(own);
}
