#include "platform/clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace trellon::platform {

std::uint64_t monotonicTicks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

WallClock wallClock() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int32_t>(ts.tv_nsec / 1000)};
}

std::int64_t nowSeconds() {
    return static_cast<std::int64_t>(::time(nullptr));
}

bool localCalendarTime(std::int64_t seconds, std::tm& out) {
    const time_t t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, &out) != nullptr;
}

bool utcCalendarTime(std::int64_t seconds, std::tm& out) {
    const time_t t = static_cast<time_t>(seconds);
    return ::gmtime_r(&t, &out) != nullptr;
}

void sleepMilliseconds(int milliseconds) {
    if (milliseconds <= 0) {
        sched_yield();
        return;
    }
    timespec ts{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void yieldProcessor() {
    sched_yield();
}

}  // namespace trellon::platform
