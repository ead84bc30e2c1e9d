// The response test's microsecond figures between two real agents in lab
// hosts joined through the impairment relay, against ping over the same path
// in the same run and against the relay's own delay model.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "support/netlab.h"
#include "support/netlab_agent.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
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

double number(const std::string& document, const std::string& name) {
    try {
        return std::stod(element(document, name));
    } catch (...) {
        return -1;
    }
}

class ResponseFiguresLab : public ::testing::Test {
protected:
    void start(const RelayConfig& config) {
        lab_ = std::make_unique<Lab>();
        a_ = lab_->addHost("a");
        b_ = lab_->addHost("b");
        link_ = lab_->connectThroughRelay(a_, b_, config);
        AgentOptions options;
        options.waitUntilReady = false;
        agentA_ = std::make_unique<AgentProcess>(a_, options);
        agentB_ = std::make_unique<AgentProcess>(b_, options);
        ASSERT_TRUE(agentA_->waitUntilReady());
        ASSERT_TRUE(agentB_->waitUntilReady());
    }
    void TearDown() override {
        if (agentA_) agentA_->requestStop();
        if (agentB_) agentB_->requestStop();
        agentA_.reset();
        agentB_.reset();
        lab_.reset();
    }

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

    std::unique_ptr<Lab> lab_;
    Host a_, b_;
    RelayLink link_;
    std::unique_ptr<AgentProcess> agentA_, agentB_;
};

TEST_F(ResponseFiguresLab, FiveMillisecondsEachWayAgreesWithPing) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
    TimingLock timing;
    Impairment path;
    path.delayMs = 5;
    start(RelayConfig::both(path));
    double before = halfPingUs(40);
    std::string xml = responseTest(100);
    double after = halfPingUs(40);
    double ping = (before + after) / 2;
    double mean = number(xml, "latencyMicroseconds");
    std::printf("5 ms each way: ping %.1f us each way, the test %.0f us (whole ms: %s)\n", ping,
                mean, element(xml, "latency").c_str());
    EXPECT_NEAR(mean, ping, 100.0) << xml;
    EXPECT_GE(number(xml, "minLatencyMicroseconds"), 5000.0) << xml;
    EXPECT_LE(number(xml, "minLatencyMicroseconds"), mean);
    EXPECT_GE(number(xml, "maxLatencyMicroseconds"), mean);
    EXPECT_GE(number(xml, "heldMicroseconds"), 0.0);
}

TEST_F(ResponseFiguresLab, NoDelayIsStillMeasuredAndAgreesWithPing) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
    TimingLock timing;
    start(RelayConfig{});
    double before = halfPingUs(40);
    std::string xml = responseTest(100);
    double after = halfPingUs(40);
    double ping = (before + after) / 2;
    double mean = number(xml, "latencyMicroseconds");
    std::printf("no delay: ping %.1f us each way, the test %.0f us (whole ms: %s)\n", ping, mean,
                element(xml, "latency").c_str());
    EXPECT_GT(mean, 0.0) << xml;
    EXPECT_NEAR(mean, ping, 50.0) << xml;
    // The results page shows it beside the whole milliseconds.
    std::string page = response::httpGet(a_, "/results?id=1&format=html");
    EXPECT_NE(page.find("Travel time (each way) in microseconds: average <b>"), std::string::npos)
        << page;
    EXPECT_NE(page.find("Average travel time<br>in microseconds"), std::string::npos);
}

// Jitter uniform in [0, J] on the way out only: each one-way estimate is half
// the trip, so it varies by U / 2, and the mean |D| of two consecutive ones
// is E|U1 - U2| / 2 = J / 6.
TEST_F(ResponseFiguresLab, TheSpreadIsWhatTheRelaysJitterModelGives) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    TimingLock timing;
    RelayConfig config;
    config.aToB.delayMs = 5;
    config.aToB.jitterMs = 4;
    config.bToA.delayMs = 5;
    start(config);
    std::string xml = responseTest(600);
    double spread = number(xml, "latencySpreadMicroseconds");
    double model = config.aToB.jitterMs * 1000.0 / 6;
    std::printf("jitter 0-%.0f ms one way: spread %.0f us, the model %.0f us\n",
                config.aToB.jitterMs, spread, model);
    EXPECT_NEAR(spread, model, model * 0.10) << xml;
}

}  // namespace
}  // namespace trellon::netlab
