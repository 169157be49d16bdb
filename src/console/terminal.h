// The terminal driver: console titles and the keyboard loop of the main thread.
//
//   set_port_title()  the second console title, "<port path>——<tool title>".
//   forward_keys()    reads keys for ever and sends each while the link is up, as keys.h says (by
//                     default untranslated, as one byte); ends the process with status 0 at the
//                     exit key, if one is set, and otherwise never returns.
#pragma once

void set_port_title();
[[noreturn]] void forward_keys();
