#include "nettests/stream_statistics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <numeric>
#include <vector>

#include "nettests/stream_server.h"

namespace trellon {
namespace {

constexpr std::uint32_t kBase = 1700000000;  // send seconds of the first packet

// A stream of 20 ms packets whose transit is 5 ms plus an extra delay per
// packet, in microseconds.
struct Feeder {
    StreamStatistics& stats;
    std::int64_t periodUs = 20000;

    void packet(std::uint32_t sequence, std::int64_t extraDelayUs = 0,
                std::uint32_t senderDelay = 0, std::int64_t index = -1) {
        std::int64_t n = index >= 0 ? index : sequence;
        std::int64_t sendUs = n * periodUs;
        std::int64_t arrivalUs = sendUs + 5000 + extraDelayUs;
        Timestamp arrival;
        // Floored, so an arrival before kBase (a sender's clock ahead) stays a valid time.
        std::int64_t seconds =
            arrivalUs >= 0 ? arrivalUs / 1000000 : -((999999 - arrivalUs) / 1000000);
        arrival.seconds = static_cast<std::int32_t>(kBase + seconds);
        arrival.microseconds = static_cast<std::int32_t>(arrivalUs - seconds * 1000000);
        stats.addPacket(sequence, senderDelay, static_cast<std::uint32_t>(kBase + sendUs / 1000000),
                        static_cast<std::uint32_t>(sendUs % 1000000), arrival);
    }
};

int gaps(const std::vector<int>& counts) {
    return std::accumulate(counts.begin(), counts.end(), 0);
}

TEST(StreamStatisticsTest, LossReorderingAndDuplicatesAsThePlayerSeesThem) {
    {
        // 0, 1, 2, 4: one placeholder for 3, one jump; lost once it leaves.
        StreamStatistics stats(100);
        Feeder feed{stats};
        for (std::uint32_t s : {0u, 1u, 2u, 4u}) feed.packet(s);
        EXPECT_EQ(stats.placeholderCount(), 1);
        EXPECT_EQ(stats.figures().outOfOrder, 1);
        EXPECT_EQ(stats.figures().dropped, 0);
        stats.flush();
        EXPECT_EQ(stats.figures().dropped, 1);
        EXPECT_EQ(stats.figures().gapCounts[0], 1);
        EXPECT_EQ(gaps(stats.figures().gapCounts), 1);
        EXPECT_EQ(stats.figures().packetCount, 4);
    }
    {
        // 0, 2, 1: 1 fills its placeholder; nothing lost, no gap.
        StreamStatistics stats(100);
        Feeder feed{stats};
        for (std::uint32_t s : {0u, 2u, 1u}) feed.packet(s);
        stats.flush();
        EXPECT_EQ(stats.figures().outOfOrder, 2);
        EXPECT_EQ(stats.figures().dropped, 0);
        EXPECT_EQ(gaps(stats.figures().gapCounts), 0);
        EXPECT_EQ(stats.figures().jitterSampleCount, 2);
    }
    {
        // 5 twice: a duplicate, discarded; 0-4 never came.
        StreamStatistics stats(100);
        Feeder feed{stats};
        feed.packet(5);
        feed.packet(5);
        stats.flush();
        EXPECT_EQ(stats.figures().duplicate, 1);
        EXPECT_EQ(stats.figures().packetCount, 2);
        EXPECT_EQ(stats.figures().dropped, 5);
        // Losses before the first packet are no gap between two packets.
        EXPECT_EQ(gaps(stats.figures().gapCounts), 0);
    }
    {
        // A packet that comes after its slot has left: late, and not lost twice.
        StreamStatistics stats(3);
        Feeder feed{stats};
        for (std::uint32_t s : {0u, 1u, 3u, 4u, 5u}) feed.packet(s);
        EXPECT_TRUE(stats.playing());
        EXPECT_EQ(stats.figures().dropped, 1);  // 2 left unfilled
        feed.packet(2);
        EXPECT_EQ(stats.figures().late, 1);
        stats.flush();
        EXPECT_EQ(stats.figures().dropped, 1);
        EXPECT_EQ(stats.figures().gapCounts[0], 1);
        EXPECT_EQ(stats.slotCount(), 0);
    }
}

TEST(StreamStatisticsTest, CapacityAndPeriodOfTheVoiceLikeStream) {
    EXPECT_EQ(StreamStatistics::capacityFor(8000, 160, 5000), 250);
    EXPECT_EQ(StreamServer::periodNanoseconds(160, 8000), 20000000u);
    EXPECT_EQ(StreamServer::periodNanoseconds(172, 8600), 20000000u);
    // A stream slower than one packet a second, or a buffer shorter than a
    // period, still gets a slot; no input gives zero or unbounded slots.
    EXPECT_EQ(StreamStatistics::capacityFor(50, 100, 5000), 1);
    EXPECT_EQ(StreamStatistics::capacityFor(8600, 172, 10), 1);
    EXPECT_EQ(StreamStatistics::capacityFor(0, 172, 200), 1);
    EXPECT_EQ(StreamStatistics::capacityFor(8600, 0, 200), 1);
    EXPECT_EQ(StreamStatistics::capacityFor(2000000000, 28, 10000), StreamStatistics::kMaxCapacity);
    StreamStatistics one(StreamStatistics::capacityFor(1, 100, 1));
    Feeder feed{one};
    for (std::uint32_t s = 0; s < 10; ++s) feed.packet(s);
    one.flush();
    EXPECT_EQ(one.figures().packetCount, 10);
    EXPECT_EQ(one.figures().dropped, 0);
    EXPECT_EQ(one.figures().jitterSampleCount, 9);
}

TEST(StreamStatisticsTest, JitterRoundsToMillisecondsAndAveragesTheLast16) {
    for (auto [differenceUs, expectedMs] : {std::pair{1499, 1}, std::pair{1500, 2}}) {
        StreamStatistics stats(10);
        Feeder feed{stats};
        feed.packet(0);
        feed.packet(1, differenceUs);
        stats.flush();
        EXPECT_EQ(stats.figures().jitterSampleCount, 1);
        EXPECT_EQ(stats.figures().maxJitter, expectedMs) << differenceUs;
        EXPECT_EQ(stats.figures().jitter, expectedMs) << differenceUs;
    }

    // Delays alternate 0 and 4 ms for 17 packets, then 20 more on time: 16
    // samples of 4 ms, then 20 of 0, so the last 16 average 0.
    StreamStatistics stats(1000);
    Feeder feed{stats};
    for (std::uint32_t s = 0; s < 17; ++s) feed.packet(s, s % 2 == 1 ? 4000 : 0);
    stats.flush();
    EXPECT_EQ(stats.figures().jitterSampleCount, 16);
    EXPECT_EQ(stats.figures().jitterMovingAverage16, 4);
    EXPECT_EQ(stats.figures().jitter, 4);
    StreamStatistics more(1000);
    Feeder again{more};
    for (std::uint32_t s = 0; s < 37; ++s) again.packet(s, s < 17 && s % 2 == 1 ? 4000 : 0);
    more.flush();
    EXPECT_EQ(more.figures().jitterSampleCount, 36);
    EXPECT_EQ(more.figures().jitterMovingAverage16, 0);
    EXPECT_EQ(more.figures().maxJitter, 4);
    // ((16 * 4000 + 500) / 1000) / 36 in whole milliseconds.
    EXPECT_EQ(more.figures().jitter, 1);
    EXPECT_EQ(more.minimumJitter(), 0);
}

TEST(StreamStatisticsTest, SendDurationsStartEachTransitWhenTheSendReturned) {
    // Every send call took 3 ms and its packet left at the end of the call;
    // each packet carries the previous call's time. Measured from the end of
    // each packet's own call there is no jitter, except for the last pair:
    // the last packet has no successor to tell its call's time.
    StreamStatistics steady(100);
    Feeder even{steady};
    for (std::uint32_t s = 0; s < 10; ++s) even.packet(s, 3000, s == 0 ? 0 : 3000);
    steady.flush();
    EXPECT_EQ(steady.figures().jitterSampleCount, 9);
    EXPECT_EQ(steady.figures().maxJitter, 3);
    EXPECT_EQ(steady.figures().jitter, 0);

    // A "negative" or absurd delay is not applied.
    StreamStatistics hostile(100);
    Feeder bad{hostile};
    bad.packet(0);
    bad.packet(1, 0, 0xFFFFFF00u);
    bad.packet(2, 0, 2000000000u);
    hostile.flush();
    EXPECT_EQ(hostile.rejectedSenderDelays(), 2);
    EXPECT_EQ(hostile.figures().maxJitter, 0);

    // A send time no clock writes gives no jitter sample, but still counts.
    StreamStatistics odd(100);
    Timestamp arrival;
    arrival.seconds = static_cast<std::int32_t>(kBase);
    odd.addPacket(0, 0, kBase, 0, arrival);
    odd.addPacket(1, 0, kBase, 5000000, arrival);
    odd.flush();
    EXPECT_EQ(odd.figures().packetCount, 2);
    EXPECT_EQ(odd.figures().jitterSampleCount, 0);
}

TEST(StreamStatisticsTest, OneWayDelayMeasuredWhenTheClocksAgreeEstimatedWhenNot) {
    // Transits of 5 ms plus 0, 2, 0, 4 ms (mean extra 1.5 ms), with the
    // sender's clock this far ahead of ours.
    struct Case {
        std::int64_t clockOffsetUs;
        std::int64_t roundTripUs;
        std::int64_t expected;
    } cases[] = {
        {0, -1, -1},                     // no round trip: not known
        {0, 12000, 6500},                // agree: the mean transit itself
        {0, 5500, 6500},                 // asymmetric path: still within the round trip
        {0, 3000, 1500 + 1500},          // 5 ms one way cannot be in a 3 ms round trip
        {20000000, 12000, 6000 + 1500},  // sender 20 s ahead: half the round trip
        {-3000000, 12000, 6000 + 1500},  // behind
    };
    for (const Case& c : cases) {
        StreamStatistics stats(4);
        Feeder feed{stats};
        const std::int64_t extra[] = {0, 2000, 0, 4000};
        for (std::uint32_t s = 0; s < 8; ++s) feed.packet(s, extra[s % 4] - c.clockOffsetUs);
        stats.setRoundTrip(c.roundTripUs);  // known only after the first packets
        stats.flush();
        EXPECT_EQ(stats.figures().oneWayDelayUs, c.expected)
            << "offset " << c.clockOffsetUs << " round trip " << c.roundTripUs;
    }
}

TEST(StreamStatisticsTest, IntervalCountersCoverTheirIntervalOnly) {
    StreamStatistics stats(2);
    Feeder feed{stats};
    feed.packet(0);
    feed.packet(1, 9000);  // 9 ms later than 0
    feed.packet(3);        // a jump; 0 and 1 leave: jitter 9
    EXPECT_EQ(stats.figures().intervalMaxJitter, 9);
    EXPECT_EQ(stats.figures().intervalPackets, 3);
    EXPECT_EQ(stats.figures().intervalOutOfOrder, 1);
    stats.resetIntervalCounters();
    feed.packet(4);        // placeholder 2 leaves: lost
    feed.packet(5, 2000);  // 3 leaves: the gap of 1 closes
    feed.packet(6);        // 4 leaves: jitter 0 against 3
    feed.packet(7);        // 5 leaves: jitter 2 against 4
    EXPECT_EQ(stats.figures().intervalPackets, 4);
    EXPECT_EQ(stats.figures().intervalOutOfOrder, 0);
    EXPECT_EQ(stats.figures().intervalLost, 1);
    EXPECT_EQ(gaps(stats.figures().intervalGapCounts), 1);
    // The interval's own largest, though the stream's is larger.
    EXPECT_EQ(stats.figures().intervalMaxJitter, 2);
    EXPECT_EQ(stats.figures().maxJitter, 9);
    EXPECT_EQ(stats.figures().dropped, 1);
}

TEST(StreamStatisticsTest, HostileSequenceNumbersCostBoundedWorkAndNoMemory) {
    // The 16-bit numbers wrap every 65536 packets without a loss; the high
    // bits of the word are not looked at.
    StreamStatistics wrap(50);
    Feeder feed{wrap};
    for (std::uint32_t n = 0; n < 140000; ++n) feed.packet(n | 0xABCD0000u, 0, 0, n);
    wrap.flush();
    EXPECT_EQ(wrap.figures().packetCount, 140000);
    EXPECT_EQ(wrap.figures().dropped, 0);
    EXPECT_EQ(wrap.figures().outOfOrder, 0);
    EXPECT_EQ(wrap.figures().late, 0);
    EXPECT_EQ(wrap.figures().jitterSampleCount, 139999);

    // A jump far beyond the buffer: the numbers it skips are lost, the run
    // counts as one gap of the buffer's length, and nothing grows.
    StreamStatistics jump(10);
    Feeder far{jump};
    far.packet(0);
    far.packet(30000);
    far.packet(30001);
    jump.flush();
    EXPECT_EQ(jump.figures().dropped, 29999);
    EXPECT_EQ(jump.figures().gapCounts.size(), 10u);
    EXPECT_EQ(jump.figures().gapCounts[9], 1);
    EXPECT_EQ(jump.figures().jitterSampleCount, 1);

    // Backwards by more than the window ("negative" numbers too): late.
    StreamStatistics back(10);
    Feeder behind{back};
    behind.packet(40000);
    behind.packet(39000, 0, 0, 0);
    behind.packet(0xFFFF0000u | 39500u, 0, 0, 0);
    EXPECT_EQ(back.figures().late, 2);
    EXPECT_EQ(back.figures().duplicate, 0);

    // A sender that jumps half the number space with every packet: each
    // packet costs at most one pass over the buffer.
    StreamStatistics storm(StreamStatistics::kMaxCapacity);
    Feeder hostile{storm};
    auto started = std::chrono::steady_clock::now();
    std::uint32_t s = 0;
    for (int i = 0; i < 200; ++i) {
        hostile.packet(s);
        s += 32767;
    }
    storm.flush();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_GT(storm.figures().dropped, 0);
    EXPECT_LE(storm.slotCount(), StreamStatistics::kMaxCapacity);
    EXPECT_EQ(storm.figures().gapCounts.size(),
              static_cast<std::size_t>(StreamStatistics::kMaxCapacity));

    // Long enough, and the loss count stops at the largest int rather than
    // wrapping below zero.
    StreamStatistics endless(10);
    Feeder jumps{endless};
    s = 0;
    for (int i = 0; i < 70000; ++i) {
        jumps.packet(s, 0, 0, i);
        s += 32767;
    }
    EXPECT_EQ(endless.figures().dropped, INT_MAX);
    EXPECT_EQ(endless.figures().packetCount, 70000);
}

}  // namespace
}  // namespace trellon
