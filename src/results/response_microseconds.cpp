#include "results/response_microseconds.h"

#include <algorithm>

namespace trellon {

namespace {

// A round trip longer than a day is no trip of a running test: capping here
// keeps the sums far from overflow whatever the peer writes.
constexpr std::int64_t kLongestTrip = std::int64_t{86400} * 1000000;

}  // namespace

std::int64_t ResponseMicroseconds::add(std::int64_t roundTrip, std::int64_t held) {
    roundTrip = std::clamp<std::int64_t>(roundTrip, 0, kLongestTrip);
    held = std::clamp<std::int64_t>(held, 0, roundTrip);
    std::int64_t latency = (roundTrip - held) / 2;
    if (count_ == 0) {
        minLatency_ = maxLatency_ = latency;
    } else {
        minLatency_ = std::min(minLatency_, latency);
        maxLatency_ = std::max(maxLatency_, latency);
    }
    if (lastLatency_) {
        std::int64_t d = latency - *lastLatency_;
        differenceSum_ += d < 0 ? -d : d;
        ++differences_;
    }
    ++count_;
    latencySum_ += latency;
    heldSum_ += held;
    lastLatency_ = latency;
    lastHeld_ = held;
    return latency;
}

double ResponseMicroseconds::meanLatency() const {
    return count_ ? static_cast<double>(latencySum_) / count_ : 0.0;
}

double ResponseMicroseconds::meanHeld() const {
    return count_ ? static_cast<double>(heldSum_) / count_ : 0.0;
}

double ResponseMicroseconds::spread() const {
    return differences_ ? static_cast<double>(differenceSum_) / differences_ : 0.0;
}

}  // namespace trellon
