// The Win32 serial operations of the Linux build, against real pseudo-terminals.
// The kernel's termios2 is read directly here, to see what the line really holds.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "posix_test_support.h"

namespace {

struct opened_port {
    test_pty pty;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

opened_port open_port_on_pty() {
    opened_port port;
    port.pty = open_test_pty();
    port.handle =
        CreateFileA(port_path_for(port.pty.slave_path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return port;
}

// The line's settings as the kernel holds them, through a descriptor of the test's own.
termios2 kernel_settings(const std::string& slave_path) {
    termios2 settings{};
    int fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ioctl(fd, TCGETS2, &settings);
    close(fd);
    return settings;
}

void set_timeouts(HANDLE handle, DWORD write_multiplier, DWORD write_constant) {
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, write_multiplier, write_constant};
    ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
}

// Reads from the port, 32 bytes at a time as the link thread does, until `size` bytes came.
std::string read_from_port(HANDLE handle, std::size_t size) {
    std::string received;
    eventually([&] {
        unsigned char buffer[32];
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(handle, buffer, sizeof buffer, &got, nullptr));
        EXPECT_LE(got, 32u);
        received.append(reinterpret_cast<char*>(buffer), got);
        return received.size() >= size;
    });
    return received;
}

// Whether an unprivileged process may open the device now (TIOCEXCL stops it; root it does not).
bool unprivileged_open_succeeds(const std::string& path) {
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : 1);
    }
    int status = wait_child(child);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SerialOpen, IsExclusiveUntilClosed) {
    opened_port port = open_port_on_pty();
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    const std::string path = port_path_for(port.pty.slave_path);

    // A second open by this program fails.
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    // So does the lock of another program that honours flock.
    int peer = open(port.pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(peer, 0);
    EXPECT_NE(flock(peer, LOCK_EX | LOCK_NB), 0);
    // And an unprivileged open (TIOCEXCL), where the test can try one.
    bool can_drop_privileges = geteuid() == 0;
    if (can_drop_privileges) {
        chmod(port.pty.slave_path.c_str(), 0666);
        EXPECT_FALSE(unprivileged_open_succeeds(port.pty.slave_path));
    }

    EXPECT_TRUE(CloseHandle(port.handle));
    EXPECT_FALSE(CloseHandle(port.handle)) << "a closed handle stays closed";
    DCB dcb{};
    DWORD count = 0;
    EXPECT_FALSE(GetCommState(port.handle, &dcb)) << "operations on a closed handle fail";
    EXPECT_FALSE(WriteFile(port.handle, "k", 1, &count, nullptr));

    // Released: the lock, the exclusive flag (though the peer still holds the tty) and the name.
    EXPECT_EQ(flock(peer, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(flock(peer, LOCK_UN), 0);
    if (can_drop_privileges) {
        EXPECT_TRUE(unprivileged_open_succeeds(port.pty.slave_path));
    }
    HANDLE again = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    close(peer);
    close_fd(port.pty.master);
}

TEST(SerialOpen, FailsForWhatIsNoSerialDevice) {
    unsetenv("COMTERM_DEVICE_DIR");
    const char* paths[] = {
        "\\\\.\\/dev/null",            // exists, but is no tty
        "\\\\.\\/dev/no-such-device",  // does not exist
        "\\\\.\\COM129",               // beyond every family
        "\\\\.\\",                     // empty name
        "COM1",                        // no device-namespace prefix
    };
    for (const char* path : paths) {
        EXPECT_EQ(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  INVALID_HANDLE_VALUE)
            << path;
    }
}

TEST(SerialOpen, PutsTheLineInRawMode) {
    opened_port port = open_port_on_pty();
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    termios2 line = kernel_settings(port.pty.slave_path);
    EXPECT_EQ(line.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(line.c_cflag & CSIZE, tcflag_t{CS8});
    CloseHandle(port.handle);
    close_fd(port.pty.master);
}

bool same_settings(const termios2& a, const termios2& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           a.c_ispeed == b.c_ispeed && a.c_ospeed == b.c_ospeed;
}

// Opening a port to see whether it is free must leave it as it was: a cooked line (the settings
// of a terminal, at an odd rate) is raw only while the handle is open, whatever the handle did.
TEST(SerialOpen, CloseGivesTheLineBackTheSettingsItHadBeforeTheOpen) {
    struct use_case {
        const char* name;
        DWORD baud_rate;  // set through the handle before closing; 0 for a bare probe
    };
    const use_case cases[] = {{"open and close", 0}, {"open, set 115200, close", 115200}};
    for (const use_case& use : cases) {
        SCOPED_TRACE(use.name);
        test_pty pty = open_test_pty();
        ASSERT_GE(pty.master, 0);
        int own = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(own, 0);
        termios2 cooked{};
        ASSERT_EQ(ioctl(own, TCGETS2, &cooked), 0);
        cooked.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
        cooked.c_iflag |= ICRNL | IXON;
        cooked.c_oflag |= OPOST | ONLCR;
        cooked.c_cflag = (cooked.c_cflag & ~static_cast<tcflag_t>(CBAUD | CSIZE)) | BOTHER | CS7;
        cooked.c_ispeed = cooked.c_ospeed = 4321;
        ASSERT_EQ(ioctl(own, TCSETS2, &cooked), 0);
        termios2 before = kernel_settings(pty.slave_path);

        HANDLE handle =
            CreateFileA(port_path_for(pty.slave_path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(kernel_settings(pty.slave_path).c_lflag & ICANON, 0u) << "raw while open";
        if (use.baud_rate != 0) {
            DCB dcb{};
            ASSERT_TRUE(GetCommState(handle, &dcb));
            dcb.BaudRate = use.baud_rate;
            dcb.ByteSize = 8;
            ASSERT_TRUE(SetCommState(handle, &dcb));
        }
        EXPECT_TRUE(CloseHandle(handle));

        EXPECT_TRUE(same_settings(kernel_settings(pty.slave_path), before));
        close(own);
        close_fd(pty.master);
    }
}

// A device that went away while open is closed without complaint.
TEST(SerialOpen, ClosesALineThatHasGoneAway) {
    opened_port port = open_port_on_pty();
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    close_fd(port.pty.master);
    EXPECT_TRUE(CloseHandle(port.handle));
}

// Pseudo-terminals keep any rate given through termios2 with BOTHER, so the rate read back is the
// one the kernel really holds for the line.
TEST(SerialSettings, SetsRatesExactlyAndReadsThemBack) {
    opened_port port = open_port_on_pty();
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    const DWORD rates[] = {74880, 250000, 9600, 115200, 300, 3000000, 0x7FFFFFFF};
    for (DWORD rate : rates) {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port.handle, &dcb));
        dcb.BaudRate = rate;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        EXPECT_TRUE(SetCommState(port.handle, &dcb)) << rate;
        DCB read_back{};
        ASSERT_TRUE(GetCommState(port.handle, &read_back));
        EXPECT_EQ(read_back.BaudRate, rate);
        termios2 line = kernel_settings(port.pty.slave_path);
        EXPECT_EQ(line.c_ospeed, rate);
        EXPECT_EQ(line.c_ispeed, rate);
    }
    CloseHandle(port.handle);
    close_fd(port.pty.master);
}

TEST(SerialSettings, RefusesZeroNegativeAndUnknownSettings) {
    opened_port port = open_port_on_pty();
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    DCB good{};
    ASSERT_TRUE(GetCommState(port.handle, &good));
    good.BaudRate = 74880;
    good.ByteSize = 8;
    good.Parity = NOPARITY;
    good.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port.handle, &good));

    const struct {
        const char* name;
        DWORD rate;
        BYTE byte_size;
        BYTE parity;
        BYTE stop_bits;
    } refused[] = {
        {"zero rate", 0, 8, NOPARITY, ONESTOPBIT},
        {"rate -1", static_cast<DWORD>(std::int32_t{-1}), 8, NOPARITY, ONESTOPBIT},
        {"rate INT32_MIN", static_cast<DWORD>(INT32_MIN), 8, NOPARITY, ONESTOPBIT},
        {"4 data bits", 9600, 4, NOPARITY, ONESTOPBIT},
        {"9 data bits", 9600, 9, NOPARITY, ONESTOPBIT},
        {"unknown parity", 9600, 8, 5, ONESTOPBIT},
        {"1.5 stop bits", 9600, 8, NOPARITY, ONE5STOPBITS},
        {"unknown stop bits", 9600, 8, NOPARITY, 3},
    };
    for (const auto& c : refused) {
        DCB dcb = good;
        dcb.BaudRate = c.rate;
        dcb.ByteSize = c.byte_size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop_bits;
        EXPECT_FALSE(SetCommState(port.handle, &dcb)) << c.name;
        DCB unchanged{};
        ASSERT_TRUE(GetCommState(port.handle, &unchanged));
        EXPECT_EQ(unchanged.BaudRate, 74880u) << c.name;
        EXPECT_EQ(unchanged.ByteSize, 8) << c.name;
    }
    CloseHandle(port.handle);
    close_fd(port.pty.master);
}

// Whether the line keeps a framing when it is set directly: pseudo-terminals keep the rate and
// the stop bits but, on current kernels, always report 8 data bits and no parity.
bool line_keeps(const std::string& slave_path, tcflag_t framing) {
    const tcflag_t mask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    int fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios2 line{};
    ioctl(fd, TCGETS2, &line);
    const termios2 before = line;
    line.c_cflag = (line.c_cflag & ~mask) | framing;
    ioctl(fd, TCSETS2, &line);
    ioctl(fd, TCGETS2, &line);
    bool kept = (line.c_cflag & mask) == framing;
    ioctl(fd, TCSETS2, &before);
    close(fd);
    return kept;
}

// SetCommState succeeds exactly when the line holds the framing asked for (a driver that quietly
// substitutes its own is caught by the read-back), and keeps what it does not own.
TEST(SerialSettings, AppliesFramingThatTheLineHoldsAndKeepsEverythingElse) {
    opened_port port = open_port_on_pty();
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    // A setting SetCommState does not own: hardware flow control, set by someone else.
    {
        int fd = open(port.pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios2 line{};
        ioctl(fd, TCGETS2, &line);
        line.c_cflag |= CRTSCTS;
        ioctl(fd, TCSETS2, &line);
        close(fd);
    }
    const struct {
        BYTE byte_size;
        BYTE parity;
        BYTE stop_bits;
        tcflag_t cflag;
    } framings[] = {
        {8, NOPARITY, ONESTOPBIT, CS8},
        {8, NOPARITY, TWOSTOPBITS, CS8 | CSTOPB},
        {5, NOPARITY, ONESTOPBIT, CS5},
        {6, ODDPARITY, TWOSTOPBITS, CS6 | PARENB | PARODD | CSTOPB},
        {7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
        {8, MARKPARITY, ONESTOPBIT, CS8 | PARENB | PARODD | CMSPAR},
        {8, SPACEPARITY, TWOSTOPBITS, CS8 | PARENB | CMSPAR | CSTOPB},
        {8, NOPARITY, ONESTOPBIT, CS8},
    };
    int held = 0;
    for (const auto& f : framings) {
        const bool line_holds_it = line_keeps(port.pty.slave_path, f.cflag);
        held += line_holds_it ? 1 : 0;
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port.handle, &dcb));
        dcb.BaudRate = 250000;
        dcb.ByteSize = f.byte_size;
        dcb.Parity = f.parity;
        dcb.StopBits = f.stop_bits;
        EXPECT_EQ(SetCommState(port.handle, &dcb) != 0, line_holds_it) << int{f.byte_size};
        DCB read_back{};
        ASSERT_TRUE(GetCommState(port.handle, &read_back));
        EXPECT_EQ(read_back.BaudRate, 250000u);
        if (line_holds_it) {
            EXPECT_EQ(read_back.ByteSize, f.byte_size);
            EXPECT_EQ(read_back.Parity, f.parity);
            EXPECT_EQ(read_back.StopBits, f.stop_bits);
        }
        termios2 line = kernel_settings(port.pty.slave_path);
        EXPECT_NE(line.c_cflag & CRTSCTS, 0u) << "flow control is not SetCommState's to change";
        EXPECT_EQ(line.c_lflag & ICANON, 0u) << "raw mode kept";
    }
    EXPECT_GE(held, 3) << "8N1 and 8N2 at least";
    CloseHandle(port.handle);
    close_fd(port.pty.master);
}

TEST(SerialIo, ReadsReturnAtOnceWithWhatHasArrived) {
    opened_port port = open_port_on_pty();
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    set_timeouts(port.handle, 50, 2000);
    unsigned char buffer[32];
    DWORD count = 99;
    // Nothing there: success with 0 bytes, without waiting (a blocked read would hang the test).
    EXPECT_TRUE(ReadFile(port.handle, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u);

    // 100 bytes arrive; reads take at most 32 at a time, in order.
    std::string sent;
    for (int i = 0; i < 100; ++i) {
        sent += static_cast<char>('0' + i % 64);
    }
    ASSERT_EQ(write(port.pty.master, sent.data(), sent.size()), 100);
    EXPECT_EQ(read_from_port(port.handle, sent.size()), sent);
    // Raw: a CR arrives as CR, and bytes above 0x7F whole.
    ASSERT_EQ(write(port.pty.master, "\r\xE4", 2), 2);
    EXPECT_EQ(read_from_port(port.handle, 2), "\r\xE4");
    CloseHandle(port.handle);
    close_fd(port.pty.master);
}

TEST(SerialIo, WriteFailsAfterItsTimeoutWhenNobodyReads) {
    opened_port port = open_port_on_pty();
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    // Fill the pseudo-terminal's queue (the master never reads), each write giving up after 1 ms.
    set_timeouts(port.handle, 0, 1);
    const std::vector<unsigned char> block(4096, 'x');
    DWORD written = 0;
    int blocks = 0;
    for (; blocks < 1000; ++blocks) {
        if (!WriteFile(port.handle, block.data(), 512, &written, nullptr)) {
            break;
        }
    }
    ASSERT_LT(blocks, 1000) << "the queue never filled";
    EXPECT_LT(written, 512u) << "a failed write reports what it did write";

    // Full now: under the program's own timeouts (50 ms per byte plus 2000 ms) a one-byte write
    // waits its 2050 ms, then fails.
    set_timeouts(port.handle, 50, 2000);
    const std::int64_t start = monotonic_ms();
    EXPECT_FALSE(WriteFile(port.handle, block.data(), 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(monotonic_ms() - start, 2050);

    // Once the other side reads again, writing works again.
    char sink[4096];
    while (read(port.pty.master, sink, sizeof sink) > 0) {
        pollfd more{port.pty.master, POLLIN, 0};
        if (poll(&more, 1, 0) <= 0) {
            break;
        }
    }
    EXPECT_TRUE(eventually([&] { return WriteFile(port.handle, "y", 1, &written, nullptr) != 0; }));
    CloseHandle(port.handle);
    close_fd(port.pty.master);
}

TEST(SerialLiveness, FailsWhenTheOtherSideClosesAndRecoversOnANewDevice) {
    temp_dir dir;
    setenv("COMTERM_DEVICE_DIR", dir.path.c_str(), 1);
    test_pty first = open_test_pty();
    dir.link("COM7", first.slave_path);

    HANDLE handle = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    set_timeouts(handle, 50, 2000);
    DCB dcb{};
    EXPECT_TRUE(GetCommState(handle, &dcb));

    // The device goes away: the liveness query, reads and writes fail.
    close_fd(first.master);
    EXPECT_FALSE(GetCommState(handle, &dcb));
    unsigned char buffer[32];
    DWORD count = 99;
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(WriteFile(handle, "k", 1, &count, nullptr));
    EXPECT_FALSE(SetCommState(handle, &dcb));
    EXPECT_EQ(CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    CloseHandle(handle);

    // A new pseudo-terminal is published under the same name: it opens and answers.
    test_pty second = open_test_pty();
    dir.link("COM7", second.slave_path);
    handle = CreateFileA("\\\\.\\com7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(GetCommState(handle, &dcb));
    EXPECT_TRUE(WriteFile(handle, "k", 1, &count, nullptr));
    std::string echoed;
    EXPECT_TRUE(read_until(second.master, echoed, [](const std::string& s) { return s == "k"; }));
    CloseHandle(handle);
    close_fd(second.master);
    unsetenv("COMTERM_DEVICE_DIR");
}

}  // namespace
