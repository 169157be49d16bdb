// Helpers of the Linux platform tests: pseudo-terminals, deadlines and child processes. No
// <termios.h> here, so that tests using the kernel's termios2 can include it too.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// A pseudo-terminal pair: the test holds the master, the code under test opens slave_path.
struct test_pty {
    int master = -1;
    std::string slave_path;
};

inline test_pty open_test_pty() {
    test_pty pty{posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), ""};
    if (pty.master >= 0 && grantpt(pty.master) == 0 && unlockpt(pty.master) == 0) {
        pty.slave_path = ptsname(pty.master);
    }
    return pty;
}

// Not <chrono>: it holds a literal with no GBK form, and the tests are compiled to GBK.
inline std::int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Polls `ready` until it holds (true) or a generous deadline passes (false).
template <typename Condition>
bool eventually(Condition ready) {
    const std::int64_t deadline = monotonic_ms() + 10000;
    while (!ready()) {
        if (monotonic_ms() > deadline) {
            return false;
        }
        timespec pause_between{0, 2000000};
        nanosleep(&pause_between, nullptr);
    }
    return true;
}

// The child's wait status, or -1 (and the child killed) when it does not end by the deadline.
inline int wait_child(pid_t child) {
    int status = -1;
    if (!eventually([&] { return waitpid(child, &status, WNOHANG) == child; })) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return status;
}
