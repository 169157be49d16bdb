// The clocks and file syncing of the Linux build: GetLocalTime, GetTickCount64 and file_sync.
#include <time.h>
#include <unistd.h>

#include "platform.h"

void GetLocalTime(SYSTEMTIME* time) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // localtime_r takes the C library's time-zone lock and reads the zone each call: once a second
    // per thread is enough, the rest is the milliseconds.
    thread_local time_t cached_second = -1;
    thread_local tm cached{};
    if (now.tv_sec != cached_second) {
        localtime_r(&now.tv_sec, &cached);
        cached_second = now.tv_sec;
    }
    time->wYear = static_cast<WORD>(cached.tm_year + 1900);
    time->wMonth = static_cast<WORD>(cached.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(cached.tm_wday);
    time->wDay = static_cast<WORD>(cached.tm_mday);
    time->wHour = static_cast<WORD>(cached.tm_hour);
    time->wMinute = static_cast<WORD>(cached.tm_min);
    time->wSecond = static_cast<WORD>(cached.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

std::uint64_t GetTickCount64() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec / 1000000);
}

int file_sync(std::FILE* file) {
    return fdatasync(fileno(file)) == 0 ? 0 : -1;
}
