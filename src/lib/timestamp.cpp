#include "lib/timestamp.h"

#include <cstdio>

#include "platform/clock.h"

namespace trellon {

void Timestamp::setNow() {
    platform::WallClock now = platform::wallClock();
    seconds = static_cast<std::int32_t>(now.seconds);
    microseconds = now.microseconds;
    if (seconds < 0) std::printf("Negative seconds\n");
    if (microseconds < 0 || microseconds > 999999) std::printf("Bogus usec\n");
}

void Timestamp::set(std::int32_t s, std::int32_t us) {
    if (s < 0 || us < 0 || us > 1000000) {
        std::printf("bad Timestamp set(%d,%d)\n", s, us);
        std::fflush(stdout);
    }
    seconds = s;
    microseconds = us;
}

Timestamp Timestamp::now() {
    Timestamp t;
    t.setNow();
    return t;
}

std::int64_t Timestamp::microsecondsSince(const Timestamp& earlier) const {
    return (static_cast<std::int64_t>(seconds) - earlier.seconds) * 1000000 +
           (static_cast<std::int64_t>(microseconds) - earlier.microseconds);
}

void Timestamp::addMicroseconds(std::int64_t micros) {
    std::int64_t total = static_cast<std::int64_t>(seconds) * 1000000 + microseconds + micros;
    std::int64_t s = total / 1000000;
    std::int64_t us = total % 1000000;
    if (us < 0) {
        us += 1000000;
        s -= 1;
    }
    seconds = static_cast<std::int32_t>(s);
    microseconds = static_cast<std::int32_t>(us);
}

std::uint32_t performanceCounterScale() {
    // The counter runs in nanoseconds: (10^9 + 500) / 1000 ticks per millisecond.
    static const std::uint32_t scale =
        static_cast<std::uint32_t>((1000000000ULL + 500ULL) / 1000ULL);
    return scale;
}

namespace {
class SystemWaitClock : public WaitClock {
public:
    std::uint64_t ticks() override { return platform::monotonicTicks(); }
    void sleepOneMillisecond() override { platform::sleepMilliseconds(1); }
    void yield() override { platform::yieldProcessor(); }
};
}  // namespace

void preciseWait(int milliseconds) {
    SystemWaitClock clock;
    preciseWait(milliseconds, clock);
}

void preciseWait(int milliseconds, WaitClock& clock) {
    const std::uint64_t start = clock.ticks();
    const std::int64_t scale = performanceCounterScale();
    const std::int64_t target = scale * static_cast<std::int64_t>(milliseconds);
    const std::int64_t near = target - 2 * scale;
    for (;;) {
        std::int64_t elapsed = static_cast<std::int64_t>(clock.ticks() - start);
        if (elapsed > target) return;
        if (elapsed > near) clock.yield();
        else clock.sleepOneMillisecond();
    }
}

}  // namespace trellon
