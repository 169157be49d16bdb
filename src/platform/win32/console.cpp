// The console services the Windows build adds to the real API.
#include <cstdio>
#include <cstdlib>

#include "platform.h"

void console_init() {
    // A console is unbuffered already, but msvcrt fully buffers a pipe or a file: without this,
    // output read through a pipe (the tests under Wine, `comterm | tee log`) would come in lumps.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void console_pause() {
    std::system("pause");
}

void console_flush() {
    std::fflush(stdout);
}
