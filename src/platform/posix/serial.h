// What serial.cpp offers the rest of the Linux layer beside the Win32 serial calls of platform.h.
//
//   serial_ports_give_back()  what CloseHandle gives back (line settings, exclusive flag), for
//                             every port open now, without closing: for the ending path of the
//                             process. Async-signal-safe.
#pragma once

void serial_ports_give_back();
