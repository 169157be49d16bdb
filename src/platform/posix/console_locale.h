// The terminal's character set, and what a path typed in it says as console text.
//
// The program writes GBK, as a code-page-936 Windows console expects; the terminal shows the
// character set of the user's locale (LC_ALL, LC_CTYPE, LANG: the first set), read once: the
// codeset its name carries after '.' (up to '@'), as in "zh_CN.UTF-8"; for a name without one
// ("zh_CN") the C library is asked, with newlocale() and nl_langinfo_l(), which leave the process's
// own locale untouched (the program sets none). A terminal with no locale set at all (plain ASCII)
// is taken to be UTF-8, as the terminal emulators of today are.
//
// GBK-compatible character sets: GBK, GB18030, GB2312 / EUC-CN, CP936 (any case and punctuation).
//
//   locale_is_gbk_compatible()  whether the terminal shows GBK bytes as they are.
// The same file implements path_as_console_text() of platform.h, by the same reading.
#pragma once

bool locale_is_gbk_compatible();
