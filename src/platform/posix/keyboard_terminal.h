// The keyboard's terminal: raw key input for _getch, and the terminal's own settings given back
// on every way out the process can catch.
//
// _getch on Windows hands the program every key as it is pressed, Enter as 0x0D and Ctrl+C as
// 0x03. A tty gives the same once echo, line editing, signal keys, flow-control keys and the
// CR-to-LF mapping are off; output processing is left alone, so LF still reaches the screen as
// CR LF. The settings found before the first change are restored at exit() and when SIGTERM,
// SIGHUP, SIGINT or SIGQUIT arrives (the handler restores, then lets the signal end the process
// as it would have). Signals the process was started with ignored stay ignored.
//
//   keyboard_raw_begin()    switches standard input to raw keys; 0, or -1 when it is no terminal.
//   keyboard_raw_end()      gives back the settings found before keyboard_raw_begin().
#pragma once

int keyboard_raw_begin();
void keyboard_raw_end();
