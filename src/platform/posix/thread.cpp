// Threads and sleeping of the Linux build: _beginthreadex over pthreads, Sleep over nanosleep.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

#include "platform.h"

namespace {

// The routine and its argument travel to the new thread in this block, which the thread frees
// before it calls the routine.
struct thread_start {
    unsigned (*routine)(void*);
    void* argument;
};

void* run_thread(void* block) {
    thread_start start = *static_cast<thread_start*>(block);
    std::free(block);
    start.routine(start.argument);
    return nullptr;
}

}  // namespace

// The program starts one thread, with the default stack and at once, and reads no thread id.
std::uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned (*start)(void*),
                              void* argument, unsigned init_flags, unsigned* thread_id) {
    (void)security;
    (void)stack_size;
    (void)init_flags;
    (void)thread_id;
    auto* block = static_cast<thread_start*>(std::malloc(sizeof(thread_start)));
    if (block == nullptr) {
        return 0;
    }
    *block = thread_start{start, argument};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, run_thread, block) != 0) {
        std::free(block);
        return 0;
    }
    // The caller never closes the handle nor waits for the thread: let it clean up after itself.
    pthread_detach(thread);
    return static_cast<std::uintptr_t>(thread);
}

void Sleep(DWORD milliseconds) {
    console_flush();  // nothing shown waits while the program sleeps (held_output.h)
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
