// GBK console text shown on a terminal that speaks UTF-8.
//
// The program writes GBK, as a code-page-936 Windows console expects. When standard output or
// standard error is a terminal whose character set is not GBK-compatible (UTF-8 in practice),
// console_streams_convert() replaces that stream by an unbuffered one whose writes go through
// textconv's gbk_to_utf8_complete(), so the terminal shows what the Windows console would show.
// A lead byte at the end of a write is carried over to the next one, so a double-byte character
// split across two writes shows whole. Pipes and files keep the raw GBK bytes.
//
// GBK-compatible character sets: GBK, GB18030, GB2312 / EUC-CN, CP936 (any case and punctuation).
// The terminal's character set is that of the user's locale (LC_ALL, LC_CTYPE, LANG), asked of the
// C library with newlocale() and nl_langinfo_l(), which leave the process's own locale untouched
// (the program sets none); a locale the system does not have installed is read from the variable's
// ".codeset" suffix instead. A terminal with no locale set at all (plain ASCII) is taken to be
// UTF-8, as the terminal emulators of today are.
//
// The same file implements path_as_console_text() of platform.h, by the same reading of the locale.
#pragma once

void console_streams_convert();
