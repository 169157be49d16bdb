// Platform services, Linux build: the Win32 serial and console operations the program uses,
// provided over termios, pthreads and the tty, with the same names, types and results.
//
// Only what the program calls exists here. Each operation copies the Win32 behaviour the callers
// rely on:
//   CreateFileA      opens a port path "\\.\NAME" (device names: see device_names.h) exclusively,
//                    raw, without becoming the controlling terminal, by its name every time (a
//                    link leads to the device it names now); INVALID_HANDLE_VALUE on failure,
//                    with the reason kept for GetLastError.
//                    A port another program holds with its exclusive flag (TIOCEXCL) counts as
//                    busy, root or not.
//   GetLastError     why the calling thread's last CreateFileA failed: an errno value, and EBUSY
//                    for every way of finding the port held by another program (its exclusive
//                    flag, its flock, the driver's EBUSY); SetLastError sets it.
//   CloseHandle      puts back the line settings found at open, releases the device and its lock.
//   GetFileType      FILE_TYPE_CHAR for an open port (CreateFileA opens terminals only).
//   GetCommState     fills a DCB from the line; fails once the device has gone (tty hung up).
//   SetCommState     applies BaudRate (any rate the driver takes) at 8 data bits, no parity, one
//                    stop bit; refuses any other frame, and a rate of 0 or above 0x7FFFFFFF.
//   SetupComm        accepted; the tty has its own queues.
//   EscapeCommFunction  SETDTR, CLRDTR, SETRTS, CLRRTS through the modem-control ioctls
//                    (TIOCMBIS, TIOCMBIC); fails where the tty has no modem lines (a pty).
//   SetCommTimeouts  accepts only a MAXDWORD read interval with zero read totals; keeps the write
//                    timeouts with the handle.
//   ReadFile         returns at once with what has arrived, whatever SetCommTimeouts was given
//                    (so also when the configuration failed before it), from a read-ahead of a
//                    few KiB filled by one read(2), filled again partway through a request: short
//                    only when the device has given all it has; fails on a hung-up tty once the
//                    read-ahead is handed out. Right after an idle wait that ran its full time it
//                    finds nothing without a read(2): an idle pass costs one system call, the wait.
//   WriteFile        gives up (fails) after multiplier * bytes + constant milliseconds, or never
//                    when both are 0 (no SetCommTimeouts yet).
//   port_wait_for_data()  the link's idle wait, for the Win32 build a Sleep: here it returns as
//                    soon as the port has data, or after the milliseconds given; right after a
//                    wake that brought no byte (a hung-up tty wakes at once), a plain pause.
//   No device call touches the console: held standard output goes out at the program's waits
//   (console_flush() and the list in held_output.h).
//   SetConsoleTitleA sets the terminal title (OSC 0) when standard output is a terminal.
//   Sleep            pauses the calling thread.
//   _getch           one raw byte from the terminal (no echo, no line editing, no signal keys);
//                    from standard input when it is no terminal; blocks for ever at its end. When
//                    the terminal itself has gone, the process ends as on SIGHUP, as a Windows
//                    program does when its console is closed.
//   _beginthreadex   runs a routine in a new detached thread at the default stack size; returns
//                    0 on failure; sets no thread id.
//   console_init()   standard descriptors 0-2 made open (to /dev/null where closed) before any
//                    port can take their numbers; the ending and stopping signals caught (see
//                    process_signals.h); held standard output (see console_streams.h); GBK output
//                    shown in the terminal's encoding.
//   console_pause()  prints the pause prompt and waits for one key.
//   console_flush()  writes out the standard output held so far (held_output.h).
//   console_held_room()  console text (GBK) that held standard output takes in now without writing
//                    out what it holds, as it converts or not: a caller whose own held bytes must
//                    go out before the screen shows more (the session log) writes them out, and
//                    then the console, before it adds more than this.
//   file_hold_at_ending()  the bytes the program holds for a file of its own (the session log),
//                    written out on the ways out of held_output.h (exit() and the ending signals),
//                    just before what standard output holds. The program writes them out itself
//                    at its waits; these ways out cannot take its locks, so they read the count,
//                    which the program stores with release after the bytes it covers, and write
//                    with write(2) alone. Registered once, before the link thread starts.
//   GetLocalTime     the local time to the millisecond (the calendar fields read once a second).
//   GetTickCount64   milliseconds of a monotonic clock.
//   file_sync()      what a file has written, on the disk (fdatasync): 0, or -1.
// and what the program's texts say about a port path:
//   names_full_device_path()  a -p value beginning with a backslash or '/' is a device path.
//   path_as_console_text()    the path typed in the user's locale as GBK console text.
//   open_failure_text()       why the last CreateFileA failed, naming the file it tried.
// and describe_port() (port_descriptions.cpp): a port's device file, and its adapter's
// /dev/serial/by-id name or USB product string.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// The lock of state the program's threads share, taken through std::lock_guard. A pthread mutex
// itself: std::mutex reports a failed lock with an exception, and the C++ runtime's exception
// machinery (unwinder, type information, name demangler) would be most of the program's code.
struct program_lock {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    void lock() { pthread_mutex_lock(&mutex); }
    void unlock() { pthread_mutex_unlock(&mutex); }
    bool try_lock() { return pthread_mutex_trylock(&mutex) == 0; }
};

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using HANDLE = void*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_CHAR = 2;
// GetLastError's codes are errno values; the Win32 names the program sets stand for their kin.
constexpr DWORD ERROR_BAD_DEVICE = ENOTTY;  // no serial port (a file, a directory)

