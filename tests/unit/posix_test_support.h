// Helpers shared by the tests of the Linux platform layer: real pseudo-terminals, a device
// directory of our own, child processes and deadlines. No <termios.h> here, so that tests using
// the kernel's termios2 can include it too.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

// A pseudo-terminal pair: the test holds the master, the code under test opens slave_path.
struct test_pty {
    int master = -1;
    std::string slave_path;
};

inline test_pty open_test_pty() {
    test_pty pty;
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master >= 0 && grantpt(pty.master) == 0 && unlockpt(pty.master) == 0) {
        pty.slave_path = ptsname(pty.master);
    }
    return pty;
}

inline void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// "\\.\" + name: the port path the program hands to CreateFileA.
inline std::string port_path_for(const std::string& name) {
    return "\\\\.\\" + name;
}

// A fresh directory for COMTERM_DEVICE_DIR, removed with its entries at the end of the scope.
struct temp_dir {
    std::string path;
    temp_dir() {
        char pattern[] = "/tmp/comterm-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    void link(const std::string& name, const std::string& target) const {
        std::error_code ignored;
        std::filesystem::remove(path + "/" + name, ignored);
        std::filesystem::create_symlink(target, path + "/" + name);
    }
};

// Monotonic milliseconds. (<chrono> cannot be used here: it holds a literal that has no GBK
// form, and the tests are compiled with a GBK execution character set.)
inline std::int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

constexpr std::int64_t test_deadline_ms = 10000;

// Retries `ready` until it holds or the deadline passes: polling with a generous deadline, never
// a fixed sleep standing in for a result.
template <typename Condition>
bool eventually(Condition ready) {
    const std::int64_t deadline = monotonic_ms() + test_deadline_ms;
    while (!ready()) {
        if (monotonic_ms() > deadline) {
            return false;
        }
        timespec pause_between{0, 2000000};
        nanosleep(&pause_between, nullptr);
    }
    return true;
}

// Appends what `fd` has to offer to `out` until `ready(out)` holds or the deadline passes.
template <typename Condition>
bool read_until(int fd, std::string& out, Condition ready) {
    const std::int64_t deadline = monotonic_ms() + test_deadline_ms;
    while (!ready(out)) {
        std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            return false;
        }
        pollfd state{fd, POLLIN, 0};
        if (poll(&state, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char chunk[512];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return ready(out);  // the other side has gone: nothing more will come
        }
        out.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

inline bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The expected UTF-8 text of a u8 literal, as bytes (the test's plain literals are GBK).
inline std::string utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// Waits for a child and returns its wait status (-1 if it did not end within the deadline; it is
// then killed).
inline int wait_child(pid_t child) {
    int status = -1;
    if (!eventually([&] { return waitpid(child, &status, WNOHANG) == child; })) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return status;
}

// The scheduler state letter of a process from /proc ('S' sleeping, 'R' running, ...).
inline char process_state(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return '?';
    }
    char line[512] = {};
    std::size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = '\0';
    const char* close_paren = std::strrchr(line, ')');
    return (close_paren != nullptr && close_paren[1] == ' ') ? close_paren[2] : '?';
}
