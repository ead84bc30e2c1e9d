// Loss, jitter, reordering and duplication through the relay, checked against
// what a receiver in the other host really sees. Seeds are fixed so every run
// draws the same pattern; the bounds still hold for any seed (±3 standard
// deviations), so a failing seed is printed with the relay's counts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "netlab/udp_probe.h"
#include "support/netlab.h"

namespace trellon::netlab {
namespace {

using probe::summarize;
using probe::UdpProbe;

double sigma(double n, double p) {
    return std::sqrt(n * p * (1 - p));
}

// Makes a and b, joined through a relay with no impairment, and a probe from a
// to b whose first datagram has crossed (so ARP is done).
struct ProbedLink {
    ProbedLink() {
        a = lab.addHost("a");
        b = lab.addHost("b");
        RelayConfig config;
        config.seed = 20240611;
        link = lab.connectThroughRelay(a, b, config);
        udp = std::make_unique<UdpProbe>(a, b, b.address());
        udp->send(1'000'000, 1, std::chrono::microseconds(0));
        ready = udp->collect(1, std::chrono::seconds(5)).size() == 1;
    }
    void impair(const Impairment& aToB) {
        RelayConfig config = link.config();
        config.aToB = aToB;
        link.setConfig(config);
        // The relay takes a new impairment at its next turn; after a packet has
        // gone through, it surely has.
        std::uint64_t before = link.stats().aToB.received;
        udp->send(1'000'001, 1, std::chrono::microseconds(0));
        link.waitFor(
            [&](const RelayStats& s) { return s.aToB.received > before && s.aToB.queued == 0; },
            std::chrono::seconds(5));
        base = link.stats().aToB;
        arrivedBefore = udp->settle(std::chrono::milliseconds(100)).size();
    }
    // Waits until the relay has read and released all `count` datagrams of a run.
    bool drained(std::uint64_t count) const {
        return link.waitFor(
            [&](const RelayStats& s) {
                return s.aToB.received - base.received >= count && s.aToB.queued == 0;
            },
            std::chrono::seconds(20));
    }
    // What the relay did during the run.
    DirectionStats delta() const {
        DirectionStats now = link.stats().aToB;
        DirectionStats d = now;
        d.received -= base.received;
        d.forwarded -= base.forwarded;
        d.dropped -= base.dropped;
        d.duplicated -= base.duplicated;
        d.reordered -= base.reordered;
        d.queueDropped -= base.queueDropped;
        d.inputDropped -= base.inputDropped;
        return d;
    }
    // The run's arrivals (numbers below 1'000'000).
    std::vector<probe::Arrival> arrivals(std::size_t expected) {
        auto all = udp->collect(arrivedBefore + expected, std::chrono::seconds(10));
        all = udp->settle(std::chrono::milliseconds(200));
        std::vector<probe::Arrival> run;
        for (const auto& arrival : all) {
            if (arrival.number < 1'000'000) run.push_back(arrival);
        }
        return run;
    }

    Lab lab;
    Host a, b;
    RelayLink link;
    std::unique_ptr<UdpProbe> udp;
    bool ready = false;
    DirectionStats base;
    std::size_t arrivedBefore = 0;
};

TEST(RelayImpairment, TenPercentLossIsCountedExactlyAsTheReceiverMissesIt) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    ProbedLink path;
    ASSERT_TRUE(path.ready);
    Impairment lossy;
    lossy.loss = 0.10;
    path.impair(lossy);

    const std::uint32_t count = 5000;
    path.udp->send(0, count, std::chrono::microseconds(0), &path.link, path.base.received);
    ASSERT_TRUE(path.drained(count));
    DirectionStats relay = path.delta();
    auto seen = summarize(path.arrivals(relay.forwarded), count);

