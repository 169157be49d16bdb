// The modem control lines DTR and RTS as the command line asks (--dtr, --rts): set by the link
// thread after every open and reopen of the port, once the line is configured and before the
// open is announced. Without a wish a line stays as the driver leaves it, and nothing is called.
//
// A board with an auto-reset circuit (ESP32, Arduino) is reset, or held in its boot loader, by
// these lines; the drivers raise both at open, so the setting can only follow the open, within
// milliseconds (docs/comterm.1, "Line settings", says what each platform does meanwhile).
//
// A port without modem lines (a pseudo-terminal) refuses the setting: the link stays up, and the
// first refusal of each line is said once on standard error.
//
//   modem_lines_apply()  applies dtr_wish and rts_wish to an open port through EscapeCommFunction.
#pragma once

#include <cstdint>

#include "platform.h"

enum line_wish : std::uint8_t {
    LINE_AS_DRIVER = 0,  // left alone
    LINE_ON = 1,
    LINE_OFF = 2,
};

// Written by the main thread before the link thread starts, only read afterwards.
extern line_wish dtr_wish;
extern line_wish rts_wish;

void modem_lines_apply(HANDLE handle);
