// The rate limit on a relayed link, measured with iperf3: one TCP flow gets
// the payload share of the Ethernet frame rate (1448 of every 1514 bytes).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/netlab.h"

namespace trellon::netlab {
namespace {

// The receiver's figure of an iperf3 -J report, bits per second; -1 if absent.
double receivedBitsPerSecond(const std::string& json) {
    auto section = json.find("\"sum_received\"");
    if (section == std::string::npos) return -1;
    auto field = json.find("\"bits_per_second\"", section);
    if (field == std::string::npos) return -1;
    auto colon = json.find(':', field);
    return colon == std::string::npos ? -1 : std::strtod(json.c_str() + colon + 1, nullptr);
}

TEST(RelayRate, FiftyMegabitsGiveOneTcpFlowItsPayloadShare) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("iperf3", "iperf3");
    TimingLock turn;
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    Impairment limited;
    limited.rateMbit = 50;
    RelayLink link = lab.connectThroughRelay(a, b, RelayConfig::both(limited));

    Process server = b.start({"iperf3", "-s", "-1", "-B", b.address()});
    ASSERT_TRUE(b.waitListening(5201, std::chrono::seconds(10))) << server.output();
    // -O 1: the first second (slow start into the limiter's queue) is not counted.
    CommandResult client =
        a.run("iperf3 -J -c " + b.address() + " -t 4 -O 1", std::chrono::seconds(30));
    ASSERT_TRUE(client.ok()) << client.output;
    double mbit = receivedBitsPerSecond(client.output) / 1e6;
    const double expected = 50.0 * 1448 / 1514;  // 47.82
    EXPECT_TRUE(server.waitFor(std::chrono::seconds(10)).has_value()) << server.output();

    RelayStats stats = link.stats();
    // The relay can never give more than the limit; it gives less when the
    // host stalls it for milliseconds (it reports how late it sent), and then
    // the rate says nothing about the limiter.
    EXPECT_LE(mbit, expected * 1.05) << client.output;
    if (stats.aToB.maxLateUs < 5000) {
        EXPECT_GE(mbit, expected * 0.95) << client.output;
    } else {
        std::printf("the relay was stalled for up to %.1f ms: the lower bound is not judged\n",
                    stats.aToB.maxLateUs / 1000);
    }
    std::printf(
        "iperf3 through a 50 Mbit/s limit: %.2f Mbit/s (payload share %.2f); relay late mean %.1f "
        "us, "
        "max %.1f us; limiter refused %llu\n",
        mbit, expected, stats.aToB.meanLateUs, stats.aToB.maxLateUs,
        static_cast<unsigned long long>(stats.aToB.queueDropped));
    EXPECT_EQ(stats.aToB.inputDropped, 0u);
}

}  // namespace
}  // namespace trellon::netlab
