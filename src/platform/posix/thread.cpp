// Threads and sleeping of the Linux build: _beginthreadex over pthreads, Sleep over nanosleep.
#include <limits.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform.h"

namespace {

// The routine and its argument travel to the new thread in this block, which the thread frees
// before it calls the routine.
struct thread_start {
    unsigned (*routine)(void*);
    void* argument;
};

std::atomic<unsigned> next_thread_id{1};

void* run_thread(void* block) {
    thread_start start = *static_cast<thread_start*>(block);
    delete static_cast<thread_start*>(block);
    start.routine(start.argument);
    return nullptr;
}

}  // namespace

std::uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned (*start)(void*),
                              void* argument, unsigned init_flags, unsigned* thread_id) {
    (void)security;
    (void)init_flags;  // only 0 (start at once) is used
    if (start == nullptr) {
        return 0;
    }
    auto* block = new (std::nothrow) thread_start{start, argument};
    if (block == nullptr) {
        return 0;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    // The caller never closes the handle nor waits for the thread: let it clean up after itself.
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_size != 0) {
        pthread_attr_setstacksize(&attributes,
                                  stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack_size);
    }
    pthread_t thread;
    int failed = pthread_create(&thread, &attributes, run_thread, block);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete block;
        return 0;
    }
    if (thread_id != nullptr) {
        *thread_id = next_thread_id.fetch_add(1);
    }
    return static_cast<std::uintptr_t>(thread);
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
