// Standard output held until the program waits, and standard error written at once, both shown in
// the terminal's character set.
//
// A Windows console shows every write at once; a write(2) per received character would cost far
// more than the rest of the program, so standard output is collected in a buffer of the process
// and written out, in plain sight, where the program waits or stops reading the device:
//   - the link thread, after a read pass that finds less than a full read (link.cpp), so before
//     each idle wait and whenever the device has given all it has for now (console_flush());
//   - Sleep: the link's pause between open attempts (thread.cpp);
//   - the key read, before it blocks (_getch), and the pause (console_pause);
//   - every read of standard input (the menus' scanf; console_streams.cpp);
//   - a write to standard error, which shows what standard output holds first;
//   - a buffer that is full;
//   - exit() and the signals that end the process (process_signals.h), with
//     console_flush_from_signal(), after the port and the terminal are given back.
// Nothing received therefore waits unseen while the program is idle, and all text keeps its order.
// No device call writes the console. Both threads print: the held bytes are added and written out
// only under a lock of this module, taken by output_stream_add() and tried by console_flush().
//
// Conversion: on a terminal whose character set is not GBK-compatible (console_locale.h), the GBK
// text goes through textconv's gbk_to_utf8_complete(), so the terminal shows what the Windows
// console would show. A lead byte at the end of a write is carried over to the next one, so a
// double-byte character split across two writes shows whole. Pipes and files keep the raw bytes.
//
//   held_stdout, direct_stderr   the two output streams; `convert` set once, at start.
//   output_stream_add()          adds bytes to a stream (converted if it converts); a stream that
//                                does not hold writes them out at once, after what standard output
//                                holds. false when a write failed (the bytes are then dropped).
//   console_flush()              (platform.h) writes out what standard output holds; any thread,
//                                any time. While the other thread is adding to it or writing it
//                                out, it does nothing: that thread sends out what is held before it
//                                waits, and a thread that is about to read a key or write one never
//                                waits for a screen that the other is blocked on.
//   console_flush_from_signal()  the same for a signal handler that is about to let the process
//                                die: no locks, errno kept, async-signal-safe, and it never blocks:
//                                what the output cannot take at once is dropped. Best effort: bytes
//                                that the interrupted code was adding or writing at that moment may
//                                go out twice or not at all.
//   held_file_write_from_signal()  the same for the bytes held for a file (file_hold_at_ending(),
//                                platform.h), before standard output's, and never blocking either.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform.h"

// One output stream: where its bytes go, whether they are converted, the lead byte it carries
// between writes (0 for none: a lead byte is 0x80 or above) and the bytes it holds. Changed only
// under its own lock, except that a signal handler may read the held bytes at any moment: hence
// the atomic count, stored with release after the bytes it covers.
struct output_stream {
    int fd;
    bool convert;
    bool hold;  // keep the bytes until console_flush(); otherwise out at the end of each write
    unsigned char pending_lead;
    std::atomic<std::size_t> used;
    unsigned char* buffer;  // output_buffer_size bytes
    program_lock lock;
};

extern output_stream held_stdout;
extern output_stream direct_stderr;

bool output_stream_add(output_stream* stream, const unsigned char* data, std::size_t size);
void console_flush_from_signal();
void held_file_write_from_signal();
