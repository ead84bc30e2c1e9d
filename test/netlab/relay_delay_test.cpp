// Delay accuracy through the relay, measured with ping (kernel timestamps at
// both ends). Light traffic only: bulk transfers are in relay_rate_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/netlab.h"

namespace trellon::netlab {
namespace {

// Every "time=<ms> ms" of a ping's output.
std::vector<double> roundTrips(const std::string& output) {
    std::vector<double> times;
    std::size_t at = 0;
    while ((at = output.find("time=", at)) != std::string::npos) {
        at += 5;
        times.push_back(std::strtod(output.c_str() + at, nullptr));
    }
    return times;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// 100 pings, 10 ms apart; the median round trip in ms.
double pingMedian(const Host& from, const std::string& to, std::string* output) {
    CommandResult ping =
        from.run("ping -n -q -c 1 -W 2 " + to + " > /dev/null; ping -n -c 100 -i 0.01 -W 2 " + to,
                 std::chrono::seconds(30));
    *output = ping.output;
    auto times = roundTrips(ping.output);
    if (times.size() < 90) return -1;
    return median(times);
}

TEST(RelayDelay, TenMillisecondsEachWayGiveATwentyMillisecondRoundTrip) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
    TimingLock turn;
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    Impairment tenMs;
    tenMs.delayMs = 10;
    RelayLink link = lab.connectThroughRelay(a, b, RelayConfig::both(tenMs));

    std::string output;
    double rtt = pingMedian(a, b.address(), &output);
    ASSERT_GT(rtt, 0) << output;
    RelayStats stats = link.stats();
    // What the relay itself reports it was late by goes into every trip.
    EXPECT_NEAR(rtt, 20.0, 0.5 + stats.roundTripLateUs() / 1000.0) << output;
    std::printf(
        "median round trip with 10 ms each way: %.3f ms (relay late: mean %.1f/%.1f us, max "
        "%.1f/%.1f us, %s)\n",
        rtt, stats.aToB.meanLateUs, stats.bToA.meanLateUs, stats.aToB.maxLateUs,
        stats.bToA.maxLateUs, link.realtime() ? "SCHED_FIFO" : "normal priority");
    EXPECT_EQ(
        stats.aToB.dropped + stats.bToA.dropped + stats.aToB.queueDropped + stats.bToA.queueDropped,
        0u);
    EXPECT_GE(stats.aToB.forwarded, 100u);
    EXPECT_GE(stats.bToA.forwarded, 100u);
}

TEST(RelayDelay, WithoutDelayTheRelayAddsLittleToADirectLink) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
    TimingLock turn;
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    Link direct = lab.connect(a, b);
    RelayLink relayed = lab.connectThroughRelay(a, b);

    std::string directOutput, relayedOutput;
    double directRtt = pingMedian(a, direct.addressOf(b), &directOutput);
    double relayedRtt = pingMedian(a, relayed.addressOf(b), &relayedOutput);
    ASSERT_GT(directRtt, 0) << directOutput;
    ASSERT_GT(relayedRtt, 0) << relayedOutput;
    EXPECT_LT(relayedRtt, 0.3) << relayedOutput;
    std::printf(
        "median round trip: direct veth %.3f ms, through the relay %.3f ms: the relay adds %.3f ms "
        "per "
        "direction\n",
        directRtt, relayedRtt, (relayedRtt - directRtt) / 2);
}

TEST(RelayDelay, EachDirectionHasItsOwnDelay) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
    TimingLock turn;
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    RelayConfig config;
    config.aToB.delayMs = 3;
    config.bToA.delayMs = 12;
    RelayLink link = lab.connectThroughRelay(a, b, config);
    std::string output;
    double rtt = pingMedian(a, b.address(), &output);
    EXPECT_NEAR(rtt, 15.0, 0.5) << output;

    // A new delay applies to packets from then on.
    config.bToA.delayMs = 2;
    link.setConfig(config);
    rtt = pingMedian(b, a.address(), &output);
    // What the relay itself reports it was late by goes into every trip.
    const double lateMs = link.stats().roundTripLateUs() / 1000.0;
    EXPECT_NEAR(rtt, 5.0, 0.5 + lateMs) << output << "relay late " << lateMs << " ms a trip";
}

}  // namespace
}  // namespace trellon::netlab