    EXPECT_EQ(relay.received, count);
    EXPECT_EQ(relay.inputDropped, 0u);
    EXPECT_EQ(relay.queueDropped, 0u);
    EXPECT_NEAR(static_cast<double>(relay.dropped), count * 0.10, 3 * sigma(count, 0.10));
    EXPECT_EQ(relay.dropped, count - seen.distinct);
    EXPECT_EQ(relay.forwarded, seen.total);
    EXPECT_EQ(seen.copies, 0u);
    std::printf("10%% loss over %u datagrams: relay dropped %llu, receiver missed %zu\n", count,
                static_cast<unsigned long long>(relay.dropped), count - seen.distinct);
    // The other direction was left alone.
    EXPECT_EQ(path.link.stats().bToA.dropped, 0u);
}

TEST(RelayImpairment, JitterReordersOnlyWhenAllowed) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    TimingLock turn;  // the delay bounds below need the relay on time
    for (bool reorders : {true, false}) {
        SCOPED_TRACE(reorders ? "reordering allowed" : "order kept");
        ProbedLink path;
        ASSERT_TRUE(path.ready);
        Impairment jittery;
        jittery.delayMs = 1;
        jittery.jitterMs = 5;
        jittery.jitterReorders = reorders;
        path.impair(jittery);

        // One datagram every 0.2 ms: many arrive within one jitter spread.
        const std::uint32_t count = 1000;
        path.udp->send(0, count, std::chrono::microseconds(200));
        ASSERT_TRUE(path.drained(count));
        DirectionStats relay = path.delta();
        auto seen = summarize(path.arrivals(count), count);

        EXPECT_EQ(seen.distinct, count);
        EXPECT_EQ(relay.reordered, seen.outOfOrder);
        if (reorders) {
            EXPECT_GT(relay.reordered, count / 10u);
        } else {
            EXPECT_EQ(relay.reordered, 0u);
            EXPECT_EQ(seen.outOfOrder, 0u);
        }
        // One-way delays spread over the jitter range: 1 to 6 ms, plus the
        // hops and the relay's own lateness, which a loaded machine stretches.
        EXPECT_GE(seen.minDelayMs, 0.95);
        EXPECT_LE(seen.maxDelayMs, 6.0 + 1.0 + relay.maxLateUs / 1000.0);
        EXPECT_GT(seen.maxDelayMs - seen.minDelayMs, 4.0);
        std::printf(
            "jitter 5 ms (%s): relay reordered %llu, receiver saw %zu out of order, delay "
            "%.2f-%.2f ms\n",
            reorders ? "reordering allowed" : "order kept",
            static_cast<unsigned long long>(relay.reordered), seen.outOfOrder, seen.minDelayMs,
            seen.maxDelayMs);
    }
}

TEST(RelayImpairment, DuplicatesArriveAsCountedExtraCopies) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    ProbedLink path;
    ASSERT_TRUE(path.ready);
    Impairment doubled;
    doubled.duplicate = 0.05;
    path.impair(doubled);

    const std::uint32_t count = 2000;
    path.udp->send(0, count, std::chrono::microseconds(0), &path.link, path.base.received);
    ASSERT_TRUE(path.drained(count));
    DirectionStats relay = path.delta();
    auto seen = summarize(path.arrivals(relay.forwarded), count);

    EXPECT_EQ(seen.distinct, count);
    EXPECT_EQ(seen.copies, relay.duplicated);
    EXPECT_EQ(relay.forwarded, count + relay.duplicated);
    EXPECT_NEAR(static_cast<double>(relay.duplicated), count * 0.05, 3 * sigma(count, 0.05));
}

TEST(RelayImpairment, AReorderedFractionArrivesOutOfOrderAsCounted) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    ProbedLink path;
    ASSERT_TRUE(path.ready);
    Impairment swapped;
    swapped.reorder = 0.10;
    path.impair(swapped);

    const std::uint32_t count = 2000;
    path.udp->send(0, count, std::chrono::microseconds(100));
    ASSERT_TRUE(path.drained(count));
    DirectionStats relay = path.delta();
    auto seen = summarize(path.arrivals(count), count);

    EXPECT_EQ(seen.distinct, count);
    EXPECT_EQ(seen.outOfOrder, relay.reordered);
    // A picked datagram's follower cannot be picked itself: p/(1+p) of all move.
    double share = 0.10 / 1.10;
    EXPECT_NEAR(static_cast<double>(relay.reordered), count * share, 3 * sigma(count, share));
}

}  // namespace
}  // namespace trellon::netlab
