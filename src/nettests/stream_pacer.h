// StreamPacer: when the stream sender's next packet is due, and the wait
// until then.
//
// Departures follow a fixed schedule on the monotonic counter: packet n is
// due at start + n * period. A send that takes long, or a wake-up that comes
// late, makes the sender late; the lateness is the carry, and it is made up
// by waiting that much less before the following packets, so the stream
// keeps its rate instead of drifting slower with every late packet (waiting
// a period from each send, rounded to whole milliseconds, would send voice's
// 20 ms packets every 19 or 21). The carry is capped at kMaxCarry: after a
// stall of the whole machine the schedule moves on rather than bursting out
// everything it owes.
//
// The wait sleeps on an absolute deadline until kSpinMargin before the
// packet is due, then yields until it is (the last stretch must not depend
// on the sleep's granularity), and wakes at least every kSlice to ask whether
// to stop, so a cancel ends even a stream of one packet a minute at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace trellon {

// The counter and the two ways of passing time; tests drive a simulated one.
class PacingClock {
public:
    virtual ~PacingClock() = default;
    virtual std::uint64_t ticks() = 0;  // nanoseconds
    virtual void sleepUntil(std::uint64_t ticks) = 0;
    virtual void yield() = 0;
};

// The monotonic counter of the platform layer.
PacingClock& systemPacingClock();

class StreamPacer {
public:
    static constexpr std::uint64_t kSpinMargin = 300000;  // ns
    static constexpr std::uint64_t kSlice = 50000000;     // ns
    static constexpr std::uint64_t kMaxCarry = 50000000;  // ns

    StreamPacer(std::uint64_t periodNanoseconds, PacingClock& clock);

    // The first packet is due now.
    void start();
    // The packet due has been sent; sentAt is the counter after its send.
    // The next one is due a period later, or sooner by the carry.
    void packetSent(std::uint64_t sentAt);
    // Waits until the next packet is due: true then, false as soon as stop()
    // says so (asked before each sleep, at least every kSlice).
    bool waitUntilDue(const std::function<bool()>& stop);

    std::uint64_t due() const { return due_; }
    std::uint64_t period() const { return period_; }
    // How far behind the schedule the last send left the sender (0 when on time).
    std::uint64_t carry() const { return carry_; }

private:
    const std::uint64_t period_;
    PacingClock& clock_;
    std::uint64_t due_ = 0;
    std::uint64_t carry_ = 0;
};

}  // namespace trellon
