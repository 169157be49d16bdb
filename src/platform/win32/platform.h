// Platform services, Windows build: the real Win32 kernel and C runtime.
//
// The serial and console operations the program uses (CreateFileA, CloseHandle, GetFileType,
// GetCommState, SetCommState, SetupComm, SetCommTimeouts, ReadFile, WriteFile, SetConsoleTitleA,
// Sleep, _getch, _beginthreadex) come straight from <windows.h>, <conio.h> and <process.h>. The
// Linux build provides the same names from platform/posix/platform.h; callers include "platform.h"
// and the build picks the folder.
//
//   console_init()   makes standard output and error unbuffered, so every write is seen at once
//                    even when they are pipes or files (a console is unbuffered already).
//   console_pause()  the "press any key" pause.
#pragma once

#include <conio.h>
#include <process.h>
#include <windows.h>

void console_init();
void console_pause();
