// Port and baud selection: the numbered console menus that fill whatever the command line left
// unset.
//
//   select_port()  probes \\.\COM1 to \\.\COM255 by opening each (exclusive, as the link does) and
//                  closing it at once, offers the ones that opened, and sets port_path to the
//                  chosen one. With none it says so, pauses and ends the process with status 0.
//   list_ports()   prints the ports select_port() would offer, one a line: the COM name, the device
//                  path and, where the system knows it, the adapter's description (describe_port
//                  in platform.h), separated by tabs, as console text (GBK). Prints nothing when
//                  there is none; neither pauses nor asks.
//   select_baud()  offers baud_table and sets baud_rate to the chosen rate.
// Both read their answer with scanf: an out-of-range number picks the first entry, an answer with
// no number picks the last one and stays in the input for the next read.
#pragma once

#include <array>
#include <cstdint>

extern const std::array<std::int32_t, 12> baud_table;

void select_port();
void list_ports();
void select_baud();
