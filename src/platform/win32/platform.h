// Platform services, Windows build: the real Win32 kernel and C runtime.
//
// The serial and console operations the program uses (CreateFileA, CloseHandle, GetFileType,
// GetCommState, SetCommState, SetupComm, SetCommTimeouts, EscapeCommFunction, ReadFile, WriteFile,
// SetConsoleTitleA, Sleep, _getch, _beginthreadex) come straight from <windows.h>, <conio.h> and
// <process.h>. The Linux build provides the same names from platform/posix/platform.h; callers
// include "platform.h" and the build picks the folder.
//
//   console_init()   makes standard output and error unbuffered, so every write is seen at once
//                    even when they are pipes or files (a console is unbuffered already).
//   console_pause()  the "press any key" pause.
//   console_flush()  standard output written out (it holds nothing: console_init made it
//                    unbuffered); the Linux build holds it between the program's waits.
//   port_wait_for_data()  the link's idle wait: Sleep. The Linux build wakes as soon as the port
//                    has data.
//   file_sync()      what a file has written, on the disk (_commit): 0, or -1.
//   console_held_room()  no limit: standard output holds nothing, each write is on the screen at
//                    once, so none ever shows held bytes early.
//   file_hold_at_ending()  the bytes the program holds for a file of its own (the session log),
//                    written out at exit() (the exit key). Without the program's locks: the count
//                    is stored with release after the bytes it covers. A closed console or a kill
//                    ends the process with nothing run.
// and what the program's texts say about a port path (device_names.cpp):
//   names_full_device_path()  a -p value beginning with a backslash is a device path ('/' is not).
//   path_as_console_text()    the path itself: what is typed is in the console's code page already.
//   open_failure_text()       why the last CreateFileA failed: GetLastError's system text.
// and describe_port() (port_descriptions.cpp): the Device Manager's name of a port, by SetupAPI.
#pragma once

#include <conio.h>
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

// The lock of state the program's threads share, taken through std::lock_guard. (The Linux build
// has one of its own over pthreads.)
using program_lock = std::mutex;

// A port path: 31 characters and the NUL, as the program has always held it.
constexpr std::size_t port_path_size = 32;

void console_init();
void console_pause();
void console_flush();
inline void port_wait_for_data(HANDLE /*handle*/, DWORD milliseconds) {
    Sleep(milliseconds);
}
int file_sync(std::FILE* file);
inline std::size_t console_held_room() {
    return SIZE_MAX;
}
void file_hold_at_ending(std::FILE* file, unsigned char* bytes, std::atomic<std::size_t>* count);

bool names_full_device_path(const char* value);
const char* path_as_console_text(const char* path, char* out, std::size_t out_size);
// Why the calling thread's last CreateFileA of port_path failed, as "PATH: REASON" written into out
// (without a line end).
const char* open_failure_text(const char* port_path, char* out, std::size_t out_size);
// For --list: the file a port path opens (device; on Windows the path itself) and, where the system
// knows it, the adapter's description (empty otherwise), both as NUL-terminated console text.
void describe_port(const char* port_path, char* device, std::size_t device_size, char* description,
                   std::size_t description_size);
