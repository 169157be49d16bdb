// Preloaded into comterm by a scenario: each TIOCMBIS or TIOCMBIC ioctl (a modem line raised or
// lowered) appends "bis LINES" or "bic LINES" (hex) to the file named by COMTERM_TEST_MODEM_LOG,
// then goes to the kernel as asked. A pty has no modem lines to look at.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int (*real_ioctl)(int, unsigned long, void*);

// Looked up before main: the program's signal handlers call ioctl, where dlsym must not run.
__attribute__((constructor)) static void find_real_ioctl(void) {
    real_ioctl = (int (*)(int, unsigned long, void*))dlsym(RTLD_NEXT, "ioctl");
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const char* log = getenv("COMTERM_TEST_MODEM_LOG");
    if (log != NULL && (request == TIOCMBIS || request == TIOCMBIC)) {
        char line[32];
        int length = snprintf(line, sizeof line, "%s %x\n", request == TIOCMBIS ? "bis" : "bic",
                              (unsigned)*(const int*)argument);
        int file = open(log, O_WRONLY | O_APPEND | O_CREAT, 0600);
        if (file < 0 || write(file, line, (size_t)length) != length) {
            perror("modem_lines_shim");  // the scenario then misses a call and says so
        }
        if (file >= 0) {
            close(file);
        }
    }
    return real_ioctl(fd, request, argument);
}
