// Preloaded into comterm by a scenario: while the file named by COMTERM_TEST_READ_FAILS exists,
// read() on a terminal other than standard input fails with EIO, and each failure appends a byte
// to that file, so the scenario can count them. A real pty read cannot fail while the device is
// there.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

ssize_t read(int fd, void* buffer, size_t size) {
    const char* flag = getenv("COMTERM_TEST_READ_FAILS");
    int counter = fd != 0 && flag != NULL && isatty(fd) ? open(flag, O_WRONLY | O_APPEND) : -1;
    if (counter >= 0) {  // counted, then failed
        if (write(counter, "x", 1) != 1) {
            abort();  // uncounted, the scenario would wait in vain
        }
        close(counter);
        errno = EIO;
        return -1;
    }
    // Looked up on every call: the program reads at most every few milliseconds.
    return ((ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read"))(fd, buffer, size);
}
