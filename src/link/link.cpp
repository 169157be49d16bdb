// The link thread: opens, configures, polls, watches and reopens the serial device.
#include "link.h"

#include <cstdio>
#include <cstring>

#include "modem_lines.h"
#include "view.h"

enum link_state_value : std::uint8_t {
    LINK_UNOPENED = 0,  // never opened yet
    LINK_UP = 1,        // open and configured
    LINK_LOST = 2,      // was up, the device stopped answering
};

char port_path[port_path_size];
std::int32_t baud_rate;
std::atomic<HANDLE> port_handle{INVALID_HANDLE_VALUE};
// Written by the link thread only; read by link_send_key() in the main thread.
std::atomic<std::uint8_t> link_state{LINK_UNOPENED};

namespace {

// Keys being written by the main thread right now. The link thread closes a lost handle only when
// none is in flight, so a key write never runs on a handle that is being released (or, on Linux,
// on a descriptor number already reused by the reopen). Sequentially consistent on both sides: the
// main thread raises the count before it looks at link_state, the link thread publishes LINK_LOST
// before it looks at the count, so at least one of them sees the other.
std::atomic<int> key_writes_in_flight{0};

constexpr DWORD read_chunk = 32;
// The bytes of consecutive full reads, handed to the view together: at most a few microseconds
// later, as the link reads on at once, and with its fixed cost (lock, conversion call, console and
// log calls) paid once per batch rather than once per 32 bytes. Any read that comes back short
// hands over what the batch holds before the thread flushes or waits.
unsigned char received[view_received_batch];
std::size_t received_count = 0;
constexpr DWORD idle_wait_ms = 5;
constexpr int idle_passes_per_query = 201;  // the liveness query ends every 201st idle pass
constexpr DWORD reopen_pause_ms = 1000;
constexpr DWORD queue_size = 255;

// Why the last failed open failed, as said on standard error; empty once the port opens, so that
// every new failure says why once, and the same reason every second is not repeated.
constexpr std::size_t failure_text_size = port_path_size + 128;
char failure_said[failure_text_size];

void release_lost_handle() {
    while (key_writes_in_flight.load() != 0) {
        Sleep(1);
    }
    CloseHandle(port_handle.load());
    port_handle.store(INVALID_HANDLE_VALUE);
}

// One pass with the link up: read what has arrived and show and log it (view.h); when idle, wait
// for data a while and now and then ask the device whether it is still there.
void poll_pass(int& idle_passes) {
    DWORD bytes_read = 0;
    const HANDLE handle = port_handle.load(std::memory_order_relaxed);
    if (!ReadFile(handle, received + received_count, read_chunk, &bytes_read, nullptr)) {
        bytes_read = 0;  // a failed read counts as an idle pass, never as a loss by itself
    }
    received_count += bytes_read;
    if (bytes_read == read_chunk && received_count + read_chunk <= sizeof received) {
        return;  // more may be waiting: read on at once
    }
    if (received_count != 0) {
        view_received(received, received_count);
        received_count = 0;
    }
    if (bytes_read == read_chunk) {
        return;
    }
    // The device has given all it has for now: what it completed is logged and shown before the
    // thread reads on or waits (one write each per short read, not one per character).
    view_flush();
    console_flush();
    if (bytes_read != 0) {
        return;
    }
    view_idle();
    port_wait_for_data(handle, idle_wait_ms);
    if (++idle_passes == idle_passes_per_query) {
        idle_passes = 0;
        DCB probe{};
        probe.DCBlength = sizeof(probe);
        if (!GetCommState(handle, &probe)) {
            link_state.store(LINK_LOST);
            release_lost_handle();
        }
    }
}

// Line settings and timeouts on port_handle: 0, or -1/-2/-3 for the call that failed (each failure
// announced), which leaves the rest of the line's settings and timeouts as they were.
int configure_port() {
    const HANDLE handle = port_handle.load(std::memory_order_relaxed);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle, &dcb)) {
        view_status("GetCommState fail\n", false);
        return -1;
    }
    // A negative rate becomes a huge DWORD, which the driver refuses.
    dcb.BaudRate = static_cast<DWORD>(baud_rate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle, &dcb)) {
        view_status("SetCommState fail\n", false);
        return -2;
    }
    SetupComm(handle, queue_size, queue_size);
    // Reads return at once with whatever has arrived; a write may take 50 ms a byte plus 2 s.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 50;
    timeouts.WriteTotalTimeoutConstant = 2000;
    if (!SetCommTimeouts(handle, &timeouts)) {
        view_status("SetCommTimeouts fail\n", false);
        return -3;
    }
    return 0;
}

// A status line about the port, named by its console text, at baud_rate.
void announce(const char* format, const char* port_text, bool prompt) {
    char line[view_status_max];
    std::snprintf(line, sizeof line, format, port_text, baud_rate);
    view_status(line, prompt);
}

// One attempt to (re)open the port. Announces the outcome, naming the port by its console text;
// the state moves to LINK_UP only here.
void open_pass(std::uint8_t state, const char* port_text) {
    if (state == LINK_LOST) {
        announce(">>串口 %s(%d) 已断开，正在重连...\n", port_text, false);
    }
    const HANDLE handle = open_port(port_path);
    port_handle.store(handle);
    if (handle == INVALID_HANDLE_VALUE) {
        char failure[failure_text_size];
        open_failure_text(port_path, failure, sizeof failure);  // before printing disturbs it
        if (state == LINK_UNOPENED) {
            announce(">>串口 %s(%d) 打开失败，正在重连...\n", port_text, false);
        }
        if (std::strcmp(failure, failure_said) != 0) {
            std::fprintf(stderr, "comterm: %s\n", failure);
            std::memcpy(failure_said, failure, sizeof failure);
        }
        Sleep(reopen_pause_ms);
        return;
    }
    failure_said[0] = '\0';
    // A configuration failure only delays the link: the line keeps what it had.
    if (configure_port() != 0) {
        Sleep(reopen_pause_ms);
    }
    // After the configuration, which may set the lines itself, and before anyone is told.
    modem_lines_apply(handle);
    if (state == LINK_UNOPENED) {
        announce(">>串口 %s(%d) 打开成功\n", port_text, true);
    } else {
        announce(">>串口 %s(%d) 重连成功\n", port_text, true);
    }
    link_state.store(LINK_UP);  // after the handle: a reader that sees LINK_UP sees the handle
}

}  // namespace

HANDLE open_port(const char* path) {
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    // A full path may name a regular file (-p \tmp\notes.txt), which would take every key.
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_CHAR) {
        CloseHandle(handle);
        SetLastError(ERROR_BAD_DEVICE);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

unsigned link_thread(void* /*argument*/) {
    int idle_passes = 0;
    char console_text[port_path_size];
    const char* port_text = path_as_console_text(port_path, console_text, sizeof console_text);
    for (;;) {
        const std::uint8_t state = link_state.load(std::memory_order_relaxed);
        if (state == LINK_UP) {
            poll_pass(idle_passes);
        } else {
            open_pass(state, port_text);
        }
    }
}

int link_send_key(unsigned char key) {
    key_writes_in_flight.fetch_add(1);
    int result = 1;
    if (link_state.load() == LINK_UP) {
        DWORD written = 0;
        result = WriteFile(port_handle.load(), &key, 1, &written, nullptr) ? 0 : -1;
    }
    key_writes_in_flight.fetch_sub(1);
    return result;
}
