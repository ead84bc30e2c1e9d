// The bandwidth run command: its checks and their order, the test bytes and
// their units, programs held to the form's bounds, the page sent back with
// the submitted unit selected again, and a real test of the agent against
// its own data sink.
#include "commands/run_bandwidth_command.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "commands/pages_fixture.h"
#include "http/http_request.h"
#include "lib/thread.h"
#include "nettests/bandwidth_test_thread.h"
#include "nettests/remote_agent_status.h"
#include "results/test_log.h"
#include "results/test_result.h"
#include "results/xml_check.h"
#include "support/bandwidth_helpers.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

const std::string kNumber = "<p>Please enter a number for the test file size.<p>";
const std::string kSize = "<p>Please enter a test size between 1 byte and  1 gigabyte.</p>";
const std::string kTimeNumber = "<p>Please enter number for the time limit.</p>";
const std::string kTime = "<p>Please enter a time limit between 1 and 60 seconds.</p>";
const std::string kReportNumber = "<p>Please enter number for the list progress interval.</p>";
const std::string kReport =
    "<p>Please enter a list progress interval between 1 and 60 seconds.</p>";
const std::string kRefresh =
    "<p>Please enter time to wait before refreshing the screen between 1 and 60 seconds.</p>";

std::string withoutLineEnds(std::string body) {
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
    return body;
}

std::string escaped(const std::string& html) {
    std::string text;
    for (char c : html) text += c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    return text;
}

class RunBandwidthCommandTest : public PagesTest {
protected:
    void SetUp() override {
        baseline_ = Thread::liveThreadCount();
        PagesTest::SetUp();
        sink_ = std::make_unique<DataSinkListener>();
        agent().serverTcpPort = sink_->port();
        setAgentControlPortForTests(server_->port());
        emptyRemoteAgentCache();
    }
    void TearDown() override {
        sink_.reset();
        setAgentControlPortForTests(kAgentControlPort);
        emptyRemoteAgentCache();
        PagesTest::TearDown();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    // A later value of a repeated name is ignored, so the changes go first.
    static std::string query(const std::string& changes) {
        return "/bandwidth?" + changes +
               "&remoteComputer=127.0.0.1&testSize=1&testSizeUnits=M+Bytes&timeLimit=10"
               "&reportInterval=1&refreshInterval=5&diffservcodepoint=Off&l2priority=Off";
    }
    std::shared_ptr<TestResult> record(int id) { return TestLog::instance()->findTestResult(id); }

    std::unique_ptr<DataSinkListener> sink_;
    int baseline_ = 0;
};

TEST_F(RunBandwidthCommandTest, EachFailedCheckSendsTheUserBackWithItsMessagesInOrder) {
    struct Case {
        std::string changes;
        std::vector<std::string> messages;
    } cases[] = {
        {"testSize=0", {kSize}},
        {"testSize=12a", {kNumber, kSize}},
        {"testSize=1001", {kSize}},  // M Bytes: past a gigabyte
        {"testSizeUnits=G+Bytes", {kSize}},
        {"testSizeUnits=", {kSize}},
        {"timeLimit=0", {kTime}},
        {"timeLimit=61", {kTime}},
        {"timeLimit=x", {kTimeNumber, kTime}},
        {"reportInterval=0", {kReport}},
        {"reportInterval=61", {kReport}},
        {"reportInterval=", {kReportNumber, kReport}},
        {"refreshInterval=61", {kRefresh}},
        {"testSize=0&timeLimit=0&reportInterval=61&refreshInterval=0",
         {kSize, kTime, kReport, kRefresh}},
    };
    for (const Case& c : cases) {
        const std::string path = query("format=html&" + c.changes);
        SCOPED_TRACE(path);
        HttpReply reply = get(path);
        EXPECT_EQ(reply.status(), 200);
        std::string page = reply.body();
        EXPECT_NE(page.find("<form method=\"GET\" action=\"bandwidth\">"), std::string::npos);
        std::size_t at = 0;
        for (const std::string& message : c.messages) {
            std::size_t found = page.find(message, at);
            EXPECT_NE(found, std::string::npos) << message;
            if (found != std::string::npos) at = found + 1;
        }
        EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));
    }
    EXPECT_EQ(TestLog::instance()->count(), 0);
    EXPECT_EQ(agent().testsCreated.load(), 0);
}

