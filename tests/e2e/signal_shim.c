// Preloaded into comterm by a scenario: a SIGTERM at a chosen tcsetattr on the keyboard terminal
// (standard input), where a pty alone cannot time one. COMTERM_TEST_SIGNAL_AT is "CALL HOW": CALL
// counts the calls on standard input from 1, HOW is
//   before  the signal handled before the real call;
//   after   the signal held back over the real call, handled as it returns;
//   other   the signal taken by another thread, the real call made only once that thread's own
//           tcsetattr was made (or after 250 ms), and that call returning only once this one is.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int calls, chosen_thread, other_called, chosen_done;  // shared by two threads: __atomic

static void wait_for(const int* flag, int milliseconds) {
    const struct timespec pause = {0, 1000000};
    for (int waited = 0; waited < milliseconds && !__atomic_load_n(flag, __ATOMIC_SEQ_CST);
         ++waited) {
        nanosleep(&pause, NULL);
    }
}

int tcsetattr(int fd, int when, const struct termios* settings) {
    int (*real)(int, int, const struct termios*) = dlsym(RTLD_NEXT, "tcsetattr");
    const char* at = getenv("COMTERM_TEST_SIGNAL_AT");
    int call = 0;
    char how[8] = "";
    if (fd != 0 || at == NULL || sscanf(at, "%d %7s", &call, how) != 2) {
        return real(fd, when, settings);
    }
    const int chosen = __atomic_load_n(&chosen_thread, __ATOMIC_SEQ_CST);
    if (chosen != 0 && gettid() != chosen) {  // the other thread's handler
        __atomic_store_n(&other_called, 1, __ATOMIC_SEQ_CST);
        int result = real(fd, when, settings);
        wait_for(&chosen_done, 5000);
        return result;
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
    if (strcmp(how, "other") == 0) {
        __atomic_store_n(&chosen_thread, gettid(), __ATOMIC_SEQ_CST);
        kill(getpid(), SIGTERM);  // blocked here: another thread takes it
        wait_for(&other_called, 250);
    } else {
        raise(SIGTERM);
    }
    int result = real(fd, when, settings);
    __atomic_store_n(&chosen_done, 1, __ATOMIC_SEQ_CST);
    pthread_sigmask(SIG_SETMASK, &before, NULL);
    return result;
}
