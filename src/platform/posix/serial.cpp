// The Win32 serial operations over a Linux tty, and the link's idle wait on it. A HANDLE points at
// a serial_port record, one per entry of the table of held ports: the descriptor, the write
// timeouts that SetCommTimeouts keeps with it, and its entry, which keeps the line settings to put
// back at close.
#include "serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "device_names.h"
#include "platform.h"
#include "serial_line.h"

namespace {

// What one read(2) of the device may take: ReadFile hands it out in the program's small reads.
constexpr std::size_t read_ahead_size = 4096;

// A handle is owned by one thread at a time: the link thread opens, configures, reads and closes
// it, and the keyboard thread writes through it only while the link is up (the link waits for a
// key write in progress before it closes a lost port). So the record needs no atomics, and
// CloseHandle frees it, as Win32 invalidates a closed handle.
struct serial_port {
    int fd;
    DWORD write_multiplier;
    DWORD write_constant;
    int held_index;  // its entry in held_ports
    // The last idle wait ended early, and no byte has been handed out since: see
    // port_wait_for_data().
    bool woken_for_nothing = false;
    // The last idle wait ran its full time without a byte arriving: the next read would find
    // nothing, so it is spared (a byte that comes after the wait ends the next wait at once).
    bool quiet_through_wait = false;
    // Received bytes read ahead, not yet handed out: ahead[ahead_start, ahead_end).
    std::size_t ahead_start = 0;
    std::size_t ahead_end = 0;
    unsigned char ahead[read_ahead_size] = {};
};

// The ports open right now, for a signal handler that must give them back before the process
// ends: each descriptor with the line settings found at open (put back at close too, so that a
// probe leaves the port as it was). An entry is free (held_free), taken by an opener that is
// filling it (held_taken), or published with its descriptor. A published entry goes either to its
// closer, which frees it, or to a handler, which takes it and gives the port back: whichever swaps
// the descriptor out first. Only the closer closes, so a handler never acts on a descriptor number
// that was closed and reused. The program holds one port at a time (the probe closes each before
// the next); the spare entries cost nothing.
constexpr int held_free = -1;
constexpr int held_taken = -2;
struct held_port {
    std::atomic<int> fd{held_free};
    serial_line_saved line_before_open;
};
held_port held_ports[4];
// The record of each entry's open port, the handle: static, as the entries are, so that opening a
// port allocates nothing.
serial_port port_records[std::size(held_ports)];

// Raw mode and the rate were ours, and so is the exclusive flag: the open refuses a port whose
// flag is set already. The flag belongs to the tty, not to our descriptor: a peer holding the
// device open (the other end of a test pty, a getty) would otherwise keep it locked after we are
// gone. Async-signal-safe. A device that has gone is left alone.
void give_back(int fd, const held_port& held) {
    serial_line_restore(fd, &held.line_before_open);
    ioctl(fd, TIOCNXCL);
}

// Whether another program holds the tty with its exclusive flag. Root opens such a port anyway;
// taking it would break the holder's lock, and closing it would clear the holder's flag. A tty that
// cannot tell counts as held.
bool held_elsewhere(int fd) {
    int exclusive = 1;
    return ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive != 0;
}

// Why the calling thread's last CreateFileA failed, and the file it tried ("" when the port path
// named none). Per thread: the port menu's probe and the link thread each report their own.
thread_local DWORD last_error = 0;
thread_local char last_tried_path[PATH_MAX];

HANDLE open_failed(int error) {
    last_error = static_cast<DWORD>(error);
    return INVALID_HANDLE_VALUE;
}

int take_held_entry() {
    for (int i = 0; i < static_cast<int>(std::size(held_ports)); ++i) {
        int expected = held_free;
        if (held_ports[i].fd.compare_exchange_strong(expected, held_taken)) {
            return i;
        }
    }
    return -1;
}

// Frees an entry; true when the caller still owns the descriptor. A handler that got there first
// is giving the port back on its way to ending the process: the descriptor and the entry stay its.
bool unpublish(int index, int fd) {
    int expected = fd;
    return held_ports[index].fd.compare_exchange_strong(expected, held_free);
}

int port_fd(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    return static_cast<serial_port*>(handle)->fd;
}

std::int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the descriptor takes more bytes or deadline_ms passes (monotonic; a negative deadline
// waits for ever). Returns the poll revents, 0 when the deadline passed.
short wait_writable(int fd, std::int64_t deadline_ms) {
    for (;;) {
        int timeout = -1;
        if (deadline_ms >= 0) {
            std::int64_t left = deadline_ms - monotonic_ms();
            if (left <= 0) {
                return 0;
            }
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd state{fd, POLLOUT, 0};
        int ready = poll(&state, 1, timeout);
        if (ready > 0) {
            return state.revents;
        }
        if (ready < 0 && errno != EINTR) {
            return POLLERR;
        }
    }
}

// The open port behind a handle for a transfer of `length` bytes, or null; clears the count.
serial_port* port_for_transfer(HANDLE handle, const void* buffer, DWORD length, LPDWORD count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (port_fd(handle) < 0 || (buffer == nullptr && length != 0)) {
        return nullptr;
    }
    return static_cast<serial_port*>(handle);
}

// Win32 total timeout: multiplier * bytes + constant milliseconds; both 0 means none.
std::int64_t total_deadline(DWORD multiplier, DWORD constant, DWORD bytes) {
    if (multiplier == 0 && constant == 0) {
        return -1;
    }
    return monotonic_ms() + static_cast<std::int64_t>(multiplier) * bytes + constant;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share_mode, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
    (void)access;
    (void)share_mode;
    (void)security;
    (void)disposition;
    (void)flags;
    (void)template_file;
    char* const device_path = last_tried_path;
    const int resolved = resolve_device_path(path, device_path, sizeof last_tried_path);
    if (resolved != 0) {
        device_path[0] = '\0';
        return open_failed(resolved == DEVICE_NAME_TOO_LONG ? ENAMETOOLONG : ENOENT);
    }
    // O_NOCTTY: a port never becomes our controlling terminal. O_NONBLOCK: the open does not wait
    // for carrier, reads never wait, and writes wait only as long as their timeout says (poll).
    // The name is opened anew each time: a link (/dev/serial/by-id/...) leads to today's device.
    int fd = open(device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return open_failed(errno);  // EBUSY: another program's exclusive flag
    }
    // Share mode 0: the flock keeps out every program that honours it (root included, whom
    // TIOCEXCL does not stop); TIOCEXCL keeps out any further open by an unprivileged program.
    // Each refusal is recorded as the reason: any lock or flag of another program means held.
    const int index = take_held_entry();
    int error = index < 0 ? EMFILE : 0;
    if (error == 0 && !isatty(fd)) {
        error = ENOTTY;
    } else if (error == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    } else if (error == 0 && held_elsewhere(fd)) {
        error = EBUSY;
    } else if (error == 0 && serial_line_save(fd, &held_ports[index].line_before_open) != 0) {
        error = errno;
    }
    if (error != 0) {
        if (index >= 0) {
            held_ports[index].fd.store(held_free);
        }
        close(fd);  // the exclusive flag, if set, is the holder's: leave it
        return open_failed(error);
    }
    // Published before anything is changed, so that a signal from here on finds what to put back.
    held_ports[index].fd.store(fd);
    if (ioctl(fd, TIOCEXCL) != 0 || serial_line_make_raw(fd) != 0) {
        error = errno;
        give_back(fd, held_ports[index]);
        if (unpublish(index, fd)) {
            close(fd);
        }
        return open_failed(error);
    }
    serial_port* port = &port_records[index];
    *port = serial_port{fd, 0, 0, index};
    return port;
}

DWORD GetLastError() {
    return last_error;
}

void SetLastError(DWORD error) {
    last_error = error;
}

const char* open_failure_text(const char* port_path, char* out, std::size_t out_size) {
    const char* path = last_tried_path[0] != '\0' ? last_tried_path : port_path;
    const int error = static_cast<int>(last_error);
    const char* reason = std::strerror(error);
    if (error == EBUSY) {
        reason = "held by another program";
    } else if (error == ENOTTY) {
        reason = "not a serial port";
    }
    // Who may open a serial device is a matter of group (dialout on Debian); a file elsewhere that
    // refuses us is not.
    struct stat device;
    const bool device_refused =
        (error == EACCES || error == EPERM) && stat(path, &device) == 0 && S_ISCHR(device.st_mode);
    char shown[PATH_MAX];
    std::snprintf(out, out_size, "%s: %s%s", path_as_console_text(path, shown, sizeof shown),
                  reason, device_refused ? " (add your user to the dialout group)" : "");
    return out;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    // The record is the entry's: once the entry is free, another open may fill it.
    const auto* port = static_cast<serial_port*>(handle);
    const int fd = port->fd;
    const int index = port->held_index;
    give_back(fd, held_ports[index]);
    if (unpublish(index, fd)) {
        close(fd);
    }
    return 1;
}

void serial_ports_give_back() {
    for (held_port& held : held_ports) {
        int fd = held.fd.load();
        if (fd >= 0 && held.fd.compare_exchange_strong(fd, held_taken)) {
            give_back(fd, held);
        }
    }
}

DWORD GetFileType(HANDLE handle) {
    const int fd = port_fd(handle);
    return fd >= 0 && isatty(fd) ? FILE_TYPE_CHAR : FILE_TYPE_UNKNOWN;
}

BOOL GetCommState(HANDLE handle, DCB* dcb) {
    int fd = port_fd(handle);
    return fd >= 0 && dcb != nullptr && serial_line_get(fd, dcb) == 0;
}

BOOL SetCommState(HANDLE handle, DCB* dcb) {
    int fd = port_fd(handle);
    return fd >= 0 && dcb != nullptr && serial_line_set(fd, dcb) == 0;
}

BOOL SetupComm(HANDLE handle, DWORD in_queue, DWORD out_queue) {
    // The tty's own queues serve; there is nothing to size.
    (void)in_queue;
    (void)out_queue;
    return port_fd(handle) >= 0;
}

// The modem lines a Win32 function raises (TIOCMBIS) or lowers (TIOCMBIC).
struct escape_row {
    DWORD function;
    unsigned long request;
    int lines;
};
constexpr escape_row escape_rows[] = {
    {SETDTR, TIOCMBIS, TIOCM_DTR},
    {CLRDTR, TIOCMBIC, TIOCM_DTR},
    {SETRTS, TIOCMBIS, TIOCM_RTS},
    {CLRRTS, TIOCMBIC, TIOCM_RTS},
};

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    const int fd = port_fd(handle);
    for (const escape_row& row : escape_rows) {
        if (row.function == function) {
            int lines = row.lines;
            return fd >= 0 && ioctl(fd, row.request, &lines) == 0;
        }
    }
    return 0;
}

// Reads always return at once with what has arrived (ReadFile), the only read mode the program
// sets; any other is refused. Only the write timeouts are kept.
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    if (port_fd(handle) < 0 || timeouts == nullptr || timeouts->ReadIntervalTimeout != MAXDWORD ||
        timeouts->ReadTotalTimeoutMultiplier != 0 || timeouts->ReadTotalTimeoutConstant != 0) {
        return 0;
    }
    serial_port* port = static_cast<serial_port*>(handle);
    port->write_multiplier = timeouts->WriteTotalTimeoutMultiplier;
    port->write_constant = timeouts->WriteTotalTimeoutConstant;
    return 1;
}

namespace {

// Fills the empty read-ahead with one read(2): the bytes read, 0 when nothing has arrived, -1 when
// the device has hung up or gone.
ssize_t fill_read_ahead(serial_port* port) {
    port->ahead_start = 0;
    port->ahead_end = 0;
    for (;;) {
        const ssize_t got = ::read(port->fd, port->ahead, read_ahead_size);
        if (got > 0) {
            port->ahead_end = static_cast<std::size_t>(got);
            return got;
        }
        if (got < 0 && errno == EAGAIN) {
            return 0;
        }
        if (got == 0 || errno != EINTR) {
            return -1;
        }
    }
}

}  // namespace

// Takes what has arrived, up to to_read bytes, and returns at once, whatever the timeouts (also
// on a port whose configuration failed before SetCommTimeouts). Bytes are handed out from the
// read-ahead; only when it is empty does a read(2) fill it again, also partway through a request,
// as a Win32 driver hands out what its queue holds: a read comes back short only when the device
// has given all it has for now, not wherever a read-ahead ends (a tty gives at most 4095 bytes a
// read(2)), so the link shows what came in one write, not in one per read-ahead. A hung-up device
// fails the read instead of reporting 0 bytes, once what was read ahead is handed out.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD to_read, LPDWORD read, OVERLAPPED* overlapped) {
    (void)overlapped;
    serial_port* port = port_for_transfer(handle, buffer, to_read, read);
    if (port == nullptr) {
        return 0;
    }
    const bool quiet = port->quiet_through_wait;
    port->quiet_through_wait = false;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t count = 0;
    while (count < to_read && !quiet) {
        if (port->ahead_start == port->ahead_end) {
            const ssize_t got = fill_read_ahead(port);
            if (got < 0 && count == 0) {
                return 0;  // hung up or gone
            }
            if (got <= 0) {
                break;
            }
        }
        std::size_t take = port->ahead_end - port->ahead_start;
        take = take < to_read - count ? take : to_read - count;
        std::memcpy(out + count, port->ahead + port->ahead_start, take);
        port->ahead_start += take;
        count += take;
    }
    if (count != 0) {
        port->woken_for_nothing = false;
    }
    if (read != nullptr) {
        *read = static_cast<DWORD>(count);
    }
    return 1;
}

