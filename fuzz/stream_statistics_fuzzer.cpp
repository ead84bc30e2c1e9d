// The stream statistics fed arbitrary sequence numbers, send times, send
// durations and arrivals: the input's first two bytes choose the buffer's
// length, then every 18 bytes are one packet (sequence, previous send
// duration, send seconds, send microseconds: four words; then the arrival's
// step in milliseconds). Whatever arrives, the buffer never holds more slots
// than its length, every counter stays at or above zero and within what
// arrived, the jitter figures stay within their bounds, and the end of the
// stream empties the buffer.
#include <algorithm>

#include "fuzz_check.h"
#include "nettests/stream_packet.h"
#include "nettests/stream_statistics.h"

using namespace trellon;

namespace {

std::uint32_t word(const std::uint8_t* p) {
    return StreamPacket::readWord(p, 0);
}

long long sum(const std::vector<int>& counts) {
    long long total = 0;
    for (int count : counts) {
        FUZZ_CHECK(count >= 0);
        total += count;
    }
    return total;
}

// The walks over the buffer and the gap table (placeholders, gap sums) cost
// the buffer's length: per packet only for short buffers, else at the end.
void checkFigures(const StreamStatistics& statistics, int packets, bool walk) {
    const StreamReportFigures& f = statistics.figures();
    FUZZ_CHECK(statistics.slotCount() >= 0 && statistics.slotCount() <= statistics.capacity());
    if (walk)
        FUZZ_CHECK(statistics.placeholderCount() >= 0 &&
                   statistics.placeholderCount() <= statistics.slotCount());
    FUZZ_CHECK(f.packetCount == packets);
    FUZZ_CHECK(f.duplicate >= 0 && f.late >= 0 && f.duplicate + f.late <= packets);
    FUZZ_CHECK(f.outOfOrder >= 0 && f.dropped >= 0);
    FUZZ_CHECK(f.jitterSampleCount >= 0 && f.jitterSampleCount < packets + 1);
    const long long hour = StreamStatistics::kMaxJitterUsec / 1000;
    FUZZ_CHECK(f.jitter >= 0 && f.jitter <= hour);
    FUZZ_CHECK(f.maxJitter >= 0 && f.maxJitter <= hour);
    FUZZ_CHECK(f.jitterMovingAverage16 >= 0 && f.jitterMovingAverage16 <= hour);
    FUZZ_CHECK(f.intervalJitter >= 0 && f.intervalMaxJitter >= 0);
    FUZZ_CHECK(f.bufferSize == statistics.capacity());
    FUZZ_CHECK(f.gapCounts.size() == static_cast<std::size_t>(statistics.capacity()));
    FUZZ_CHECK(f.intervalGapCounts.size() == f.gapCounts.size());
    // Every gap lies between two packets that came.
    if (walk) {
        FUZZ_CHECK(sum(f.gapCounts) <= packets);
        FUZZ_CHECK(sum(f.intervalGapCounts) <= sum(f.gapCounts));
    }
    FUZZ_CHECK(f.intervalPackets >= 0 && f.intervalPackets <= f.packetCount);
    FUZZ_CHECK(f.intervalLost >= 0 && f.intervalLost <= f.dropped);
    FUZZ_CHECK(f.intervalOutOfOrder >= 0 && f.intervalOutOfOrder <= f.outOfOrder);
    FUZZ_CHECK(f.intervalDuplicate >= 0 && f.intervalDuplicate <= f.duplicate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Mostly short buffers, where the window wraps often; now and then the longest.
    const int choice = data[0] << 8 | data[1];
    const int capacity = choice == 0xFFFF ? StreamStatistics::kMaxCapacity : 1 + choice % 300;
    StreamStatistics statistics(capacity);
    FUZZ_CHECK(statistics.capacity() == capacity);

    Timestamp arrival;
    arrival.seconds = 1700000000;
    arrival.microseconds = 0;
    int packets = 0;
    // A jump across the longest buffer costs a pass over it, as it should:
    // a few packets there, or the run spends its time in such passes.
    const std::size_t lastAt = capacity > 1024 ? std::min<std::size_t>(size, 2 + 8 * 18) : size;
    for (std::size_t at = 2; at + 18 <= lastAt; at += 18) {
        const std::uint8_t* p = data + at;
        const int stepMs = p[16] << 8 | p[17];
        const std::int64_t usec = arrival.microseconds + std::int64_t{stepMs} * 1000;
        arrival.seconds += static_cast<std::int32_t>(usec / 1000000);
        arrival.microseconds = static_cast<std::int32_t>(usec % 1000000);
        statistics.addPacket(word(p), word(p + 4), word(p + 8), word(p + 12), arrival);
        ++packets;
        checkFigures(statistics, packets, capacity <= 1024);
        // A report row now and then, as the client makes them.
        if (p[17] & 1) {
            statistics.resetIntervalCounters();
            const StreamReportFigures& f = statistics.figures();
            FUZZ_CHECK(f.intervalPackets == 0 && f.intervalLost == 0 && f.intervalDuplicate == 0);
        }
    }
    statistics.flush();
    checkFigures(statistics, packets, true);
    FUZZ_CHECK(statistics.slotCount() == 0);
    statistics.flush();
    FUZZ_CHECK(statistics.slotCount() == 0);
    return 0;
}