TEST_F(RunBandwidthCommandTest, TheSentBackPageSelectsTheSubmittedUnitAgain) {
    for (const char* unit : {"Bytes", "K Bits", "K Bytes", "M Bits", "M Bytes"}) {
        std::string plus = unit;
        for (char& c : plus)
            if (c == ' ') c = '+';
        HttpReply reply = get(query("format=html&timeLimit=0&testSizeUnits=" + plus));
        std::string page = reply.body();
        EXPECT_NE(page.find(std::string("<option SELECTED>") + unit + "</option>"),
                  std::string::npos)
            << unit;
        int selected = 0;
        for (const char* other : {"Bytes", "K Bits", "K Bytes", "M Bits", "M Bytes"})
            if (page.find(std::string("<option SELECTED>") + other + "</option>") !=
                std::string::npos)
                ++selected;
        EXPECT_EQ(selected, 1) << unit;
        EXPECT_NE(page.find("name=\"timeLimit\" value=\"0\""), std::string::npos);
    }
}

TEST_F(RunBandwidthCommandTest, ProgramsAreSparedThePageButNotTheBounds) {
    struct Case {
        std::string changes;
        std::vector<std::string> messages;
    } cases[] = {
        {"testSize=2000", {kSize}},
        // Far past the int range: stops at its limit, never wraps into range.
        {"testSize=99999999999999", {kSize}},
        {"testSizeUnits=Bits", {kSize}},
        {"timeLimit=100000", {kTime}},
        {"reportInterval=0", {kReport}},
    };
    for (const std::string format : {"xml", "text"}) {
        for (const Case& c : cases) {
            const std::string path = query("format=" + format + "&" + c.changes);
            SCOPED_TRACE(path);
            HttpReply reply = get(path);
            ASSERT_EQ(reply.status(), 200);
            std::string body = withoutLineEnds(reply.body());
            EXPECT_EQ(body.find("<form"), std::string::npos);
            if (format == "xml") {
                EXPECT_TRUE(parsesAsXml(body));
                EXPECT_EQ(parsedElementText(body, "type"), "Bandwidth");
                EXPECT_NE(body.find("<message>" + escaped(c.messages[0]) + "</message>"),
                          std::string::npos)
                    << body;
            } else {
                EXPECT_NE(body.find("Please enter"), std::string::npos) << body;
            }
        }
    }
    EXPECT_EQ(TestLog::instance()->count(), 0);
    EXPECT_EQ(agent().testsCreated.load(), 0);
}

TEST_F(RunBandwidthCommandTest, TestBytesFromTheFiveUnits) {
    EXPECT_EQ(RunBandwidthCommand::testBytes(5, "M Bytes"), 5000000);
    EXPECT_EQ(RunBandwidthCommand::testBytes(5, "K Bits"), 625);
    EXPECT_EQ(RunBandwidthCommand::testBytes(5, "K Bytes"), 5000);
    EXPECT_EQ(RunBandwidthCommand::testBytes(5, "M Bits"), 625000);
    EXPECT_EQ(RunBandwidthCommand::testBytes(5, "Bytes"), 5);
    EXPECT_EQ(RunBandwidthCommand::testBytes(5, "m bytes"), -1);
    EXPECT_EQ(RunBandwidthCommand::testBytes(2147483647, "M Bytes"), 2147483647000000LL);

    for (const auto& [changes, bytes] : std::vector<std::pair<std::string, std::string>>{
             {"testSize=5&testSizeUnits=M+Bytes", "5000000"},
             {"testSize=5&testSizeUnits=K+Bits", "625"}}) {
        HttpReply reply = get(query("format=xml&refresh=false&" + changes));
        ASSERT_EQ(reply.status(), 200) << changes;
    }
    std::string host = trellon::hostName();
    ASSERT_TRUE(record(1));
    EXPECT_EQ(record(1)->getExplanation().value_or(""),
              "Copy data from <b>" + host +
                  "</b> to <b>127.0.0.1</b> and calculate how many bytes can be sent per "
                  "second.  Copy <b>5000000</b> bytes.  Spend no more than <b>10</b> seconds.  ");
    // Records 2 and 4 are the data sink's.
    ASSERT_TRUE(record(3));
    EXPECT_NE(record(3)->getExplanation().value_or("").find("Copy <b>625</b> bytes."),
              std::string::npos);
    EXPECT_NE(record(3)->getXmlExtras().find("<testFileSize>625</testFileSize>"),
              std::string::npos);
}

