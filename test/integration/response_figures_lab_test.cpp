// The response test's microsecond figures between two real agents in lab
// hosts joined through the impairment relay, against ping over the same path
// in the same run and against the relay's own delay model.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "support/lab_agents.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
using response::number;
using response::waitUntilDone;

// ping's average round trip in milliseconds ("rtt min/avg/max/mdev = a/b/c/d ms"); -1 when absent.
double pingAverageMs(const std::string& output) {
    std::size_t at = output.find(" = ");
    if (at == std::string::npos || output.find("min/avg", 0) == std::string::npos) return -1;
    std::size_t slash = output.find('/', at);
    if (slash == std::string::npos) return -1;
    try {
        return std::stod(output.substr(slash + 1));
    } catch (...) {
        return -1;
    }
}

class ResponseFiguresLab : public LabAgents {
protected:
    // Half of ping's average round trip from a to b, in microseconds.
    double halfPingUs(int count) {
        CommandResult ping =
            a_.run("ping -n -q -c " + std::to_string(count) + " -i 0.05 -s 100 " + b_.address());
        EXPECT_TRUE(ping.ok()) << ping.output;
        double average = pingAverageMs(ping.output);
        EXPECT_GT(average, 0) << ping.output;
        return average * 1000.0 / 2;
    }

    // A finished response test of `repeat` probes 50 ms apart; its XML.
    std::string responseTest(int repeat) {
        int id = response::startResponseTest(a_, b_.address(), repeat, 50, repeat / 20 + 10);
        EXPECT_GT(id, 0);
        std::string xml = waitUntilDone(a_, id, std::chrono::seconds(repeat / 20 + 30), 100ms);
        EXPECT_EQ(element(xml, "done"), "1") << xml;
        EXPECT_EQ(element(xml, "received"), std::to_string(repeat)) << xml;
        return xml;
    }

    // Half of ping's round trip, the mean of a run before and one after a
    // test of 100 probes; and that test's XML.
    std::pair<double, std::string> pingAroundATest(const char* label) {
        double before = halfPingUs(40);
        std::string xml = responseTest(100);
        double ping = (before + halfPingUs(40)) / 2;
        std::printf("%s: ping %.1f us each way, the test %.0f us (whole ms: %s)\n", label, ping,
                    number(xml, "latencyMicroseconds"), element(xml, "latency").c_str());
        return {ping, xml};
    }

    // How late the relay sent, on average, in each direction added together
    // (microseconds): a loaded or idle-sleeping host makes it a good part of a
    // trip without delay, and it changes from one run to the next.
    double relayLateUs() {
        RelayStats relay = relay_.stats();
        std::printf("the relay late by %.1f us (a to b) and %.1f us (b to a) on average\n",
                    relay.aToB.meanLateUs, relay.bToA.meanLateUs);
        return relay.roundTripLateUs();
    }
};

TEST_F(ResponseFiguresLab, FiveMillisecondsEachWayAgreesWithPing) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
    TimingLock timing;
    Impairment path;
    path.delayMs = 5;
    startThroughRelay(RelayConfig::both(path));
    auto [ping, xml] = pingAroundATest("5 ms each way");
    double mean = number(xml, "latencyMicroseconds");
    EXPECT_NEAR(mean, ping, 100.0 + relayLateUs() / 2) << xml;
    EXPECT_GE(number(xml, "minLatencyMicroseconds"), 5000.0) << xml;
    EXPECT_LE(number(xml, "minLatencyMicroseconds"), mean);
    EXPECT_GE(number(xml, "maxLatencyMicroseconds"), mean);
    EXPECT_GE(number(xml, "heldMicroseconds"), 0.0);
}

TEST_F(ResponseFiguresLab, NoDelayIsStillMeasuredAndAgreesWithPing) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
    TimingLock timing;
    startThroughRelay();
    auto [ping, xml] = pingAroundATest("no delay");
    double mean = number(xml, "latencyMicroseconds");
    EXPECT_GT(mean, 0.0) << xml;
    // The relay's lateness is in ping's trips and the test's, but not in the
    // same amount when it changes between them.
    EXPECT_NEAR(mean, ping, 50.0 + relayLateUs() / 2) << xml;
    // The results page shows it beside the whole milliseconds.
    std::string page = response::httpGet(a_, "/results?id=1&format=html");
    EXPECT_NE(page.find("Travel time (each way) in microseconds: average <b>"), std::string::npos)
        << page;
    EXPECT_NE(page.find("Average travel time<br>in microseconds"), std::string::npos);
}

// Jitter uniform in [0, J] on the way out only: each one-way estimate is half
// the trip, so it varies by U / 2, and the mean |D| of two consecutive ones
// is E|U1 - U2| / 2 = J / 6. The relay's own lateness only adds to that: a
// one-way estimate moves by half the change in the two directions' lateness,
// whose mean size is at most the two mean latenesses together.
TEST_F(ResponseFiguresLab, TheSpreadIsWhatTheRelaysJitterModelGives) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    TimingLock timing;
    RelayConfig config;
    config.aToB.delayMs = 5;
    config.aToB.jitterMs = 4;
    config.bToA.delayMs = 5;
    startThroughRelay(config);
    std::string xml = responseTest(600);
    double spread = number(xml, "latencySpreadMicroseconds");
    double model = config.aToB.jitterMs * 1000.0 / 6;
    std::printf("jitter 0-%.0f ms one way: spread %.0f us, the model %.0f us\n",
                config.aToB.jitterMs, spread, model);
    EXPECT_GE(spread, model * 0.90) << xml;
    EXPECT_LE(spread, model * 1.10 + relayLateUs()) << xml;
}

}  // namespace
}  // namespace trellon::netlab
