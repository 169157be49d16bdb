// GBK console text shown on a terminal that speaks UTF-8.
//
// The program writes GBK, as a code-page-936 Windows console expects. When standard output or
// standard error is a terminal whose character set is not GBK-compatible (UTF-8 in practice),
// console_streams_convert() replaces that stream by one whose writes go through
// gbk_stream_to_utf8(), with the project's own GBK tables, so the terminal shows what the Windows
// console would show. A double-byte character split across two writes is carried over to the
// next write. Pipes and files keep the raw GBK bytes.
//
// The terminal's character set is that of the user's locale (LC_ALL, LC_CTYPE, LANG), asked of the
// C library with newlocale() and nl_langinfo_l(), which leave the process's own locale untouched
// (the program sets none); a locale the system does not have installed is read from the variable's
// ".codeset" suffix instead. A terminal with no locale set at all (plain ASCII) is taken to be
// UTF-8, as the terminal emulators of today are.
//
//   codeset_is_gbk_compatible()  GBK, GB18030, GB2312 / EUC-CN, CP936 (any case and punctuation).
//   terminal_codeset()           the character set of the user's locale, "" when none is named.
//   gbk_stream_to_utf8()         converts one write's worth of GBK, carrying a split character.
//   console_streams_convert()    routes standard output and error through the conversion where
//                                they are terminals that need it.
#pragma once

#include <cstddef>

// State of one converted stream between writes: a lead byte still waiting for its trail byte.
struct gbk_stream {
    unsigned char pending_lead = 0;
};

// Output bound of gbk_stream_to_utf8 for `length` input bytes: a carried lead and every byte may
// each become a 3-byte character.
constexpr std::size_t gbk_stream_max_output(std::size_t length) {
    return 3 * length + 3;
}

bool codeset_is_gbk_compatible(const char* codeset);
void terminal_codeset(char* out, std::size_t out_size);

// Converts `length` GBK bytes to UTF-8 at utf8 (room for gbk_stream_max_output(length) bytes) and
// returns the number of bytes written. A lead byte at the end is kept in `stream` for the next
// call. A byte pair with no Unicode mapping, and a lead byte followed by a byte that cannot be a
// trail byte, show U+FFFD; the single byte 0x80 is the euro sign, as in code page 936.
std::size_t gbk_stream_to_utf8(gbk_stream* stream, const unsigned char* gbk, std::size_t length,
                               unsigned char* utf8);

void console_streams_convert();
