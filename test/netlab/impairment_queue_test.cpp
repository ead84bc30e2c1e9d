// The relay's decisions with exact times: no network, no root.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "support/netlab_impairment.h"

namespace trellon::netlab {
namespace {

constexpr std::int64_t kMs = 1'000'000;

std::vector<std::uint8_t> packet(std::uint8_t tag) {
    return std::vector<std::uint8_t>(60, tag);
}

// Feeds `count` packets, one every `spacingNs`, then releases in steps of
// 0.1 ms until nothing is left; returns what came out with its release time.
struct Released {
    std::uint64_t sequence;
    std::int64_t atNs;
    std::int64_t plannedNs;
    int copies;
};

std::vector<Released> runQueue(ImpairmentQueue& queue, int count, std::int64_t spacingNs) {
    std::vector<Released> result;
    std::vector<OutgoingPacket> out;
    std::int64_t now = 0;
    int admitted = 0;
    const std::int64_t step = kMs / 10;
    for (int i = 0; i < 10'000'000 && (admitted < count || queue.nextDueNs()); ++i, now += step) {
        while (admitted < count && static_cast<std::int64_t>(admitted) * spacingNs <= now) {
            queue.admit(packet(static_cast<std::uint8_t>(admitted)),
                        static_cast<std::int64_t>(admitted) * spacingNs);
            ++admitted;
        }
        out.clear();
        queue.release(now, out);
        for (auto& p : out) {
            result.push_back({p.sequence, now, p.plannedNs, p.copies});
            for (int c = 0; c < p.copies; ++c) queue.recordSend(true, now - p.plannedNs);
        }
    }
    return result;
}

double sigma(double n, double p) {
    return std::sqrt(n * p * (1 - p));
}

TEST(ImpairmentQueue, HoldsEachPacketForTheDelayExactly) {
    Impairment delayed;
    delayed.delayMs = 10;
    ImpairmentQueue queue(delayed, 1);
    queue.admit(packet(1), 5 * kMs);
    EXPECT_EQ(queue.nextDueNs(), 15 * kMs);
    std::vector<OutgoingPacket> out;
    queue.release(15 * kMs - 1, out);
    EXPECT_TRUE(out.empty());
    queue.release(15 * kMs, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].plannedNs, 15 * kMs);
    EXPECT_EQ(out[0].data, packet(1));
    EXPECT_FALSE(queue.nextDueNs());
}

TEST(ImpairmentQueue, WithoutImpairmentPacketsLeaveAtOnceInOrder) {
    ImpairmentQueue queue(Impairment{}, 1);
    auto released = runQueue(queue, 100, kMs / 100);
    ASSERT_EQ(released.size(), 100u);
    for (std::size_t i = 0; i < released.size(); ++i) EXPECT_EQ(released[i].sequence, i);
    DirectionStats stats = queue.stats();
    EXPECT_EQ(stats.received, 100u);
    EXPECT_EQ(stats.forwarded, 100u);
    EXPECT_EQ(stats.dropped + stats.duplicated + stats.reordered + stats.queued, 0u);
}

TEST(ImpairmentQueue, JitterStaysWithinItsSpreadAndKeepsOrderUnlessAllowed) {
    for (bool reorders : {false, true}) {
        SCOPED_TRACE(reorders ? "reordering allowed" : "order kept");
        Impairment jittery;
        jittery.delayMs = 2;
        jittery.jitterMs = 5;
        jittery.jitterReorders = reorders;
        ImpairmentQueue queue(jittery, 7);
        const int count = 2000;
        const std::int64_t spacing = kMs / 4;
        auto released = runQueue(queue, count, spacing);
        ASSERT_EQ(released.size(), static_cast<std::size_t>(count));
        std::int64_t shortest = INT64_MAX, longest = 0;
        std::uint64_t outOfOrder = 0, highest = 0;
        for (const auto& r : released) {
            std::int64_t held = r.plannedNs - static_cast<std::int64_t>(r.sequence) * spacing;
            shortest = std::min(shortest, held);
            longest = std::max(longest, held);
            if (r.sequence < highest) ++outOfOrder;
            highest = std::max(highest, r.sequence);
        }
        EXPECT_GE(shortest, 2 * kMs);
        EXPECT_LE(longest, 7 * kMs);
        EXPECT_GT(longest - shortest, 4 * kMs);  // the spread is really used
        EXPECT_EQ(queue.stats().reordered, outOfOrder);
        if (reorders) {
            EXPECT_GT(outOfOrder, count / 10u);
        } else {
            EXPECT_EQ(outOfOrder, 0u);
        }
    }
}

TEST(ImpairmentQueue, LossDropsAboutTheFractionAndCountsIt) {
    Impairment lossy;
    lossy.loss = 0.25;
    ImpairmentQueue queue(lossy, 42);
    const int count = 8000;
    auto released = runQueue(queue, count, kMs / 100);
    DirectionStats stats = queue.stats();
    EXPECT_EQ(stats.received, static_cast<std::uint64_t>(count));
    EXPECT_EQ(stats.dropped + stats.forwarded, stats.received);
    EXPECT_EQ(released.size(), stats.forwarded);
    EXPECT_NEAR(static_cast<double>(stats.dropped), count * 0.25, 3 * sigma(count, 0.25));
}

TEST(ImpairmentQueue, TheLossPatternOfASeedIgnoresTheOtherKnobs) {
    Impairment lossOnly;
    lossOnly.loss = 0.1;
    Impairment lossAndMore = lossOnly;
    lossAndMore.jitterMs = 3;
    lossAndMore.duplicate = 0.2;
    lossAndMore.reorder = 0.2;
    ImpairmentQueue plain(lossOnly, 99), busy(lossAndMore, 99);
    for (int i = 0; i < 500; ++i) {
        plain.admit(packet(0), i * kMs);
        busy.admit(packet(0), i * kMs);
        ASSERT_EQ(plain.stats().dropped, busy.stats().dropped) << "diverged at packet " << i;
    }
}

TEST(ImpairmentQueue, DuplicatesAreSecondCopiesRightBehindTheOriginal) {
    Impairment doubled;
    doubled.duplicate = 0.1;
    ImpairmentQueue queue(doubled, 5);
    const int count = 5000;
    auto released = runQueue(queue, count, kMs / 100);
    ASSERT_EQ(released.size(), static_cast<std::size_t>(count));
    std::uint64_t copies = 0;
    for (const auto& r : released) copies += static_cast<std::uint64_t>(r.copies - 1);
    DirectionStats stats = queue.stats();
    EXPECT_EQ(stats.duplicated, copies);
    EXPECT_EQ(stats.forwarded, static_cast<std::uint64_t>(count) + copies);
    EXPECT_EQ(stats.reordered, 0u);
    EXPECT_NEAR(static_cast<double>(copies), count * 0.1, 3 * sigma(count, 0.1));
}

TEST(ImpairmentQueue, APacketPickedForReorderingFollowsTheNextOne) {
    Impairment swapped;
    swapped.reorder = 1.0;  // every packet that can be picked is
    ImpairmentQueue queue(swapped, 3);
    std::vector<OutgoingPacket> out;
    queue.admit(packet(0), 0);
    queue.release(0, out);
    EXPECT_TRUE(out.empty());  // held, waiting for its follower
    queue.admit(packet(1), kMs);
    queue.release(kMs, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].sequence, 1u);
    EXPECT_EQ(out[1].sequence, 0u);
    EXPECT_EQ(queue.stats().reordered, 1u);
}

