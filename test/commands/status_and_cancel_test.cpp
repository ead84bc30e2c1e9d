// The status page's counters and ports, and the browser's cancel link.
#include <gtest/gtest.h>

#include <chrono>

#include "commands/pages_fixture.h"
#include "commands/results_page.h"
#include "commands/run_cancel_command.h"
#include "lib/thread.h"

#include "support/bandwidth_helpers.h"

namespace trellon::testing {
namespace {

using StatusPageTest = PagesTest;

std::string row(const std::string& heading, const std::string& value) {
    return heading + "</th><td>" + value + "</td>";
}

TEST_F(StatusPageTest, ShowsEveryCounterAndPort) {
    agent().serverTcpPort = 5045;
    agent().streamDestinationUdpPort = 5046;
    agent().reflectorResponsePort = 5047;
    agent().testsCreated = 7;
    agent().testsRunning = 2;
    agent().httpRequests = 31;
    agent().appendStatus(
        "Windows chose port 5047 for response time packet reflector port.\n<odd & name>\n");
    newRecord();
    newRecord();
    newRecord();

    HttpReply reply = get("/showstatus");
    ASSERT_EQ(reply.status(), 200);
    const std::string page = reply.body();
    EXPECT_NE(page.find("version <b>3.2</b>"), std::string::npos);
    EXPECT_NE(page.find("running since <b>" + agent().startTimeText() + "</b>"), std::string::npos);
    EXPECT_NE(page.find(row("Control port (web pages and agent requests, TCP)",
                            std::to_string(server().controlPort()))),
              std::string::npos);
    EXPECT_NE(page.find(row("Bandwidth data sink (TCP)", "5045")), std::string::npos);
    EXPECT_NE(page.find(row("Response time reflector (UDP)", "5047")), std::string::npos);
    EXPECT_NE(page.find(row("Streaming client, receives streams (UDP)", "5046")),
              std::string::npos);
    EXPECT_NE(page.find(row("Tests run since start", "7")), std::string::npos);
    EXPECT_NE(page.find(row("Tests in progress", "2")), std::string::npos);
    EXPECT_NE(page.find(row("Results kept in the test log", "3")), std::string::npos);
    EXPECT_NE(page.find(row("Web requests served", "32")), std::string::npos);  // this one too
    // The request threads of the server's pool are among the live threads.
    EXPECT_NE(page.find(row("Threads running", std::to_string(Thread::liveThreadCount()))),
              std::string::npos);
    EXPECT_NE(page.find("<pre>Windows chose port 5047 for response time packet reflector port.\n"
                        "&lt;odd &amp; name&gt;\n</pre>"),
              std::string::npos);
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));
}

using RunCancelTest = PagesTest;

TEST_F(RunCancelTest, CancelMarksTheTestAndSendsTheBrowserToItsResults) {
    auto record = newRecord();
    record->setState(TestResult::kRunning);
    const std::string id = std::to_string(record->getTestId());

    const auto before = std::chrono::steady_clock::now();
    HttpReply reply = get("/cancelCommand?id=" + id);
    EXPECT_GE(std::chrono::steady_clock::now() - before, RunCancelCommand::kSettleTime);
    EXPECT_EQ(reply.status(), 302);
    const std::string target =
        std::string("http://") + kBrowserHost + "/results?id=" + id + "&format=html";
    EXPECT_EQ(reply.header("Location"), target);
    EXPECT_NE(reply.body().find("URL=" + target + "\""), std::string::npos);
    EXPECT_TRUE(pageVariables(reply.body()).empty()) << joined(pageVariables(reply.body()));
    EXPECT_TRUE(record->isCancelled());

    // The test's thread then ends it; the results page says why.
    record->setFinalResults("Average travel time <b>3.000</b> milliseconds.");
    record->setState(TestResult::kFinished);
    ResponseBuffer page;
    ASSERT_TRUE(server().loadDocument("results.htm", page));
    testing::TcpPair pair = testing::loopbackPair();
    ASSERT_TRUE(pair.ok());
    pair.client.reset();
    HttpRequest request(pair.server.release(), server_->port(), false, "", &server());
    renderResultsPage(request, *record, record->getTestId(), page);
    EXPECT_NE(page.str().find("<br>This test was cancelled by the user."), std::string::npos);
}

TEST_F(RunCancelTest, UnknownOrMissingIdStillRedirects) {
    for (const char* query : {"?id=77", "?id=", "", "?id=abc"}) {
        SCOPED_TRACE(query);
        HttpReply reply = get(std::string("/cancelCommand") + query);
        EXPECT_EQ(reply.status(), 302);
        const std::string id = std::string(query) == "?id=77" ? "77" : "0";
        EXPECT_EQ(reply.header("Location"),
                  std::string("http://") + kBrowserHost + "/results?id=" + id + "&format=html");
    }
}

}  // namespace
}  // namespace trellon::testing
