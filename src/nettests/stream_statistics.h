// StreamStatistics: the jitter buffer and the counters of one stream client.
//
// Only the StreamClient thread touches it. Each packet that arrives is put in
// its slot of the buffer; a slot leaves the buffer (is "retired", as a player
// would play it) once the buffer is full and a newer packet needs the room,
// and the rest leave, oldest first, when the stream ends. So the loss, gap
// and jitter figures lag the arrivals by the buffer's length, and a packet
// that is merely late, but still arrives while its slot is in the buffer,
// counts as out of order rather than lost.
//
// The buffer holds a window of consecutive sequence numbers [head, end): one
// slot per number, a placeholder for each number not (yet) received. A slot
// is found by its number (number modulo the capacity), so finding, filling
// and retiring are O(1) whatever the capacity. Sequence numbers are the low
// 16 bits of the packet's word, widened against the highest number seen so
// far (the nearest value), so the wrap after 65535 packets is seamless; a
// number behind the window came too late and is ignored; a jump ahead of the
// window retires what it passes, and the numbers it skips beyond the buffer's
// length are counted lost at once, so no datagram can make the buffer grow
// or cost more than one pass over it. Nothing here allocates after
// construction.
//
// Figures, as the receiver's record shows them (StreamReportFigures):
// - packetCount: datagrams of the stream received, duplicates and late
//   ones included;
// - outOfOrder: one for every jump over missing numbers, one for every packet
//   that fills a placeholder;
// - duplicate: a number received again while its slot is in the buffer;
// - late: a number received after its slot had left the buffer;
// - dropped: placeholders that left the buffer unfilled (the packets lost);
// - gaps: runs of lost packets between two received ones, by length (a run
//   longer than the buffer counts as one of the buffer's length: the player
//   ran dry either way);
// - jitter: for each two consecutive received packets a and b, D = (a's
//   transit) - (b's transit), as RFC 3550 (6.4.1) defines the difference of
//   relative transit times; a packet's transit runs from the end of its send
//   call (its stamp plus the send duration its successor carries) to its
//   arrival, so the sender's clock offset cancels. Averages are of |D| in
//   whole milliseconds, with the moving average over the last 16 samples;
// - oneWayDelayUs: the mean transit of the packets that left the buffer,
//   once the round trip to the sender is known (setRoundTrip). The two clocks
//   agree when the smallest transit lies between 0 and that round trip (no
//   packet can be faster than no time or slower one way than the round trip
//   it is part of): the mean transit is then the delay as measured, an
//   asymmetric path included. Otherwise the offset between the clocks is
//   unknown, and the delay is estimated as half the round trip plus how much
//   the mean transit lies above the smallest (the queueing the stream met).
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <vector>

#include "lib/timestamp.h"
#include "results/test_result.h"

namespace trellon {

class StreamStatistics {
public:
    // The buffer never holds more slots than this (a 10-second buffer of the
    // fastest stream the run command allows is 125,000 packets).
    static constexpr int kMaxCapacity = 131072;
    // A send duration beyond this (or "negative") is not a send duration.
    static constexpr std::uint32_t kMaxSenderDelayUsec = 1000000;
    // |D| beyond an hour is a clock step, not jitter; it counts as an hour so
    // the sums cannot overflow.
    static constexpr std::int64_t kMaxJitterUsec = 3600LL * 1000000;
    static constexpr int kMovingWindow = 16;
    // How far the smallest transit may exceed the round trip with the clocks
    // still taken to agree: the handshake and the stamps are each taken a
    // little off the wire.
    static constexpr std::int64_t kClockSlackUsec = 1000;

    // (flowRate / packetSize) * bufferMilliseconds / 1000 in integer
    // arithmetic, at least 1 (a slow stream or a short buffer still plays
    // packet by packet) and at most kMaxCapacity; 1 for a rate or size below 1.
    static int capacityFor(int flowRate, int packetSize, int bufferMilliseconds);

    explicit StreamStatistics(int capacity);

    // One datagram of the stream: its sequence word, the previous packet's
    // send duration, its send time as the words carry it, and our arrival time.
    void addPacket(std::uint32_t sequence, std::uint32_t senderDelayPreviousUsec,
                   std::uint32_t sendSeconds, std::uint32_t sendMicroseconds,
                   const Timestamp& arrival);
    // Retires every slot still in the buffer, oldest first (end of the stream).
    void flush();
    // The round trip to the sender in microseconds (a TCP handshake's
    // time), for the one-way delay; a negative value: not known.
    void setRoundTrip(std::int64_t usec);

    // The figures so far, for the record's streaming steps.
    const StreamReportFigures& figures() const { return figures_; }
    // A report row was made: the interval counters start again.
    void resetIntervalCounters();

    int capacity() const { return capacity_; }
    bool playing() const { return playing_; }
    // Slots in the buffer now, and how many of them are placeholders.
    int slotCount() const { return static_cast<int>(end_ - head_); }
    int placeholderCount() const;
    std::int64_t slotsWritten() const { return slotsWritten_; }
    int minimumJitter() const { return minJitter_; }
    // Sender delays that were out of range and not applied.
    int rejectedSenderDelays() const { return rejectedSenderDelays_; }

private:
    // The transit of a packet whose send time no clock could write.
    static constexpr std::int64_t kNoTransit = INT64_MIN;

    struct Slot {
        std::int64_t sequence = -1;  // the number it holds; another value: a placeholder
        std::int64_t transitUsec = 0;
        std::uint32_t senderDelayPreviousUsec = 0;
    };

    Slot& slotFor(std::int64_t sequence) {
        return slots_[static_cast<std::size_t>(sequence % capacity_)];
    }
    bool holds(std::int64_t sequence) {
        return sequence >= head_ && sequence < end_ && slotFor(sequence).sequence == sequence;
    }
    std::int64_t widen(std::uint32_t sequence) const;
    void fill(std::int64_t sequence, std::uint32_t senderDelay, std::int64_t transit);
    void advanceTo(std::int64_t newEnd);
    void retire(std::int64_t sequence);
    void lost(std::int64_t count);
    void gapStep(std::int64_t length);
    void jitterStep(const Slot& a, const Slot& b);
    void transitStep(std::int64_t transitUsec);
    void updateOneWayDelay();

    const int capacity_;
    std::vector<Slot> slots_;
    std::int64_t head_ = 0;  // oldest number in the buffer
    std::int64_t end_ = 0;   // one past the newest
    std::int64_t highest_ = -1;
    bool started_ = false;
    bool playing_ = false;  // slots have begun to leave
    std::int64_t slotsWritten_ = 0;

    // The last packet that left the buffer, for the jitter of the next.
    bool havePrevious_ = false;
    Slot previous_;
    std::int64_t pendingGap_ = 0;  // lost packets since it left

    std::int64_t jitterSumUsec_ = 0;
    std::int64_t intervalJitterSumUsec_ = 0;
    int minJitter_ = 0;
    bool haveMinJitter_ = false;
    std::array<int, kMovingWindow> window_{};
    int windowCount_ = 0;
    int windowNext_ = 0;
    long windowSum_ = 0;
    int rejectedSenderDelays_ = 0;

    std::int64_t roundTripUsec_ = -1;
    std::int64_t transitCount_ = 0;
    std::int64_t transitSumUsec_ = 0;  // clamped transits: cannot overflow in 2^40 packets
    std::int64_t minTransitUsec_ = 0;

    StreamReportFigures figures_;
};

}  // namespace trellon