TEST(ImpairmentQueue, AHeldPacketGoesAloneWhenNoFollowerComesInTime) {
    Impairment swapped;
    swapped.reorder = 1.0;
    swapped.reorderHoldMs = 10;
    ImpairmentQueue queue(swapped, 3);
    std::vector<OutgoingPacket> out;
    queue.admit(packet(0), 0);
    queue.release(0, out);
    EXPECT_EQ(queue.nextDueNs(), 10 * kMs);
    queue.release(10 * kMs - 1, out);
    EXPECT_TRUE(out.empty());
    queue.release(10 * kMs, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].sequence, 0u);
    EXPECT_EQ(queue.stats().reordered, 0u);  // nothing overtook it
}

TEST(ImpairmentQueue, ReorderingAFractionSwapsAboutThatShare) {
    Impairment swapped;
    swapped.reorder = 0.1;
    ImpairmentQueue queue(swapped, 11);
    const int count = 5000;
    auto released = runQueue(queue, count, kMs / 5);
    ASSERT_EQ(released.size(), static_cast<std::size_t>(count));
    // A picked packet's follower cannot be picked itself, so p/(1+p) of all packets move.
    double share = 0.1 / 1.1;
    EXPECT_NEAR(static_cast<double>(queue.stats().reordered), count * share,
                3 * sigma(count, share));
}

TEST(ImpairmentQueue, AFullQueueRefusesAndCounts) {
    Impairment slow;
    slow.delayMs = 100;
    ImpairmentQueue queue(slow, 1, 10);
    for (int i = 0; i < 15; ++i) queue.admit(packet(0), i);
    DirectionStats stats = queue.stats();
    EXPECT_EQ(stats.received, 15u);
    EXPECT_EQ(stats.queued, 10u);
    EXPECT_EQ(stats.queueDropped, 5u);
}

TEST(ImpairmentQueue, ANewImpairmentAppliesToLaterPacketsOnly) {
    Impairment slow;
    slow.delayMs = 50;
    ImpairmentQueue queue(slow, 1);
    queue.admit(packet(0), 0);
    queue.setImpairment(Impairment{});
    queue.admit(packet(1), kMs);
    std::vector<OutgoingPacket> out;
    queue.release(kMs, out);
    // Order is kept across the change: the later packet waits for the earlier.
    EXPECT_TRUE(out.empty());
    queue.release(50 * kMs, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].sequence, 0u);
    EXPECT_EQ(out[1].sequence, 1u);
}

TEST(ImpairmentQueue, LatenessIsAveragedOverSentCopiesAndFailuresCountAsQueueDrops) {
    ImpairmentQueue queue(Impairment{}, 1);
    queue.recordSend(true, 10'000);
    queue.recordSend(true, 30'000);
    queue.recordSend(false, 0);
    DirectionStats stats = queue.stats();
    EXPECT_EQ(stats.forwarded, 2u);
    EXPECT_EQ(stats.queueDropped, 1u);
    EXPECT_DOUBLE_EQ(stats.meanLateUs, 20.0);
    EXPECT_DOUBLE_EQ(stats.maxLateUs, 30.0);
}

}  // namespace
}  // namespace trellon::netlab
