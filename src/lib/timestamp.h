// Timestamps (wall-clock seconds and microseconds since 1970) and the precise
// millisecond wait that paces test traffic.
#pragma once

#include <cstdint>

namespace trellon {

struct Timestamp {
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;

    // Reads the wall clock. A negative seconds field prints "Negative seconds"
    // and a microseconds field outside 0..999999 "Bogus usec"; the value stays.
    void setNow();

    // Prints the "bad Timestamp set(" line for a negative second or a
    // microsecond value outside 0..1000000, and stores the values anyway.
    void set(std::int32_t seconds, std::int32_t microseconds);

    static Timestamp now();

    bool isZero() const { return seconds == 0 && microseconds == 0; }

    // this - earlier, in microseconds (64-bit, so no overflow for any pair).
    std::int64_t microsecondsSince(const Timestamp& earlier) const;

    // Adds a (possibly negative) number of microseconds, keeping 0..999999.
    void addMicroseconds(std::int64_t micros);
};

// Performance-counter ticks per millisecond (monotonic nanoseconds here).
std::uint32_t performanceCounterScale();

// Waits the given milliseconds: sleeps in 1 ms steps until 2 ms before the
// deadline, then only yields, so the wait does not depend on the sleep
// granularity for its end. Tick arithmetic is 64-bit: at a nanosecond counter
// 32 bits would wrap after about 4 seconds.
void preciseWait(int milliseconds);

// The clock the wait runs on; tests feed it a simulated counter.
class WaitClock {
public:
    virtual ~WaitClock() = default;
    virtual std::uint64_t ticks() = 0;  // nanoseconds
    virtual void sleepOneMillisecond() = 0;
    virtual void yield() = 0;
};
void preciseWait(int milliseconds, WaitClock& clock);

}  // namespace trellon