// A write may take multiplier * bytes + constant ms (no limit when both are 0); when the device
// takes no more within that time the write fails, with the count of the bytes it did take.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD to_write, LPDWORD written,
               OVERLAPPED* overlapped) {
    (void)overlapped;
    serial_port* port = port_for_transfer(handle, buffer, to_write, written);
    if (port == nullptr) {
        return 0;
    }
    const int fd = port->fd;
    const std::int64_t deadline =
        total_deadline(port->write_multiplier, port->write_constant, to_write);

    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD done = 0;
    BOOL result = 1;
    while (done < to_write) {
        ssize_t put = ::write(fd, bytes + done, to_write - done);
        if (put > 0) {
            done += static_cast<DWORD>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN) {
            result = 0;  // hung up or gone
            break;
        }
        short events = wait_writable(fd, deadline);
        if (events == 0 || (events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            result = 0;
            break;
        }
    }
    if (written != nullptr) {
        *written = done;
    }
    return result;
}

void port_wait_for_data(HANDLE handle, DWORD milliseconds) {
    serial_port* port = port_for_transfer(handle, nullptr, 0, nullptr);
    // A hung-up tty polls ready at once for ever, and so may a line whose reads fail: a wake that
    // brought no byte makes the next wait a plain pause, so such a port costs one pass in two
    // without a pause, not a busy loop, until the liveness query notices it.
    if (port == nullptr || port->woken_for_nothing) {
        if (port != nullptr) {
            port->woken_for_nothing = false;
        }
        Sleep(milliseconds);
        return;
    }
    pollfd state{port->fd, POLLIN, 0};
    const int ready = poll(&state, 1, static_cast<int>(milliseconds));
    port->woken_for_nothing = ready > 0;
    port->quiet_through_wait = ready == 0;
}
