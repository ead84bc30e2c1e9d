#include "commands/run_response_command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "commands/run_response_fixture.h"
#include "commands/show_results_command.h"
#include "lib/thread.h"
#include "results/test_result.h"
#include "results/xml_check.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(RunResponseCommandTest, EachFailedCheckSendsTheUserBackWithItsMessage) {
    const std::string sizeRange = "<p>Please enter a test packet size between 100 and 1500.</p>";
    const std::string pauseRange =
        "<p>Please enter a pause between packets time between 50 and 10,000 milliseconds.</p>";
    const std::string refreshRange =
        "<p>Please enter time to wait before refreshing the screen between 1 and 60 seconds.</p>";
    const std::string timeRange = "<p>Please enter a time limit between 1 and 60 seconds.</p>";
    struct Case {
        std::string changes;
        std::vector<std::string> messages;
    } cases[] = {
        {"testSize=99", {sizeRange}},
        {"testSize=1501", {sizeRange}},
        {"testSize=12a", {"<p>Please enter a number for the test packet size.<p>", sizeRange}},
        {"pause=49", {pauseRange}},
        {"pause=10001", {pauseRange}},
        {"pause=", {"<p>Please enter a number for the pause between packets time.<p>", pauseRange}},
        {"refreshInterval=61", {refreshRange}},
        {"timeLimit=0", {timeRange}},
        {"timeLimit=61", {timeRange}},
        {"timeLimit=x", {"<p>Please enter number for the time limit.</p>", timeRange}},
        {"remoteComputer=no-such-host.invalid",
         {"The remote computer no-such-host.invalid could not be found."}},
    };
    for (const auto& c : cases) {
        std::string path = query(c.changes);
        HttpReply reply = get(path);
        EXPECT_EQ(reply.status(), 200) << path;
        for (const auto& message : c.messages)
            EXPECT_NE(reply.body().find(message), std::string::npos) << path;
        // The input page again, with the user's values.
        std::string remote =
            c.changes.rfind("remoteComputer=", 0) == 0 ? c.changes.substr(15) : "127.0.0.1";
        EXPECT_NE(reply.body().find("value=\"" + remote + "\""), std::string::npos) << path;
    }
    EXPECT_EQ(TestLog::instance()->count(), 0);

    agent().responseTimeLimit = 30;
    HttpReply reply = get(query("timeLimit=31"));
    EXPECT_NE(reply.body().find("<p>Please enter a time limit between 1 and 30 seconds.</p>"),
              std::string::npos);
}

TEST_F(RunResponseCommandTest, XmlFormatAnswersTheResultsAddress) {
    HttpReply reply = get(query("testSize=1500&format=xml&refresh=false"));
    ASSERT_EQ(reply.status(), 200);
    // The command's line, then the CR LF the server puts after every command's output.
    EXPECT_EQ(reply.body(),
              std::string("http://") + kBrowserHost + "/results?id=1&format=xml\r\n\r\n");
    auto r = record(1);
    ASSERT_TRUE(r);
    // refresh "false": the answer came after the test had ended.
    EXPECT_EQ(r->getState(), TestResult::kFinished);
    EXPECT_EQ(r->getPacketsReceived(), 3);
    EXPECT_NE(r->getXmlExtras().find("<payload>1500</payload>"), std::string::npos);

    // A request without a Host header gets the host name and control port.
    FormVariables form;
    form.decodeQuery(query("format=xml&refresh=FALSE").substr(10));
    std::string body = runDirect("response", form);
    EXPECT_EQ(body, "http://" + trellon::hostName() + ":" + std::to_string(server_->port()) +
                        "/results?id=2&format=xml\r\n");
}

TEST_F(RunResponseCommandTest, HtmlFormatRedirectsToTheResultsPage) {
    HttpReply reply = get(query("format=html"));
    EXPECT_EQ(reply.status(), 302);
    EXPECT_EQ(reply.header("Location"),
              std::string("http://") + kBrowserHost + "/results?id=1&format=html");
    EXPECT_NE(
        reply.body().find(std::string("http://") + kBrowserHost + "/results?id=1&format=html"),
        std::string::npos);
    EXPECT_TRUE(waitFinished(1));

    // Any other format: nothing but the test.
    reply = get(query("format=text&refresh=off"));
    EXPECT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(), "\r\n");
    ASSERT_TRUE(record(2));
    EXPECT_EQ(record(2)->getState(), TestResult::kFinished);
}

