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
#include "support/netlab.h"
#include "support/netlab_agent.h"

namespace trellon::netlab {
namespace {

constexpr int kControlPort = 4044;

struct ResponseRun {
    std::string address;   // the XML result's address, as the agent answered
    std::string document;  // the XML result
    std::string page;      // the HTML results page (its progress table has one row per reply)
};

std::string element(const std::string& document, const std::string& name) {
    std::smatch m;
    std::regex pattern("<" + name + ">([^<]*)</" + name + ">");
    return std::regex_search(document, m, pattern) ? m[1].str()
                                                   : std::string("(missing " + name + ")");
}

// The loss figure of the final sentence, as the agent wrote it ("10.0").
std::string lossText(const std::string& document) {
    std::smatch m;
    static const std::regex pattern("Lost &lt;b&gt;([0-9.]+)&lt;/b&gt; percent");
    return std::regex_search(document, m, pattern) ? m[1].str() : std::string("(no loss figure)");
}

double latencyOf(const std::string& document) {
    std::string text = element(document, "latency");
    try {
        return std::stod(text);  // "%8.3f": leading blanks are skipped
    } catch (...) {
        return -1;
    }
}

int progressRows(const std::string& page) {
    int rows = 0;
    for (std::size_t at = page.find("<tr>\n"); at != std::string::npos;
         at = page.find("<tr>\n", at + 1))
        ++rows;
    return rows;
}

std::string httpGet(const Host& from, const std::string& path) {
    std::string error;
    std::string reply =
        from.tcpExchange("127.0.0.1", kControlPort, "GET " + path + " HTTP/1.0\r\n\r\n",
                         std::chrono::seconds(90), &error);
    if (reply.empty()) return "(no reply: " + error + ")";
    // Agent-to-agent commands ("cancel") answer their body alone.
    if (reply.rfind("HTTP/", 0) != 0) return reply;
    std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? reply : reply.substr(body + 4);
}

// Runs the test from `from` against `remote` with curl, as a program would,
// and fetches the result it names.
ResponseRun runResponseTest(const Host& from, const std::string& remote, int repeat, int pause,
                            int timeLimit) {
    ResponseRun run;
    std::string url =
        "http://127.0.0.1:4044/response?remoteComputer=" + remote +
        "&testSize=100&repeatCount=" + std::to_string(repeat) + "&pause=" + std::to_string(pause) +
        "&timeLimit=" + std::to_string(timeLimit) + "&refreshInterval=5&format=xml&refresh=false";
    CommandResult curl =
        from.run("curl -s --max-time 120 '" + url + "'", std::chrono::seconds(150));
    EXPECT_TRUE(curl.ok()) << curl.output;
    // The address line, then the CR LF the server puts after every command's output.
    std::smatch m;
    static const std::regex line("^(http://[^\r\n]*/results\\?id=([0-9]+)&format=xml)\r\n");
    if (!std::regex_search(curl.output, m, line)) {
        ADD_FAILURE() << "no results address in: " << curl.output;
        return run;
    }
    run.address = m[1].str();
    std::string id = m[2].str();
    CommandResult xml = from.run("curl -s --max-time 30 '" + run.address + "'");
    EXPECT_TRUE(xml.ok()) << xml.output;
    run.document = xml.output;
    run.page = httpGet(from, "/results?id=" + id + "&format=html");
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

class TwoAgents : public ::testing::Test {
protected:
    void start(const Impairment& eachWay) {
        lab_ = std::make_unique<Lab>();
        a_ = lab_->addHost("a");
        b_ = lab_->addHost("b");
        link_ = lab_->connectThroughRelay(a_, b_, RelayConfig::both(eachWay));
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

    std::unique_ptr<Lab> lab_;
    Host a_, b_;
    RelayLink link_;
    std::unique_ptr<AgentProcess> agentA_, agentB_;
};

TEST_F(TwoAgents, TenMillisecondsEachWayIsTheReportedLatency) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("curl", "curl");
    TimingLock timing;
    Impairment path;
    path.delayMs = 10;
    start(path);
    ResponseRun run = runResponseTest(a_, b_.address(), 50, 50, 30);
    expectComplete(run, 50);
    EXPECT_EQ(element(run.document, "received"), "50");
    double latency = latencyOf(run.document);
    EXPECT_NEAR(latency, 10.0, 1.0) << run.document;
    EXPECT_EQ(lossText(run.document), "0.0");
    std::printf("10 ms each way: reported latency %.3f ms, loss %s%%\n", latency,
                lossText(run.document).c_str());
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
    RelayStats stats = link_.stats();
    EXPECT_GT(stats.aToB.dropped + stats.bToA.dropped, 0u);
    EXPECT_LT(back, kProbes);
    EXPECT_GT(back, kProbes * 3 / 4);
    std::printf(
        "5%% loss each way: %d of %d probes back, reported loss %s%% (relay dropped %llu + %llu)\n",
        back, kProbes, lossText(run.document).c_str(),
        static_cast<unsigned long long>(stats.aToB.dropped),
        static_cast<unsigned long long>(stats.bToA.dropped));
}

TEST_F(TwoAgents, RepliesInFlightAtTheLastProbeAreNotLost) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("curl", "curl");
    TimingLock timing;
    Impairment path;
    path.delayMs = 100;
    start(path);
    // A 200 ms round trip with a probe every 50 ms: four probes are always
    // on their way, the last ones still when the writer is done.
    ResponseRun run = runResponseTest(a_, b_.address(), 20, 50, 30);
    expectComplete(run, 20);
    EXPECT_EQ(element(run.document, "received"), "20") << run.document;
    EXPECT_EQ(lossText(run.document), "0.0") << run.document;
    double latency = latencyOf(run.document);
    EXPECT_NEAR(latency, 100.0, 2.0) << run.document;
    std::printf("100 ms each way, 50 ms pause: reported latency %.3f ms, loss %s%%\n", latency,
                lossText(run.document).c_str());
}

}  // namespace
}  // namespace trellon::netlab
