// How response-time tests between real agents end: a test of the shortest
// time limit still measures, and a cancel ends the test at once even while
// probes are out that will never come back. Agents run in lab hosts on
// their standard ports; the tests talk to them as a program would.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/lab_agents.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
using response::intElement;

// One agent in a lab of the test's own; two joined through the relay.
class ResponseEndings : public LabAgents {};

TEST_F(ResponseEndings, OneSecondTestSendsProbesForItsSecond) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    AgentProcess agent(a);
    ASSERT_TRUE(agent.ready());

    int id = response::startResponseTest(a, "127.0.0.1", 1000, 50, 1);
    ASSERT_GT(id, 0);
    std::string document = response::waitUntilDone(a, id, 15s, 100ms);
    EXPECT_EQ(element(document, "done"), "1") << document;
    // A probe every 50 ms for one second.
    EXPECT_GE(intElement(document, "sent"), 10) << document;
    EXPECT_GT(intElement(document, "received"), 0) << document;
    EXPECT_NE(document.find("Network response time, or latency, is"), std::string::npos)
        << document;
    EXPECT_EQ(document.find("No probes were sent."), std::string::npos) << document;
    EXPECT_EQ(agent.stop(), 0);
}

TEST_F(ResponseEndings, CancelEndsTheTestAtOnceWhileRepliesAreOutstanding) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    startThroughRelay();
    const Host& a = a_;
    const Host& b = b_;
    RelayLink& link = relay_;

    int id = response::startResponseTest(a, b.address(), 100000, 50, 60);
    ASSERT_GT(id, 0);
    // Replies come back (a row each on the results page); then the path
    // loses everything, so the probes sent from now on are out for good.
    ASSERT_TRUE(response::waitForRows(a, id, 3, 10s));
    Impairment lost;
    lost.loss = 1.0;
    link.setConfig(RelayConfig::both(lost));
    ASSERT_TRUE(link.waitFor([](const RelayStats& s) { return s.aToB.dropped >= 3; }, 10s));

    auto cancelledAt = std::chrono::steady_clock::now();
    EXPECT_EQ(response::httpGet(a, "/cancel?id=" + std::to_string(id)).substr(0, 4), "OK\r\n");
    std::string document = response::waitUntilDone(a, id, 10s);
    auto took = std::chrono::steady_clock::now() - cancelledAt;
    EXPECT_EQ(element(document, "done"), "1") << document;
    // The workers look at the cancel every 50 ms; the polling adds 20 ms.
    EXPECT_LT(took, 500ms) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                           << " ms from the cancel to the finished result";
    EXPECT_NE(document.find("This test was cancelled by the user."), std::string::npos) << document;
    EXPECT_GT(intElement(document, "received"), 0) << document;
    EXPECT_LT(intElement(document, "received"), intElement(document, "sent")) << document;
}

}  // namespace
}  // namespace trellon::netlab
