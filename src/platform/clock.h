// Clocks: the monotonic counter for intervals and pacing (ticks are
// nanoseconds), the wall clock for timestamps (seconds and microseconds since
// 1970).
#pragma once

#include <cstdint>
#include <ctime>

namespace trellon::platform {

constexpr std::uint64_t kTicksPerMillisecond = 1000000;  // CLOCK_MONOTONIC nanoseconds

std::uint64_t monotonicTicks();

struct WallClock {
    std::int64_t seconds;
    std::int32_t microseconds;
};
WallClock wallClock();

// Whole seconds since 1970.
std::int64_t nowSeconds();

// Calendar fields of seconds since 1970, in the local time zone or in UTC;
// false when the system cannot convert them.
bool localCalendarTime(std::int64_t seconds, std::tm& out);
bool utcCalendarTime(std::int64_t seconds, std::tm& out);

void sleepMilliseconds(int milliseconds);
void yieldProcessor();

}  // namespace trellon::platform
