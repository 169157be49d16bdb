// What the end-to-end scenarios cannot see of the Linux serial layer, on a real pseudo-terminal:
// the exclusive open and its lock, odd rates as the kernel holds them, the line settings given back
// at close, the write timeout, and the idle wait that a received byte ends. A liveness query that
// misses a hang-up fails the link scenario.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>

#include <cstring>

#include "device_names.h"
#include "platform.h"

TEST(SerialPort, OnAPseudoTerminal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string path = ptsname(master);
    const auto open_port = [&] {
        return CreateFileA(("\\\\.\\" + path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    // The test's own descriptor of the line: the kernel's settings, and another program's lock.
    const int own = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios2 before{}, now{};  // before: a new line's, cooked at 38400 baud
    ASSERT_EQ(ioctl(own, TCGETS2, &before), 0);

    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_port(), INVALID_HANDLE_VALUE) << "second open";
    EXPECT_NE(flock(own, LOCK_EX | LOCK_NB), 0) << "another program's lock";
    // (rate asked for, rate the line holds afterwards): a refused rate leaves the last one.
    const DWORD rates[][2] = {
        {74880, 74880}, {250000, 250000}, {0, 250000}, {DWORD(-9600), 250000}, {31250, 31250}};
    DCB dcb{};
    for (const auto& [rate, held] : rates) {
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = rate;
        EXPECT_EQ(SetCommState(port, &dcb) != 0, rate == held) << rate;
        ioctl(own, TCGETS2, &now);
        EXPECT_TRUE(now.c_ospeed == held && now.c_ispeed == held && !(now.c_lflag & ICANON))
            << rate;
    }
    EXPECT_TRUE(CloseHandle(port));
    ioctl(own, TCGETS2, &now);
    EXPECT_EQ(std::memcmp(&now, &before, sizeof now), 0) << "settings given back at close";
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
    // A byte from the device ends the link's idle wait: two minutes are never waited out.
    ASSERT_EQ(write(master, "k", 1), 1);
    clock_gettime(CLOCK_MONOTONIC, &start);
    port_wait_for_data(port, 120000);
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_LT(end.tv_sec - start.tv_sec, 60) << "the idle wait slept through a received byte";
    EXPECT_TRUE(CloseHandle(port));
    close(master);
}

// A stream longer than a read-ahead (a tty gives at most 4095 bytes a read(2)) comes in full
// reads, in order, to its end: a read comes back short only when the device has nothing more, which
// is where the link writes out what it shows.
TEST(SerialPort, ReadsRunOnPastTheReadAhead) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string path = std::string("\\\\.\\") + ptsname(master);
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    unsigned char sent[10000];
    for (std::size_t i = 0; i < sizeof sent; ++i) {
        sent[i] = static_cast<unsigned char>(i % 251);
    }
    ASSERT_EQ(write(master, sent, sizeof sent), static_cast<ssize_t>(sizeof sent));
    unsigned char got[sizeof sent + 32];
    std::size_t total = 0;
    DWORD count = 32;
    while (count == 32) {
        ASSERT_TRUE(ReadFile(port, got + total, 32, &count, nullptr));
        total += count;
        ASSERT_LE(total, sizeof sent);
    }
    EXPECT_EQ(total, sizeof sent) << "a short read before the end";
    EXPECT_EQ(std::memcmp(got, sent, total), 0) << "the bytes as sent";
    EXPECT_TRUE(CloseHandle(port));
    close(master);
}

// The files port paths name, at each end of the kernel families and of a device folder's rules.
TEST(SerialPort, DeviceNames) {
    char folder[] = "/tmp/comterm-names-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    mkdir((dir + "/com7").c_str(), 0755);
    // (device folder, port path, the file it names, "" for none, '@' for the folder)
    const char* const rows[][3] = {
        {"", "\\\\.\\COM1", "/dev/ttyS0"},
        {"", "\\\\.\\com32", "/dev/ttyS31"},
        {"", "\\\\.\\COM33", "/dev/ttyUSB0"},
        {"", "\\\\.\\COM128", "/dev/ttyAMA31"},
        {"", "\\\\.\\COM129", ""},
        {"", "\\\\.\\COM01", "/dev/COM01"},
        {"", "\\\\.\\/dev/x", "/dev/x"},
        {folder, "\\\\.\\COM7", "@/com7"},
        {folder, "\\\\.\\COM1", ""},
        {folder, "\\\\.\\ttyV0", "/dev/ttyV0"},
    };
    for (const auto& [device_dir, port, file] : rows) {
        setenv("COMTERM_DEVICE_DIR", device_dir, 1);
        char out[256] = "";
        const int result = resolve_device_path(port, out, sizeof out);
        const std::string want = file[0] == '@' ? dir + (file + 1) : file;
        EXPECT_EQ(result == 0 ? std::string(out) : "", want) << device_dir << " " << port;
    }
    unsetenv("COMTERM_DEVICE_DIR");
    rmdir((dir + "/com7").c_str());
    rmdir(folder);
}
