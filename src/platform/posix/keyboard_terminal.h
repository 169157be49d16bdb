// The keyboard's terminal: raw key input for _getch, and the terminal's own settings given back
// whenever the process ends or stops.
//
// _getch on Windows hands the program every key as it is pressed, Enter as 0x0D and Ctrl+C as
// 0x03. A tty gives the same once echo, line editing, signal keys, flow-control keys and the
// CR-to-LF mapping are off; output processing is left alone, so LF still reaches the screen as
// CR LF. The settings found before the first change are the ones given back.
//
// Nothing is written to the terminal while the process is in the background of it (its own
// terminal, whose foreground is another process group): that terminal belongs to the foreground
// job, and a write would stop the process with SIGTTOU.
//
//   keyboard_raw_begin()   switches standard input to raw keys; 0, or -1 when it is no terminal.
//   keyboard_raw_end()     gives back the settings found before keyboard_raw_begin().
//   keyboard_give_back()   the same while the keys stay wanted raw: for the ending and stopping
//                          paths. Async-signal-safe.
//   keyboard_take_again()  raw keys again after a stop, if they were wanted raw. Async-signal-safe.
//   keyboard_wait_for_foreground()  after a failed key read: when the terminal's foreground is
//                          another process group, waits until it is ours again (raw keys again
//                          if wanted) and gives 0, to read again; -1 when not in the background.
//
// A signal can come at any moment, on either thread: the terminal is marked raw before it is made
// so, and marked so until its settings are back, and a handler waits for a change under way on
// the other thread.
#pragma once

int keyboard_raw_begin();
void keyboard_raw_end();
void keyboard_give_back();
void keyboard_take_again();
int keyboard_wait_for_foreground();