TEST_F(RunResponseCommandTest, TheRecordDescribesTheTest) {
    HttpReply reply =
        get(query("format=xml&refresh=false&diffservcodepoint=EF&l2priority=3&verifyComputer=ON"));
    ASSERT_EQ(reply.status(), 200);
    auto r = record(1);
    ASSERT_TRUE(r);
    std::string host = trellon::hostName();
    EXPECT_EQ(r->getExplanation().value_or(""),
              "Send <b>100</b> byte packets from <b>" + host +
                  "</b> to a packet reflector running on <b>127.0.0.1</b> which will send them "
                  "back.  Compute "
                  "latency as the round trip time divided by 2.  <br>Repeat this <b>3</b> times.  "
                  "Spend no more "
                  "than <b>15</b> seconds.  <br>IP DSCP quality of service set to <b>46</b>. "
                  "Ethernet 802.1p "
                  "priority set to <b>3</b>.<br>Verify that the remote computer is running Trellon "
                  "first.");
    EXPECT_EQ(r->getTitle(), "Round Trip Response Time Test");
    EXPECT_EQ(r->getTypeName(), "Response");
    EXPECT_EQ(r->getTestType(), TestResult::kResponseTest);
    EXPECT_EQ(r->getDscp(), 46);
    EXPECT_EQ(r->get8021p(), 3);
    EXPECT_EQ(r->getRefreshInterval(), 5);
    EXPECT_EQ(r->getRunningImage(), "running_response.gif");
    EXPECT_EQ(r->getStoppedImage(), "stopped_response.gif");
    // The six headings, then travel time, hold and average in microseconds.
    EXPECT_EQ(r->getColumnHeadings().size(), 9u);
    EXPECT_NE(r->getRerunUrl().find("/response?"), std::string::npos);
    EXPECT_EQ(agent().lastRemoteComputer(), "127.0.0.1");
    // The control port of the remote agent's cached status (4044 outside tests).
    EXPECT_NE(
        r->getXmlExtras().find("<remoteControlPort>" + std::to_string(agentControlPort()) + "<"),
        std::string::npos);

    std::string xml = r->getXmlExtras();
    std::size_t at = 0;
    for (const char* element : {"<localName>",
                                "<localPort>",
                                "<localRole>Source<",
                                "<remoteRole>Packet reflector<",
                                "<title>",
                                "<URL>",
                                "<localComputer>",
                                "<localControlPort>",
                                "<remoteComputer>127.0.0.1<",
                                "<remoteControlPort>",
                                "<payload>100<",
                                "<repeat>3<",
                                "<pause>50<",
                                "<timeLimit>15<",
                                "<finalResults>",
                                "<latency>",
                                "<sent>3<",
                                "<received>3<",
                                "<portExplanation>",
                                "<finish>"}) {
        std::size_t found = xml.find(element, at);
        ASSERT_NE(found, std::string::npos) << element << " after offset " << at << " in\n" << xml;
        at = found;
    }
}

TEST_F(RunResponseCommandTest, ReportAndRefreshIntervalsAreClampedToTheTimeLimit) {
    get(query("format=xml&refresh=false&timeLimit=3&refreshInterval=10"));
    ASSERT_TRUE(record(1));
    EXPECT_EQ(record(1)->getRefreshInterval(), 3);
}

TEST_F(RunResponseCommandTest, ResultsAnswerTheXmlDocumentOrNoData) {
    HttpReply run = get(query("format=xml&refresh=false&repeatCount=4"));
    ASSERT_EQ(run.status(), 200);
    HttpReply reply = get("/results?id=1&format=xml");
    ASSERT_EQ(reply.status(), 200);
    EXPECT_NE(reply.header("Content-Type").find("text/xml"), std::string::npos);
    std::string document = reply.body();
    // The document, its CR LF, and the server's CR LF after every command's output.
    ASSERT_GE(document.size(), 13u);
    EXPECT_EQ(document.substr(document.size() - 13), "</Result>\r\n\r\n");
    EXPECT_TRUE(parsesAsXml(document.substr(0, document.size() - 4)));
    EXPECT_NE(document.find("<done>1</done>"), std::string::npos);
    EXPECT_NE(document.find("<sent>4</sent>"), std::string::npos);
    EXPECT_NE(document.find("<received>4</received>"), std::string::npos);
    EXPECT_NE(document.find("<latency>"), std::string::npos);
    EXPECT_NE(document.find("Sent UDP packets from port"), std::string::npos);

    auto start = std::chrono::steady_clock::now();
    reply = get("/results?id=777&format=xml");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);  // the retries
    EXPECT_EQ(reply.status(), 200);
    EXPECT_NE(reply.body().find("777"), std::string::npos);
    EXPECT_EQ(reply.body().find("$testId"), std::string::npos);
    EXPECT_EQ(reply.body().find("<Result>"), std::string::npos);

    // The browser's page of the same record.
    reply = get("/results?id=1&format=html");
    EXPECT_EQ(reply.status(), 200);
    EXPECT_NE(reply.body().find("Test finished."), std::string::npos);
}

}  // namespace
}  // namespace trellon::testing
