#include "nettests/stream_pacer.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/precise_sleep.h"

namespace trellon {

namespace {

class SystemPacingClock : public PacingClock {
public:
    std::uint64_t ticks() override { return platform::monotonicTicks(); }
    void sleepUntil(std::uint64_t ticks) override { platform::sleepUntilTicks(ticks); }
    void yield() override { platform::yieldProcessor(); }
};

}  // namespace

PacingClock& systemPacingClock() {
    static SystemPacingClock clock;
    return clock;
}

StreamPacer::StreamPacer(std::uint64_t periodNanoseconds, PacingClock& clock)
    : period_(std::max<std::uint64_t>(periodNanoseconds, 1)), clock_(clock) {}

void StreamPacer::start() {
    due_ = clock_.ticks();
    carry_ = 0;
}

void StreamPacer::packetSent(std::uint64_t sentAt) {
    due_ += period_;
    carry_ = sentAt > due_ ? sentAt - due_ : 0;
    if (carry_ > kMaxCarry) {
        // A stall: the schedule starts again from here, owing kMaxCarry.
        due_ = sentAt - kMaxCarry;
        carry_ = kMaxCarry;
    }
}

bool StreamPacer::waitUntilDue(const std::function<bool()>& stop) {
    for (;;) {
        std::uint64_t now = clock_.ticks();
        if (now >= due_) return true;
        std::uint64_t left = due_ - now;
        if (left <= kSpinMargin) {
            // The last stretch: yield and look again, so the end does not
            // wait for the sleep's granularity.
            while (clock_.ticks() < due_) clock_.yield();
            return true;
        }
        if (stop && stop()) return false;
        clock_.sleepUntil(now + std::min(left - kSpinMargin, kSlice));
    }
}

}  // namespace trellon
