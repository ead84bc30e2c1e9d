// Clocks: the monotonic counter for intervals and pacing (ticks are
// nanoseconds), the wall clock for timestamps (seconds and microseconds since
// 1970).
#pragma once

#include <cstdint>

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

void sleepMilliseconds(int milliseconds);
void yieldProcessor();

}  // namespace trellon::platform
