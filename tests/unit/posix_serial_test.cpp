// The Win32 serial operations of the Linux build and the device names they open, against real
// pseudo-terminals. The kernel's termios2 is read directly, to see what the line really holds.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "device_names.h"
#include "platform.h"
#include "posix_test_support.h"

namespace {

HANDLE open_port(const std::string& name) {
    return CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The line's settings as the kernel holds them, through a descriptor of the test's own.
termios2 kernel_settings(const std::string& slave_path) {
    termios2 settings{};
    int fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ioctl(fd, TCGETS2, &settings);
    close(fd);
    return settings;
}

void set_timeouts(HANDLE port, DWORD write_multiplier, DWORD write_constant) {
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, write_multiplier, write_constant};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
}

// A directory of COM names of the test's own, for COMTERM_DEVICE_DIR.
std::string make_device_dir() {
    char pattern[] = "/tmp/comterm-test-XXXXXX";
    return mkdtemp(pattern);
}

void publish(const std::string& dir, const std::string& name, const std::string& target) {
    std::filesystem::remove(dir + "/" + name);
    std::filesystem::create_symlink(target, dir + "/" + name);
}

TEST(DeviceNames, ResolvesPortPathsWithAndWithoutADeviceDir) {
    const std::string dir = make_device_dir();
    for (const char* name : {"COM3", "com7", "ttyFOO"}) {
        publish(dir, name, "/dev/null");
    }
    const struct {
        bool use_dir;
        const char* port_path;
        int result;
        std::string device;  // "@" stands for the device directory
    } cases[] = {
        {false, "\\\\.\\COM1", 0, "/dev/ttyS0"},
        {false, "\\\\.\\com32", 0, "/dev/ttyS31"},
        {false, "\\\\.\\COM33", 0, "/dev/ttyUSB0"},
        {false, "\\\\.\\COM65", 0, "/dev/ttyACM0"},
        {false, "\\\\.\\Com128", 0, "/dev/ttyAMA31"},
        {false, "\\\\.\\COM129", DEVICE_NAME_NO_DEVICE, ""},
        {false, "\\\\.\\COM0", 0, "/dev/COM0"},
        {false, "\\\\.\\ttyUSB0", 0, "/dev/ttyUSB0"},
        {false, "\\\\.\\/dev/ttyUSB0", 0, "/dev/ttyUSB0"},
        {false, "\\\\.\\", DEVICE_NAME_NOT_A_PORT_PATH, ""},
        {false, "COM3", DEVICE_NAME_NOT_A_PORT_PATH, ""},
        {true, "\\\\.\\cOm3", 0, "@/COM3"},
        {true, "\\\\.\\COM7", 0, "@/com7"},
        {true, "\\\\.\\COM1", DEVICE_NAME_NO_DEVICE, ""},  // the machine's own ports stay hidden
        {true, "\\\\.\\ttyFOO", 0, "@/ttyFOO"},
        {true, "\\\\.\\ttyUSB0", 0, "/dev/ttyUSB0"},
        {true, "\\\\.\\/dev/ttyUSB0", 0, "/dev/ttyUSB0"},
    };
    for (const auto& c : cases) {
        if (c.use_dir) {
            setenv("COMTERM_DEVICE_DIR", dir.c_str(), 1);
        } else {
            unsetenv("COMTERM_DEVICE_DIR");
        }
        char out[256] = "";
        EXPECT_EQ(resolve_device_path(c.port_path, out, sizeof out), c.result) << c.port_path;
        const std::string expected = c.device[0] == '@' ? dir + c.device.substr(1) : c.device;
        EXPECT_EQ(c.result == 0 ? std::string(out) : "", expected) << c.port_path;
    }
    unsetenv("COMTERM_DEVICE_DIR");
    std::filesystem::remove_all(dir);
}

TEST(SerialOpen, IsExclusiveUntilClosed) {
    test_pty pty = open_test_pty();
    int peer = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(peer, 0);
    HANDLE port = open_port(pty.slave_path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_port(pty.slave_path), INVALID_HANDLE_VALUE) << "second open";
    EXPECT_NE(flock(peer, LOCK_EX | LOCK_NB), 0) << "another program's lock";
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(flock(peer, LOCK_EX | LOCK_NB), 0) << "lock released";
    flock(peer, LOCK_UN);
    port = open_port(pty.slave_path);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "reopen after close";
    CloseHandle(port);
    close(peer);
    close(pty.master);
    EXPECT_EQ(open_port("/dev/null"), INVALID_HANDLE_VALUE) << "no tty";
}

// Opening a port only to see whether it is free must leave its settings as they were.
TEST(SerialOpen, CloseGivesTheLineBackTheSettingsItHad) {
    test_pty pty = open_test_pty();
    int own = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios2 cooked{};
    ASSERT_EQ(ioctl(own, TCGETS2, &cooked), 0);
    cooked.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag = (cooked.c_cflag & ~static_cast<tcflag_t>(CBAUD | CSIZE)) | BOTHER | CS7;
    cooked.c_ispeed = cooked.c_ospeed = 4321;
    ASSERT_EQ(ioctl(own, TCSETS2, &cooked), 0);
    const termios2 before = kernel_settings(pty.slave_path);

    HANDLE port = open_port(pty.slave_path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(kernel_settings(pty.slave_path).c_lflag & ICANON, 0u) << "raw while open";
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 115200;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_TRUE(CloseHandle(port));
    const termios2 after = kernel_settings(pty.slave_path);
    EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0);
    close(own);
    close(pty.master);
}

TEST(SerialSettings, SetsAnyRateExactlyAndRefusesZeroAndNegativeRates) {
    test_pty pty = open_test_pty();
    HANDLE port = open_port(pty.slave_path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const struct {
        DWORD rate;
        BYTE byte_size;
        bool accepted;
    } cases[] = {
        {74880, 8, true},
        {250000, 8, true},
        {0, 8, false},
        {static_cast<DWORD>(std::int32_t{-1}), 8, false},
        {static_cast<DWORD>(INT32_MIN), 8, false},
        {9600, 9, false},
    };
    DWORD held = 0;
    for (const auto& c : cases) {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = c.rate;
        dcb.ByteSize = c.byte_size;
        EXPECT_EQ(SetCommState(port, &dcb) != 0, c.accepted) << c.rate;
        held = c.accepted ? c.rate : held;
        ASSERT_TRUE(GetCommState(port, &dcb));
        EXPECT_EQ(dcb.BaudRate, held) << c.rate;
        EXPECT_EQ(dcb.ByteSize, 8) << c.rate;
        const termios2 line = kernel_settings(pty.slave_path);
        EXPECT_EQ(line.c_ospeed, held) << c.rate;
        EXPECT_EQ(line.c_ispeed, held) << c.rate;
    }
    CloseHandle(port);
    close(pty.master);
}

TEST(SerialIo, ReadsReturnAtOnceWithWhatHasArrived) {
    test_pty pty = open_test_pty();
    HANDLE port = open_port(pty.slave_path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    set_timeouts(port, 50, 2000);
    unsigned char buffer[32];
    DWORD got = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));  // would hang if blocking
    EXPECT_EQ(got, 0u);

    std::string sent = "\r\n\x03\x11\x13\xE4\xFF";  // raw: no byte is translated or eaten
    sent.resize(100, 'z');
    ASSERT_EQ(write(pty.master, sent.data(), sent.size()), 100);
    std::string received;
    EXPECT_TRUE(eventually([&] {
        EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
        received.append(reinterpret_cast<char*>(buffer), got);
        return received.size() >= sent.size();
    }));
    EXPECT_EQ(received, sent);
    CloseHandle(port);
    close(pty.master);
}

TEST(SerialIo, WriteFailsAfterItsTimeoutWhenNobodyReads) {
    test_pty pty = open_test_pty();
    HANDLE port = open_port(pty.slave_path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    // Fill the queue (the master never reads) with writes that give up after 1 ms, until several
    // in a row write nothing: the kernel moves queued bytes on a while after a write returns.
    set_timeouts(port, 0, 1);
    const std::string block(512, 'x');
    DWORD written = 0;
    int idle_writes = 0;
    for (int tries = 0; tries < 10000 && idle_writes < 5; ++tries) {
        WriteFile(port, block.data(), 512, &written, nullptr);
        idle_writes = written == 0 ? idle_writes + 1 : 0;
    }
    ASSERT_EQ(idle_writes, 5) << "the queue never filled";

    // Under the program's own timeouts a one-byte write waits its 50 + 2000 ms, then fails.
    set_timeouts(port, 50, 2000);
    const std::int64_t start = monotonic_ms();
    EXPECT_FALSE(WriteFile(port, block.data(), 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(monotonic_ms() - start, 2050);
    CloseHandle(port);
    close(pty.master);
}

TEST(SerialLiveness, FailsWhenTheOtherSideClosesAndANewDeviceOpensAgain) {
    const std::string dir = make_device_dir();
    setenv("COMTERM_DEVICE_DIR", dir.c_str(), 1);
    test_pty first = open_test_pty();
    publish(dir, "COM7", first.slave_path);
    HANDLE port = open_port("COM7");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    set_timeouts(port, 50, 2000);
    DCB dcb{};
    EXPECT_TRUE(GetCommState(port, &dcb));

    close(first.master);
    EXPECT_FALSE(GetCommState(port, &dcb));
    unsigned char buffer[32];
    DWORD count = 99;
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, nullptr)) << "not 0 bytes";
    EXPECT_TRUE(CloseHandle(port));

    test_pty second = open_test_pty();
    publish(dir, "COM7", second.slave_path);
    port = open_port("com7");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(GetCommState(port, &dcb));
    EXPECT_TRUE(WriteFile(port, "k", 1, &count, nullptr));
    pollfd echo{second.master, POLLIN, 0};
    char byte = 0;
    EXPECT_EQ(poll(&echo, 1, 10000), 1);
    EXPECT_EQ(read(second.master, &byte, 1), 1);
    EXPECT_EQ(byte, 'k');
    CloseHandle(port);
    close(second.master);
    unsetenv("COMTERM_DEVICE_DIR");
    std::filesystem::remove_all(dir);
}

}  // namespace
