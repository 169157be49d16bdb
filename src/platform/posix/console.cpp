// The console operations of the Linux build: standard streams, keys, title and pause.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "console_streams.h"
#include "keyboard_terminal.h"
#include "platform.h"
#include "process_signals.h"

namespace {

// Keys from a file or pipe come through the stdin stream, so bytes that scanf has already
// buffered (the rest of a menu answer) are not skipped. 0..255, or EOF at the end of input.
int read_stdin_byte() {
    for (;;) {
        int byte = std::fgetc(stdin);
        if (byte != EOF || !std::ferror(stdin) || errno != EINTR) {
            return byte;
        }
        std::clearerr(stdin);
    }
}

// One key from the terminal in raw mode, straight from the descriptor as the Windows console
// hands keys to _getch past the C runtime's buffer. 0..255, or EOF when no key can come.
// In the background of its terminal with SIGTTIN ignored (as some shells start their jobs), a
// read fails with EIO instead of stopping the process: the keys come again once it is brought back.
int read_terminal_byte() {
    for (;;) {
        unsigned char key = 0;
        ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got == 1) {
            return key;
        }
        if (got == 0 || (errno != EINTR && keyboard_wait_for_foreground() != 0)) {
            return EOF;
        }
    }
}

// A hung-up terminal refuses every request with EIO (a pipe or a file says ENOTTY).
bool terminal_gone() {
    termios settings{};
    return tcgetattr(STDIN_FILENO, &settings) != 0 && errno == EIO;
}

// At the end of input there are no more keys, and the program goes on until it is killed
// (`comterm ... </dev/null | tee log` is a logger): wait without using the processor. When the
// terminal has gone, though, no one is left to kill it (closing a window need not send SIGHUP to a
// process outside the foreground): it ends as a Windows program ends when its console is closed,
// by the same path as SIGHUP. Only a process that was started with SIGHUP ignored stays.
[[noreturn]] void no_more_keys() {
    if (terminal_gone()) {
        raise(SIGHUP);
    }
    for (;;) {
        pause();
    }
}

// A standard descriptor closed at start is the lowest free number, which the next open (a port)
// would take: every message and received byte would go to the device, or keys come from it.
void open_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            open("/dev/null", O_RDWR);  // takes fd: the lower ones are open
        }
    }
}

}  // namespace

void console_init() {
    // One heap for both threads: the C library would give the link thread a heap of its own at its
    // first allocation or free, memory held for the few small blocks that thread ever asks for.
    mallopt(M_ARENA_MAX, 1);
    open_standard_descriptors();
    process_signals_install();
    console_streams_init();
}

int _getch() {
    console_flush();  // what was shown before the key goes out is seen first
    int key = (isatty(STDIN_FILENO) && keyboard_raw_begin() == 0) ? read_terminal_byte()
                                                                  : read_stdin_byte();
    if (key == EOF) {
        no_more_keys();
    }
    return key;
}

BOOL SetConsoleTitleA(LPCSTR title) {
    if (title == nullptr) {
        return 0;
    }
    if (!isatty(STDOUT_FILENO)) {
        return 1;
    }
    // xterm's OSC 0 sets icon name and window title. Control bytes inside would end or corrupt the
    // sequence and are left out. Through stdout, so the title is converted like all other text and
    // a line the link thread prints cannot land inside the sequence.
    flockfile(stdout);
    std::fputs("\033]0;", stdout);
    for (const char* c = title; *c != '\0'; ++c) {
        auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte != 0x7F) {
            putc_unlocked(byte, stdout);
        }
    }
    std::fputs("\007", stdout);
    funlockfile(stdout);
    return 1;
}

void console_pause() {
    std::puts("请按任意键继续. . .");
    console_flush();
    if (isatty(STDIN_FILENO) && keyboard_raw_begin() == 0) {
        read_terminal_byte();
        keyboard_raw_end();
    } else {
        read_stdin_byte();
    }
}
