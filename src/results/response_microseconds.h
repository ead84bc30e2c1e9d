// ResponseMicroseconds: the response test's figures kept in microseconds,
// beside the whole-millisecond arithmetic the pages have always shown. On a
// LAN a trip takes well under a millisecond, and truncating each probe to
// whole milliseconds both hides it and biases the mean low.
//
// Fed one reply at a time by TestResult under the record's lock; holds no
// lock of its own. Every sum is 64-bit: the hold comes from the remote
// reflector, and a hostile one must not make a figure overflow.
#pragma once

#include <cstdint>
#include <optional>

namespace trellon {

class ResponseMicroseconds {
public:
    // One reply: its round trip and the reflector's hold, in microseconds, as
    // the prober worked them out. The round trip counts as at least 0, the
    // hold between 0 and the round trip. Returns the one-way travel time.
    std::int64_t add(std::int64_t roundTrip, std::int64_t held);

    int count() const { return count_; }
    // Averages over the replies so far (0 before the first).
    double meanLatency() const;
    double meanHeld() const;
    std::int64_t minLatency() const { return count_ ? minLatency_ : 0; }
    std::int64_t maxLatency() const { return count_ ? maxLatency_ : 0; }
    // The spread of the one-way estimates: the mean of |D|, D being the
    // difference of two consecutive replies' travel times. RFC 3550 (6.4.1)
    // smooths the same |D| with a gain of 1/16, which forgets all but the last
    // few dozen probes; the plain mean covers the whole test, so a figure
    // read at the end describes all of it. 0 with fewer than two replies.
    double spread() const;
    // Last reply's travel time and hold, for the progress row.
    std::int64_t lastLatency() const { return lastLatency_.value_or(0); }
    std::int64_t lastHeld() const { return lastHeld_; }

private:
    int count_ = 0;
    std::int64_t latencySum_ = 0;
    std::int64_t heldSum_ = 0;
    std::int64_t minLatency_ = 0;
    std::int64_t maxLatency_ = 0;
    std::int64_t differenceSum_ = 0;
    int differences_ = 0;
    std::optional<std::int64_t> lastLatency_;
    std::int64_t lastHeld_ = 0;
};

}  // namespace trellon