TEST_F(RunBandwidthCommandTest, AnXmlRunAgainstItselfGivesTheFiguresAndTheSinksRecord) {
    HttpReply reply =
        get(query("format=xml&refresh=false&testSize=4&diffservcodepoint=EF&verifyComputer=ON"));
    ASSERT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(),
              std::string("http://") + kBrowserHost + "/results?id=1&format=xml\r\n\r\n");
    auto r = record(1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->getState(), TestResult::kFinished);
    EXPECT_EQ(r->getTitle(), "Bandwidth Test");
    EXPECT_EQ(r->getTypeName(), "Bandwidth");
    EXPECT_EQ(r->getTestType(), TestResult::kBandwidthTest);
    EXPECT_EQ(r->getRunningImage(), "running_bandwidth.gif");
    EXPECT_EQ(r->getStoppedImage(), "stopped_bandwidth.gif");
    EXPECT_EQ(r->getColumnHeadings(), BandwidthTestThread::columnHeadings());
    EXPECT_EQ(r->getDscp(), 46);
    EXPECT_NE(r->getExplanation().value_or("").find("IP DSCP quality of service set to <b>46</b>"),
              std::string::npos);

    HttpReply result = get("/results?id=1&format=xml");
    std::string document = withoutLineEnds(result.body());
    EXPECT_TRUE(parsesAsXml(document));
    EXPECT_EQ(parsedElementText(document, "done"), "1");
    std::size_t at = 0;
    for (const char* element : {"<localName>",
                                "<localPort>",
                                "<localRole>Source<",
                                "<remoteRole>Destination<",
                                "<title>Bandwidth Test<",
                                "<URL>",
                                "<localComputer>",
                                "<localControlPort>",
                                "<remoteComputer>127.0.0.1<",
                                "<remoteControlPort>",
                                "<testFileSize>4000000<",
                                "<remotePort>",
                                "<start>",
                                "<timeLimit>10<",
                                "<remoteBandwidthPort>",
                                "<localBandwidthPort>",
                                "<bytesSent>",
                                "<bandwidth>",
                                "<finalResults>",
                                "<bytesPerSecond>",
                                "<totalBytesSent>",
                                "<time>",
                                "<portExplanation>",
                                "<finish>"}) {
        std::size_t found = document.find(element, at);
        ASSERT_NE(found, std::string::npos) << element << " after " << at << " in\n" << document;
        at = found;
    }
    EXPECT_NE(document.find("Sent TCP packets from port"), std::string::npos);
    EXPECT_NE(document.find("to remote port " + std::to_string(sink_->port())), std::string::npos);

    // The sink's record of the same bytes, finished.
    auto sunk = record(2);
    ASSERT_TRUE(sunk);
    ASSERT_TRUE(waitUntil([&] { return sunk->getState() == TestResult::kFinished; }, 5s));
    EXPECT_EQ(parsedElementText(sunk->xmlDocument(), "totalBytesSent"),
              parsedElementText(document, "totalBytesSent"));
}

// Reports the interval the test thread was given.
class WatchedBandwidthCommand : public RunBandwidthCommand {
public:
    mutable int reportInterval = -1;

protected:
    std::unique_ptr<TestThread> createThread(const RunTestRequest& run,
                                             std::shared_ptr<TestResult> record,
                                             bool deleteSelf) const override {
        reportInterval = run.reportInterval;
        return RunBandwidthCommand::createThread(run, std::move(record), deleteSelf);
    }
};

TEST_F(RunBandwidthCommandTest, AReportIntervalAboveTheTimeLimitRunsWithTheTimeLimit) {
    WatchedBandwidthCommand command;
    FormVariables form;
    form.decodeQuery(query("format=xml&refresh=false&reportInterval=30&timeLimit=10&testSize=1")
                         .substr(std::string("/bandwidth?").size()));
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::close(pair[1]);
    HttpRequest request(pair[0], server_->port(), false, "", &server_->server());
    ResponseBuffer out;
    command.execute(request, form, out);
    EXPECT_EQ(command.reportInterval, 10);
    EXPECT_NE(out.str().find("/results?id=1&format=xml"), std::string::npos) << out.str();
    ASSERT_TRUE(record(1));
    EXPECT_EQ(record(1)->getState(), TestResult::kFinished);
    EXPECT_EQ(record(1)->getRefreshInterval(), 5);
}

}  // namespace
}  // namespace trellon::testing
