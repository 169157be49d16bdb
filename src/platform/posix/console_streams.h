// The standard streams of the Linux build: stdio's stdin, stdout and stderr replaced by streams of
// ours, so that every printf, puts, fputs and scanf goes through the held output (held_output.h).
//
// Standard output holds its bytes until the program waits; standard error writes at once, after
// what standard output holds; on a terminal that does not speak GBK both convert the program's GBK
// text to UTF-8 (console_locale.h). Standard input shows what standard output holds before it
// reads, since glibc flushes only line-buffered streams before a read.
//
//   console_streams_init()  puts the three streams in place of stdio's own (glibc lets a program
//                           assign them); once, at start. Should one not open, stdio's own stay,
//                           unbuffered.
#pragma once

void console_streams_init();
