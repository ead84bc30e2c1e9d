// The run-command bounds of the real trellon over HTTP: a program's flood
// request is refused with XML and starts nothing; at most 20 tests run at
// once; the record of every running test stays findable, and cancellable,
// however small the test log; and the results page of a test a program
// started refreshes after a second or more.
//
// The flood needs no peer and runs in this host's network. The long tests
// need a peer answering on the standard control port, so the agent runs in
// a lab host on its default ports and tests against itself (127.0.0.1).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "results/xml_check.h"
#include "support/agent_process.h"
#include "support/http_client.h"
#include "support/netlab.h"
#include "support/netlab_agent.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kMaxRunning = 20;
const std::string kBusy = "Trellon is already running 20 tests; try again when one has finished.";

std::string bodyOf(const std::string& reply) {
    std::size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? reply : reply.substr(at + 4);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

// xmllint reads the document from its standard input.
bool xmllintAccepts(const std::string& document, std::string* output) {
    TempDir dir;
    writeFile(dir.file("answer.xml"), document);
    return runCommand("xmllint --noout - < " + dir.file("answer.xml") + " 2>&1", output) == 0;
}

std::string statusRow(const std::string& heading, int value) {
    return heading + "</th><td>" + std::to_string(value) + "</td>";
}

TEST(RunCommandBoundsAgentTest, FloodRequestFromAProgramIsRefusedAndStartsNothing) {
    if (runCommand("command -v xmllint >/dev/null") != 0)
        GTEST_SKIP() << "xmllint is missing (Debian package libxml2-utils; scripts/install-deps "
                        "test installs it)";
    const int controlPort = freePort();
    ASSERT_GT(controlPort, 0);
    AgentProcess::Options options;
    options.settings = {{"controlPort", std::to_string(controlPort)},
                        {"serverTcpPort", "0"},
                        {"reflectorResponsePort", "0"},
                        {"streamDestinationUdpPort", "0"}};
    AgentProcess agent(options);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("accept() start.", 15s));

    HttpReply reply = httpExchange(
        controlPort, httpRequestText("GET",
                                     "/response?remoteComputer=127.0.0.1&testSize=65507&pause=0"
                                     "&repeatCount=2000000000&timeLimit=100000&format=xml"));
    ASSERT_EQ(reply.status(), 200) << reply.raw;
    EXPECT_NE(reply.header("Content-Type").find("text/xml"), std::string::npos);
    const std::string document = trimmed(reply.body());
    std::string lint;
    EXPECT_TRUE(xmllintAccepts(document, &lint)) << lint << "\n" << document;
    for (const char* words : {"Please enter a test packet size between 100 and 1500.",
                              "Please enter a pause between packets time between 50 and 10,000 "
                              "milliseconds.",
                              "Please enter a time limit between 1 and 60 seconds."}) {
        EXPECT_NE(document.find(words), std::string::npos) << words << "\n" << document;
    }

    // No record, no test thread: nothing was sent anywhere.
    HttpReply results =
        httpExchange(controlPort, httpRequestText("GET", "/results?id=1&format=xml"));
    EXPECT_NE(results.body().find("There is no test number <b>1</b>"), std::string::npos)
        << results.body();
    HttpReply status = httpExchange(controlPort, httpRequestText("GET", "/showstatus"));
    EXPECT_NE(status.body().find(statusRow("Tests run since start", 0)), std::string::npos);
    EXPECT_NE(status.body().find(statusRow("Results kept in the test log", 0)), std::string::npos);

    ASSERT_TRUE(agent.signal(SIGINT));
    EXPECT_EQ(agent.waitForExit(15s), 0);
}

// The agent in a lab host, asked from inside that host.
class LabAgent {
public:
    explicit LabAgent(const netlab::Host& host) : host_(host) {}

    std::string get(const std::string& path) const {
        std::string error;
        std::string reply =
            host_.tcpExchange("127.0.0.1", 4044, "GET " + path + " HTTP/1.0\r\n\r\n", 20s, &error);
        return reply.empty() ? "(no reply: " + error + ")" : reply;
    }

    // A long response test as a program asks for it (no refreshInterval);
    // its id, or 0 when refused (the answer then in *refusal).
    int startLongTest(std::string* refusal = nullptr) const {
        std::string reply =
            get("/response?remoteComputer=127.0.0.1&testSize=100&pause=500&repeatCount=1000"
                "&timeLimit=60&format=xml");
        static const std::regex address("/results\\?id=([0-9]+)&format=xml");
        std::smatch m;
        std::string body = bodyOf(reply);
        if (body.rfind("http://", 0) == 0 && std::regex_search(body, m, address))
            return std::stoi(m[1]);
        if (refusal != nullptr) *refusal = body;
        return 0;
    }