// A port path: a '/' path is kept as typed, so it may be as long as the system allows.
constexpr std::size_t port_path_size = PATH_MAX;

// EscapeCommFunction's functions, with their Win32 values.
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE TWOSTOPBITS = 2;

// The fields of the Win32 DCB that the program reads or writes; the flag bit-fields of the real
// record are not modelled.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share_mode, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
DWORD GetLastError();
void SetLastError(DWORD error);
BOOL CloseHandle(HANDLE handle);
DWORD GetFileType(HANDLE handle);
BOOL GetCommState(HANDLE handle, DCB* dcb);
BOOL SetCommState(HANDLE handle, DCB* dcb);
BOOL SetupComm(HANDLE handle, DWORD in_queue, DWORD out_queue);
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
BOOL EscapeCommFunction(HANDLE handle, DWORD function);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD to_read, LPDWORD read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD to_write, LPDWORD written,
               OVERLAPPED* overlapped);

void port_wait_for_data(HANDLE handle, DWORD milliseconds);

BOOL SetConsoleTitleA(LPCSTR title);
void Sleep(DWORD milliseconds);
int _getch();
std::uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned (*start)(void*),
                              void* argument, unsigned init_flags, unsigned* thread_id);

void GetLocalTime(SYSTEMTIME* time);
std::uint64_t GetTickCount64();

void console_init();
void console_pause();
void console_flush();
std::size_t console_held_room();
void file_hold_at_ending(std::FILE* file, unsigned char* bytes, std::atomic<std::size_t>* count);
int file_sync(std::FILE* file);

// Whether a -p value is a full device path, taken as it is, rather than a name that gets the
// device-namespace prefix.
bool names_full_device_path(const char* value);
// What messages and titles show for a path: path itself, or its console-text form written into out
// (which needs room for the path and its NUL; a smaller out makes the result path).
const char* path_as_console_text(const char* path, char* out, std::size_t out_size);
// Why the calling thread's last CreateFileA of port_path failed, as "PATH: REASON" written into out
// (console text, without a line end): PATH is the file tried (the one a "\\.\" name led to), or
// port_path when the name led to none.
const char* open_failure_text(const char* port_path, char* out, std::size_t out_size);
// For --list: the file a port path opens (device; on Windows the path itself) and, where the system
// knows it, the adapter's description (empty otherwise), both as NUL-terminated console text.
void describe_port(const char* port_path, char* device, std::size_t device_size, char* description,
                   std::size_t description_size);
