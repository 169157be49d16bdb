// What a typed key sends and shows: the bytes of the Enter key, local echo, the pacing of the bytes
// at the device, and the key that ends the program. Set from the command line (options.cpp) before
// the keyboard loop starts, and used by the main thread only. Left at their defaults, every key
// goes out as the one byte it is, at once, and nothing is shown.
//
// The pacing sleeps in the keyboard loop itself, after each byte sent: keys typed meanwhile (a
// paste) wait in the console's input, so none is dropped or overtaken, and an exit key typed after
// them ends the program only once they have gone out.
//
//   send_typed_key()     sends the bytes a key stands for (Enter: enter_sends), echoes the key
//                        once all went out, and pauses char_delay_ms after each byte sent; 0
//                        sent, -1 a write failed, 1 dropped (the link is not up).
//   echo_key()           shows a key on the console as it was typed, Enter as a new line, through
//                        the view (view.h): stamped with --timestamp, its byte in hex with --hex.
//   print_exit_banner()  ">>按 <key> 退出", a status line (view_status()), when an exit key is set.
#pragma once

#include <cstdint>

enum enter_choice : std::uint8_t {
    ENTER_CR = 0,  // 0x0D, as the console gives it
    ENTER_LF = 1,
    ENTER_CRLF = 2,
};

extern bool echo_keys;
extern enter_choice enter_sends;
extern std::uint32_t char_delay_ms;
extern int exit_key;  // the key byte that ends the program, or -1 for none

int send_typed_key(unsigned char key);
void echo_key(unsigned char key);
void print_exit_banner();