    bool done(int id) const {
        return get("/results?id=" + std::to_string(id) + "&format=xml").find("<done>1</done>") !=
               std::string::npos;
    }

private:
    netlab::Host host_;
};

TEST(RunCommandBoundsAgentTest, CapOnRunningTestsAndEveryRunningTestStaysCancellable) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    if (runCommand("command -v xmllint >/dev/null") != 0)
        GTEST_SKIP() << "xmllint is missing (Debian package libxml2-utils)";
    netlab::Lab lab;
    netlab::Host host = lab.addHost("a");
    netlab::AgentOptions options;
    options.settings = {{"testLogSize", "5"}};
    netlab::AgentProcess process(host, options);
    ASSERT_TRUE(process.ready());
    LabAgent agent(host);

    std::vector<int> ids;
    for (int i = 0; i < kMaxRunning; ++i) {
        std::string refusal;
        int id = agent.startLongTest(&refusal);
        ASSERT_EQ(id, i + 1) << refusal;
        ids.push_back(id);
    }

    // The 21st is refused, in XML for a program and on the input page for a browser.
    std::string refusal;
    EXPECT_EQ(agent.startLongTest(&refusal), 0);
    refusal = trimmed(refusal);
    std::string lint;
    EXPECT_TRUE(xmllintAccepts(refusal, &lint)) << lint << "\n" << refusal;
    EXPECT_NE(refusal.find(kBusy), std::string::npos) << refusal;
    std::string page = bodyOf(agent.get(
        "/response?remoteComputer=127.0.0.1&testSize=100&pause=500&repeatCount=10&timeLimit=60"
        "&refreshInterval=5&format=html"));
    EXPECT_NE(page.find(kBusy), std::string::npos);
    EXPECT_NE(page.find("<form method=\"GET\" action=\"response\">"), std::string::npos);

    // A program gave no refresh interval: while the test runs its page still
    // waits a second or more before it reloads.
    const std::string latest = "/results?id=" + std::to_string(ids.back()) + "&format=html";
    std::string results;
    auto until = std::chrono::steady_clock::now() + 20s;
    do {
        results = bodyOf(agent.get(latest));
        if (results.find("Test still running.") != std::string::npos) break;
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < until);
    EXPECT_NE(results.find("Test still running."), std::string::npos) << results.substr(0, 2000);
    std::smatch m;
    if (std::regex_search(results, m, std::regex("CONTENT=\"([0-9]+);URL=")))
        EXPECT_GE(std::stoi(m[1]), 1) << m[0];
    else
        ADD_FAILURE() << "no refresh line in\n" << results.substr(0, 2000);

    // Twenty records in a log of five: every one is found and cancelled.
    for (int id : ids)
        EXPECT_EQ(agent.get("/cancel?id=" + std::to_string(id)), "OK\r\n") << "test " << id;
    until = std::chrono::steady_clock::now() + 60s;
    for (int id : ids) {
        while (!agent.done(id) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(agent.done(id)) << "test " << id << " still runs after its cancel";
        EXPECT_NE(agent.get("/results?id=" + std::to_string(id) + "&format=xml")
                      .find("This test was cancelled by the user."),
                  std::string::npos);
    }

    // Their slots are back (each as its thread goes): five more start and
    // can be cancelled too, 25 in all.
    std::vector<int> more;
    until = std::chrono::steady_clock::now() + 20s;
    while (more.size() < 5 && std::chrono::steady_clock::now() < until) {
        int id = agent.startLongTest();
        if (id != 0)
            more.push_back(id);
        else
            std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(more.size(), 5u);
    EXPECT_EQ(more.front(), kMaxRunning + 1);
    for (int id : more)
        EXPECT_EQ(agent.get("/cancel?id=" + std::to_string(id)), "OK\r\n") << "test " << id;
    until = std::chrono::steady_clock::now() + 60s;
    for (int id : more) {
        while (!agent.done(id) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(agent.done(id)) << "test " << id;
    }

    // All ended: the log is back within its capacity once a new record comes.
    std::string finished = agent.get(
        "/response?remoteComputer=127.0.0.1&testSize=100&pause=50&repeatCount=1"
        "&timeLimit=5&format=xml&refresh=false");
    EXPECT_NE(finished.find("/results?id=26&format=xml"), std::string::npos) << finished;
    EXPECT_NE(agent.get("/showstatus").find(statusRow("Results kept in the test log", 5)),
              std::string::npos);
    EXPECT_NE(bodyOf(agent.get("/results?id=1&format=xml")).find("There is no test number"),
              std::string::npos);
    EXPECT_EQ(process.stop(), 0);
}

}  // namespace
}  // namespace trellon::testing
