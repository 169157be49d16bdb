// Preloaded into comterm by a scenario, for what a pseudo-terminal alone cannot show; it acts only
// when its environment variable is set:
//   COMTERM_TEST_READ_FAILS=N    the first N reads of a terminal other than standard input fail
//                                with EIO (a pty read cannot fail while the device is there).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

static int failed_reads;  // __atomic: two threads read

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
