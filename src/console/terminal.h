// The terminal driver: console titles and the keyboard loop of the main thread.
//
//   set_port_title()  the second console title, "<port path>——<tool title>".
//   forward_keys()    reads keys for ever and sends each, untranslated, as one byte while the link
//                     is up; never returns.
#pragma once

void set_port_title();
[[noreturn]] void forward_keys();
