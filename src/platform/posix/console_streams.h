// The standard streams of the Linux build: standard output held until the program waits, and GBK
// console text shown on a terminal that speaks UTF-8.
//
// Held output. A Windows console shows every write at once; a write(2) per received character
// would cost far more than the rest of the program, so standard output is collected in a buffer
// of the process and goes out with console_flush() whenever the program is about to wait or to
// touch the device: before each read(2) of the device (ReadFile), each Sleep, key read (_getch),
// serial write (WriteFile) and the pause, before standard input is read (the menus' scanf),
// before anything is written to standard error, and at exit() and on the signals that end the
// process (process_signals.h, with console_flush_from_signal()). Nothing received therefore waits
// unseen while the program is idle, and all text keeps its order. Both threads print: the held
// bytes are added and written out only under a lock of this module, taken inside each write to
// the stream and tried by console_flush().
//
// Conversion. The program writes GBK, as a code-page-936 Windows console expects. When standard
// output or standard error is a terminal whose character set is not GBK-compatible (UTF-8 in
// practice), its bytes go through textconv's gbk_to_utf8_complete(), so the terminal shows what
// the Windows console would show. A lead byte at the end of a write is carried over to the next
// one, so a double-byte character split across two writes shows whole. Pipes and files keep the
// raw GBK bytes.
//
// GBK-compatible character sets: GBK, GB18030, GB2312 / EUC-CN, CP936 (any case and punctuation).
// The terminal's character set is that of the user's locale (LC_ALL, LC_CTYPE, LANG: the first
// set): the codeset its name carries after '.' (up to '@'), as in "zh_CN.UTF-8"; for a name without
// one ("zh_CN") the C library is asked, with newlocale() and nl_langinfo_l(), which leave the
// process's own locale untouched (the program sets none). A terminal with no locale set at all
// (plain ASCII) is taken to be UTF-8, as the terminal emulators of today are. The same file
// implements path_as_console_text() of platform.h, by the same reading of the locale.
//
//   console_streams_init()       puts stdin, stdout and stderr of the above in place of stdio's
//                                own (glibc lets a program assign them); once, at start.
//   console_flush()              writes out what standard output holds; any thread, any time.
//                                While the other thread is adding to it or writing it out, it
//                                does nothing: that thread sends out what is held before it waits,
//                                and a thread that is about to read a key or write one never waits
//                                for a screen that the other is blocked on.
//   console_flush_from_signal()  the same for a signal handler that is about to let the process
//                                die: write(2) only, no locks, errno kept, async-signal-safe. Best
//                                effort: bytes that the interrupted code was adding or writing at
//                                that moment may go out twice or not at all, and a terminal that
//                                takes nothing more (non-blocking, full) gets nothing.
#pragma once

void console_streams_init();
void console_flush();
void console_flush_from_signal();
