// The response-time test between real trellon agents, each in a network
// namespace of the test lab on the standard ports: one agent against itself,
// and two agents joined through the lab's impairment relay with known delay
// and loss. A program's view: one request with `format` "xml" and `refresh`
// "false", then the XML result from the address it answered.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "results/xml_check.h"
#include "support/lab_agents.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab {
namespace {

using response::element;
using response::httpGet;
using response::progressRows;

struct ResponseRun {
    std::string address;   // the XML result's address, as the agent answered
    std::string document;  // the XML result
    std::string page;      // the HTML results page (its progress table has one row per reply)
};

// The loss figure of the final sentence, as the agent wrote it ("10.0").
std::string lossText(const std::string& document) {
    std::smatch m;
    static const std::regex pattern("Lost &lt;b&gt;([0-9.]+)&lt;/b&gt; percent");
    return std::regex_search(document, m, pattern) ? m[1].str() : std::string("(no loss figure)");
}

double latencyOf(const std::string& document) {
    return response::number(document, "latency");
}

// Runs the test from `from` against `remote` with curl, as a program would,
// and fetches the result it names.
ResponseRun runResponseTest(const Host& from, const std::string& remote, int repeat, int pause,
                            int timeLimit) {
    ResponseRun run;
    run.document = response::runWithCurl(from,
                                         "/response?remoteComputer=" + remote +
                                             "&testSize=100&repeatCount=" + std::to_string(repeat) +
                                             "&pause=" + std::to_string(pause) +
                                             "&timeLimit=" + std::to_string(timeLimit) +
                                             "&refreshInterval=5&format=xml&refresh=false",
                                         &run.address);
    run.page = httpGet(
        from, "/results?id=" + std::to_string(response::testId(run.address)) + "&format=html");
    return run;
}

void expectComplete(const ResponseRun& run, int repeat) {
    std::string document = run.document;
    while (!document.empty() && (document.back() == '\n' || document.back() == '\r'))
        document.pop_back();
    EXPECT_TRUE(trellon::testing::parsesAsXml(document));
    EXPECT_EQ(element(run.document, "done"), "1") << run.document;
    EXPECT_EQ(element(run.document, "type"), "Response");
    EXPECT_EQ(element(run.document, "sent"), std::to_string(repeat)) << run.document;
}

TEST(ResponseEndToEnd, OneAgentAgainstItself) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("curl", "curl");
    Lab lab;
    Host a = lab.addHost("a");
    AgentProcess agent(a);
    ASSERT_TRUE(agent.ready());

    ResponseRun run = runResponseTest(a, "127.0.0.1", 10, 50, 15);
    EXPECT_EQ(run.address.rfind("http://127.0.0.1:4044/results?id=1&format=xml", 0), 0u)
        << run.address;
    expectComplete(run, 10);
    EXPECT_EQ(element(run.document, "received"), "10") << run.document;
    EXPECT_NE(run.document.find("<latency>"), std::string::npos);
    EXPECT_NE(run.document.find("Sent UDP packets from port"), std::string::npos) << run.document;
    EXPECT_NE(run.document.find("to remote reflector on port 4047"), std::string::npos)
        << run.document;
    EXPECT_EQ(lossText(run.document), "0.0");
    EXPECT_EQ(progressRows(run.page), 10) << run.page;
    EXPECT_EQ(agent.stop(), 0);
}

TEST(ResponseEndToEnd, CancelAndAgentStopMidTestLeaveNoThreadRunning) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    AgentProcess agent(a);
    ASSERT_TRUE(agent.ready());
    const std::string longTest =
        "/response?remoteComputer=127.0.0.1&testSize=100&repeatCount=100000&pause=50&timeLimit=60"
        "&refreshInterval=5&format=xml";
    // Without refresh=false the answer comes at once.
    EXPECT_NE(httpGet(a, longTest).find("/results?id=1&format=xml"), std::string::npos);
    EXPECT_EQ(httpGet(a, "/cancel?id=1").substr(0, 4), "OK\r\n");
    std::string document;
    for (int i = 0; i < 100; ++i) {  // bounded: about ten seconds
        document = httpGet(a, "/results?id=1&format=xml");
        if (element(document, "done") == "1") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(element(document, "done"), "1") << document;
    EXPECT_NE(document.find("This test was cancelled by the user."), std::string::npos) << document;

    // A second test still running when the agent is told to stop.
    EXPECT_NE(httpGet(a, longTest).find("/results?id=2&format=xml"), std::string::npos);
    auto stopAt = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(12));
    EXPECT_FALSE(agent.killedAtStop());
    EXPECT_NE(agent.console().find("All threads shut down gracefully."), std::string::npos)
        << agent.console();
}

class TwoAgents : public LabAgents {
protected:
    void start(const Impairment& eachWay) { startThroughRelay(RelayConfig::both(eachWay)); }
};

// Every probe back and the latency the path's delay: 10 ms each way, and
// 100 ms each way with a probe every 50 ms, where four probes are always on
// their way and the last ones still are when the writer is done.
TEST_F(TwoAgents, TenMillisecondsEachWayIsTheLatencyAndRepliesInFlightAtTheLastProbeAreNotLost) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("curl", "curl");
    TimingLock timing;
    struct Case {
        double delayMs;
        int probes;
        double tolerance;
    } cases[] = {{10, 50, 1.0}, {100, 20, 2.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.delayMs) + " ms each way");
        Impairment path;
        path.delayMs = c.delayMs;
        start(path);
        ResponseRun run = runResponseTest(a_, b_.address(), c.probes, 50, 30);
        expectComplete(run, c.probes);
        EXPECT_EQ(element(run.document, "received"), std::to_string(c.probes)) << run.document;
        EXPECT_EQ(lossText(run.document), "0.0") << run.document;
        double latency = latencyOf(run.document);
        EXPECT_NEAR(latency, c.delayMs, c.tolerance) << run.document;
        std::printf("%.0f ms each way, 50 ms pause: reported latency %.3f ms, loss %s%%\n",
                    c.delayMs, latency, lossText(run.document).c_str());
    }
}

TEST_F(TwoAgents, LossReportedIsWhatReallyCameBack) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("curl", "curl");
    Impairment path;
    path.loss = 0.05;
    start(path);
    constexpr int kProbes = 400;
    ResponseRun run = runResponseTest(a_, b_.address(), kProbes, 50, 60);
    expectComplete(run, kProbes);
    int back = progressRows(run.page);
    EXPECT_EQ(element(run.document, "received"), std::to_string(back));
    char expected[32];
    std::snprintf(expected, sizeof expected, "%2.1f", (kProbes - back) * 100.0 / kProbes);
    EXPECT_EQ(lossText(run.document), expected) << run.document;
    // 5% each way loses about one probe in ten; the relay says what it dropped.
    RelayStats stats = relay_.stats();
    EXPECT_GT(stats.aToB.dropped + stats.bToA.dropped, 0u);
    EXPECT_LT(back, kProbes);
    EXPECT_GT(back, kProbes * 3 / 4);
    std::printf(
        "5%% loss each way: %d of %d probes back, reported loss %s%% (relay dropped %llu + %llu)\n",
        back, kProbes, lossText(run.document).c_str(),
        static_cast<unsigned long long>(stats.aToB.dropped),
        static_cast<unsigned long long>(stats.bToA.dropped));
}

}  // namespace
}  // namespace trellon::netlab
