// Line settings of an open serial tty, read and written through the kernel's termios2 interface.
//
// termios2 with BOTHER carries the rate as a plain number, so any rate the driver accepts (74880,
// 250000, ...) is set exactly, not rounded to the nearest Bnnn constant. Its header
// <asm/termbits.h> defines its own struct termios and the same macros as glibc's <termios.h>, and
// the two cannot meet in one translation unit: serial_line.cpp includes only the kernel's header,
// and this header includes neither, so callers see plain types.
//
// How the Win32 serial stand-ins map onto the tty:
//   CreateFileA     open(O_NOCTTY | O_NONBLOCK), serial_line_save(), then serial_line_make_raw():
//                   no echo, no input or output processing, receiver on, modem lines and flow
//                   control ignored, and VMIN 1 / VTIME 0, so that a read with nothing waiting
//                   fails with EAGAIN while a read of 0 bytes means the tty has been hung up.
//   CloseHandle     serial_line_restore(): the line gets back the settings it had before the open,
//                   so that probing a port (open, close) leaves it as it was.
//   serial_ports_give_back()  what CloseHandle gives back, for every port open now (serial.h).
//   GetCommState    serial_line_get(): fails once the tty is hung up (an unplugged USB adapter,
//                   a pseudo-terminal whose other side closed): the kernel then reports POLLHUP
//                   and refuses the TCGETS2 ioctl with EIO.
//   SetCommState    serial_line_set(): the rate, exact through BOTHER, with 8 data bits, no
//                   parity and one stop bit (the only frame the program sets; any other is
//                   refused), read back afterwards, since a driver may quietly substitute a rate
//                   it cannot make.
//
//   serial_line_save()      the line's settings as they are now; 0 or -1.
//   serial_line_restore()   puts saved settings back unless the tty is hung up or gone; 0 or -1;
//                           async-signal-safe.
//   serial_line_make_raw()  raw 8-bit line without parity, modem lines ignored; 0 or -1.
//   serial_line_alive()     false once the tty is hung up or gone.
//   serial_line_get()       rate, data bits, parity and stop bits of the line as a DCB; 0 or -1.
//   serial_line_set()       applies and verifies the DCB's rate at 8N1; 0 or -1.
#pragma once

#include "platform.h"

// Saved line settings: a kernel termios2 kept as plain bytes, since its header stays out of here.
struct serial_line_saved {
    alignas(8) unsigned char bytes[64];
};

int serial_line_save(int fd, serial_line_saved* saved);
int serial_line_restore(int fd, const serial_line_saved* saved);
int serial_line_make_raw(int fd);
bool serial_line_alive(int fd);
int serial_line_get(int fd, DCB* dcb);
int serial_line_set(int fd, const DCB* dcb);
