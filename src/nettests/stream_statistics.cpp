#include "nettests/stream_statistics.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "nettests/probe_packet.h"

namespace trellon {

namespace {

// A hostile sender can jump ahead 32767 numbers with every packet; the
// counts stop at the largest int instead of wrapping.
void addSaturating(int& counter, std::int64_t amount) {
    counter = static_cast<int>(std::min<std::int64_t>(counter + amount, INT_MAX));
}

}  // namespace

int StreamStatistics::capacityFor(int flowRate, int packetSize, int bufferMilliseconds) {
    if (flowRate < 1 || packetSize < 1 || bufferMilliseconds < 1) return 1;
    std::int64_t slots =
        static_cast<std::int64_t>(flowRate / packetSize) * bufferMilliseconds / 1000;
    return static_cast<int>(std::clamp<std::int64_t>(slots, 1, kMaxCapacity));
}

StreamStatistics::StreamStatistics(int capacity)
    : capacity_(std::clamp(capacity, 1, kMaxCapacity)),
      slots_(static_cast<std::size_t>(capacity_)) {
    figures_.bufferSize = capacity_;
    figures_.gapCounts.assign(static_cast<std::size_t>(capacity_), 0);
    figures_.intervalGapCounts.assign(static_cast<std::size_t>(capacity_), 0);
}

int StreamStatistics::placeholderCount() const {
    int count = 0;
    for (std::int64_t s = head_; s < end_; ++s) {
        if (slots_[static_cast<std::size_t>(s % capacity_)].sequence != s) ++count;
    }
    return count;
}

std::int64_t StreamStatistics::widen(std::uint32_t sequence) const {
    auto low = static_cast<std::uint16_t>(sequence);
    if (!started_) return low;
    // The nearest number with these low 16 bits: up to 32767 ahead of the
    // highest seen, or 32768 behind it.
    auto delta = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(low - static_cast<std::uint16_t>(highest_)));
    return highest_ + delta;
}

void StreamStatistics::addPacket(std::uint32_t sequence, std::uint32_t senderDelayPreviousUsec,
                                 std::uint32_t sendSeconds, std::uint32_t sendMicroseconds,
                                 const Timestamp& arrival) {
    ++figures_.packetCount;
    ++figures_.intervalPackets;

    if (senderDelayPreviousUsec > kMaxSenderDelayUsec) {
        // Only the first is reported: a sender that writes nonsense in every
        // packet must not fill the console.
        if (rejectedSenderDelays_++ == 0) {
            std::printf("newEvent->senderDelayPreviousUsec %d\n",
                        static_cast<int>(senderDelayPreviousUsec));
            std::fflush(stdout);
        }
        senderDelayPreviousUsec = 0;
    }
    std::optional<std::int64_t> transit = ProbePacket::microsecondsBetween(
        ProbePacket::Time{sendSeconds, sendMicroseconds}, ProbePacket::probeTime(arrival));

    std::int64_t s = widen(sequence);
    if (!started_) {
        started_ = true;
    } else if (s < head_) {
        // Its slot has left the buffer (counted lost then): too late to play.
        ++figures_.late;
        return;
    }
    if (s < end_) {
        if (slotFor(s).sequence == s) {
            ++figures_.duplicate;
            ++figures_.intervalDuplicate;
            return;
        }
        // It fills the placeholder of a packet that came out of order.
        ++figures_.outOfOrder;
        ++figures_.intervalOutOfOrder;
        fill(s, senderDelayPreviousUsec, transit.value_or(kNoTransit));
        return;
    }
    if (s > end_) {
        // A jump over missing numbers: their placeholders follow, once.
        ++figures_.outOfOrder;
        ++figures_.intervalOutOfOrder;
    }
    advanceTo(s + 1);
    highest_ = s;
    fill(s, senderDelayPreviousUsec, transit.value_or(kNoTransit));
}

void StreamStatistics::fill(std::int64_t sequence, std::uint32_t senderDelay,
                            std::int64_t transit) {
    Slot& slot = slotFor(sequence);
    slot.sequence = sequence;
    slot.transitUsec = transit;
    slot.senderDelayPreviousUsec = senderDelay;
}

void StreamStatistics::advanceTo(std::int64_t newEnd) {
    slotsWritten_ += newEnd - end_;
    std::int64_t newHead = newEnd - capacity_;
    if (newHead > head_) {
        playing_ = true;
        std::int64_t inBuffer = std::min(newHead, end_);
        for (std::int64_t s = head_; s < inBuffer; ++s) retire(s);
        // Numbers skipped so far ahead that their placeholders would leave the
        // buffer before the packet that skipped them is even put in.
        if (newHead > end_) lost(newHead - end_);
        head_ = newHead;
    }
    end_ = newEnd;
}

