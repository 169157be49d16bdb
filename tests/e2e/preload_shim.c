// Preloaded into comterm by a scenario, for what a pseudo-terminal alone cannot show. Each part
// acts only when its environment variable is set:
//   COMTERM_TEST_READ_FAILS=N    the first N reads of a terminal other than standard input fail
//                                with EIO (a pty read cannot fail while the device is there);
//   COMTERM_TEST_MODEM_LOG=FILE  each TIOCMBIS or TIOCMBIC ioctl (a modem line raised or lowered)
//                                appends "bis LINES" or "bic LINES" (hex) to FILE, then goes to
//                                the kernel (a pty has no modem lines to look at);
//   COMTERM_TEST_SIGNAL_AT="CALL HOW"  a SIGTERM at the CALLth tcsetattr on standard input
//                                (from 1), where a pty cannot time one. HOW is "before" (the
//                                signal handled before the real call) or "after" (held back over
//                                the real call, handled as it returns).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static int failed_reads, calls;  // __atomic: two threads
static int (*real_ioctl)(int, unsigned long, void*);

// Looked up before main: the program's signal handlers call ioctl, where dlsym must not run.
__attribute__((constructor)) static void find_real_ioctl(void) {
    real_ioctl = (int (*)(int, unsigned long, void*))dlsym(RTLD_NEXT, "ioctl");
}

ssize_t read(int fd, void* buffer, size_t size) {
    const char* fails = getenv("COMTERM_TEST_READ_FAILS");
    if (fd != 0 && fails != NULL && isatty(fd) &&
        __atomic_add_fetch(&failed_reads, 1, __ATOMIC_SEQ_CST) <= atoi(fails)) {
        errno = EIO;
        return -1;
    }
    // Looked up on every call: the program reads at most every few milliseconds.
    return ((ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read"))(fd, buffer, size);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const char* log = getenv("COMTERM_TEST_MODEM_LOG");
    if (log != NULL && (request == TIOCMBIS || request == TIOCMBIC)) {
        FILE* file = fopen(log, "a");
        if (file == NULL || fprintf(file, "%s %x\n", request == TIOCMBIS ? "bis" : "bic",
                                    (unsigned)*(const int*)argument) < 0) {
            perror("preload_shim");  // the scenario then misses a call and says so
        }
        if (file != NULL) {
            fclose(file);
        }
    }
    return real_ioctl(fd, request, argument);
}

int tcsetattr(int fd, int when, const struct termios* settings) {
    int (*real)(int, int, const struct termios*) = dlsym(RTLD_NEXT, "tcsetattr");
    const char* at = getenv("COMTERM_TEST_SIGNAL_AT");
    int call = 0;
    char how[8] = "";
    if (fd != 0 || at == NULL || sscanf(at, "%d %7s", &call, how) != 2) {
        return real(fd, when, settings);
    }
    if (__atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST) != call) {
        return real(fd, when, settings);
    }
    if (strcmp(how, "before") == 0) {
        raise(SIGTERM);
        return real(fd, when, settings);
    }
    sigset_t term, before;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &before);
    raise(SIGTERM);
    int result = real(fd, when, settings);
    pthread_sigmask(SIG_SETMASK, &before, NULL);
    return result;
}
