// Thread start and Sleep of the Linux build.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <atomic>
#include <csignal>

#include "platform.h"
#include "posix_test_support.h"

namespace {

std::atomic<void*> seen_argument{nullptr};
std::atomic<bool> routine_ran{false};

unsigned record_argument(void* argument) {
    seen_argument = argument;
    routine_ran = true;
    return 0;
}

TEST(ThreadStart, RunsTheRoutineWithItsArgumentInANewThread) {
    int marker = 0;
    unsigned thread_id = 0;
    std::uintptr_t thread = _beginthreadex(nullptr, 0, record_argument, &marker, 0, &thread_id);
    EXPECT_NE(thread, 0u);
    EXPECT_NE(thread_id, 0u);
    EXPECT_TRUE(eventually([] { return routine_ran.load(); }));
    EXPECT_EQ(seen_argument.load(), &marker);

    // As the program calls it: null argument, nothing else.
    routine_ran = false;
    seen_argument = &marker;
    EXPECT_NE(_beginthreadex(nullptr, 0, record_argument, nullptr, 0, nullptr), 0u);
    EXPECT_TRUE(eventually([] { return routine_ran.load(); }));
    EXPECT_EQ(seen_argument.load(), nullptr);
}

void ignore_alarm(int) {}

TEST(Sleep, LastsItsTimeThoughASignalInterruptsIt) {
    struct sigaction handler {};
    handler.sa_handler = ignore_alarm;  // no SA_RESTART: nanosleep returns EINTR
    sigemptyset(&handler.sa_mask);
    sigaction(SIGALRM, &handler, nullptr);
    itimerval alarm_soon{{0, 0}, {0, 20000}};
    setitimer(ITIMER_REAL, &alarm_soon, nullptr);
    const std::int64_t start = monotonic_ms();
    Sleep(200);
    EXPECT_GE(monotonic_ms() - start, 200);
    signal(SIGALRM, SIG_DFL);
}

}  // namespace