void StreamStatistics::flush() {
    for (std::int64_t s = head_; s < end_; ++s) retire(s);
    head_ = end_;
    // Placeholders only stand for numbers below one that arrived, so no gap
    // can be left open here.
    pendingGap_ = 0;
}

void StreamStatistics::retire(std::int64_t sequence) {
    Slot& slot = slotFor(sequence);
    if (slot.sequence != sequence) {
        lost(1);
        return;
    }
    // Its successor carries how long its send call took: its transit starts
    // when that call returned.
    if (slot.transitUsec != kNoTransit && holds(sequence + 1)) {
        slot.transitUsec -= slotFor(sequence + 1).senderDelayPreviousUsec;
    }
    if (pendingGap_ > 0) {
        gapStep(pendingGap_);
        pendingGap_ = 0;
    }
    if (slot.transitUsec != kNoTransit) transitStep(slot.transitUsec);
    if (havePrevious_ && previous_.sequence == sequence - 1 &&
        previous_.transitUsec != kNoTransit && slot.transitUsec != kNoTransit) {
        jitterStep(previous_, slot);
    }
    previous_ = slot;
    havePrevious_ = true;
}

void StreamStatistics::lost(std::int64_t count) {
    addSaturating(figures_.dropped, count);
    addSaturating(figures_.intervalLost, count);
    // A run of losses is a gap only between two packets that arrived.
    if (havePrevious_) pendingGap_ += count;
}

void StreamStatistics::gapStep(std::int64_t length) {
    auto g = static_cast<std::size_t>(std::min<std::int64_t>(length, capacity_));
    ++figures_.gapCounts[g - 1];
    ++figures_.intervalGapCounts[g - 1];
}

void StreamStatistics::jitterStep(const Slot& a, const Slot& b) {
    std::int64_t d =
        std::min<std::int64_t>(std::llabs(a.transitUsec - b.transitUsec), kMaxJitterUsec);
    ++figures_.jitterSampleCount;
    jitterSumUsec_ += d;
    figures_.jitter =
        static_cast<int>(((jitterSumUsec_ + 500) / 1000) / figures_.jitterSampleCount);
    intervalJitterSumUsec_ += d;
    figures_.intervalJitter =
        figures_.intervalPackets > 0
            ? static_cast<int>(((intervalJitterSumUsec_ + 500) / 1000) / figures_.intervalPackets)
            : 0;

    auto j = static_cast<int>((d + 500) / 1000);
    if (j > figures_.maxJitter) figures_.maxJitter = j;
    // The interval's own extremes, not only new records of the whole stream.
    if (j > figures_.intervalMaxJitter) figures_.intervalMaxJitter = j;
    if (!haveMinJitter_ || j < minJitter_) minJitter_ = j;
    haveMinJitter_ = true;

    // The newest 16 samples; the oldest falls out.
    if (windowCount_ == kMovingWindow)
        windowSum_ -= window_[static_cast<std::size_t>(windowNext_)];
    else
        ++windowCount_;
    window_[static_cast<std::size_t>(windowNext_)] = j;
    windowSum_ += j;
    windowNext_ = (windowNext_ + 1) % kMovingWindow;
    figures_.jitterMovingAverage16 = static_cast<int>(windowSum_ / windowCount_);
}

void StreamStatistics::setRoundTrip(std::int64_t usec) {
    if (usec == roundTripUsec_) return;
    roundTripUsec_ = std::min(usec, kMaxJitterUsec);
    updateOneWayDelay();
}

void StreamStatistics::transitStep(std::int64_t transitUsec) {
    // Beyond an hour either way the stamp is nonsense, not a delay.
    std::int64_t t = std::clamp(transitUsec, -kMaxJitterUsec, kMaxJitterUsec);
    if (transitCount_ == 0 || t < minTransitUsec_) minTransitUsec_ = t;
    ++transitCount_;
    transitSumUsec_ += t;
    updateOneWayDelay();
}

void StreamStatistics::updateOneWayDelay() {
    if (roundTripUsec_ < 0 || transitCount_ == 0) {
        figures_.oneWayDelayUs = -1;
        return;
    }
    std::int64_t mean = transitSumUsec_ / transitCount_;
    if (minTransitUsec_ >= 0 && minTransitUsec_ <= roundTripUsec_ + kClockSlackUsec) {
        figures_.oneWayDelayUs = mean;
    } else {
        figures_.oneWayDelayUs = roundTripUsec_ / 2 + (mean - minTransitUsec_);
    }
}

void StreamStatistics::resetIntervalCounters() {
    figures_.intervalPackets = 0;
    figures_.intervalOutOfOrder = 0;
    figures_.intervalDuplicate = 0;
    figures_.intervalLost = 0;
    std::fill(figures_.intervalGapCounts.begin(), figures_.intervalGapCounts.end(), 0);
    figures_.intervalMaxJitter = 0;
    figures_.intervalJitter = 0;
    intervalJitterSumUsec_ = 0;
}

}  // namespace trellon
