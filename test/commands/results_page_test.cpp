// The results and debug pages of a record in each of its states: refresh,
// countdown and cancel link while it runs, final figures and the run-again
// link once finished, escaping of what the user typed, and no variable left.
#include "commands/results_page.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "commands/page_support.h"
#include "commands/pages_fixture.h"
#include "platform/clock.h"

namespace trellon::testing {
namespace {

class ResultsPageTest : public PagesTest {
protected:
    // The page the record gives with this template, over a request without
    // a Host header (so the links are built on the server's own address).
    std::string render(const TestResult& record, const std::string& templateName = "results.htm") {
        ResponseBuffer page;
        if (!server().loadDocument(templateName, page)) return "template missing";
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return "socketpair failed";
        ::close(pair[1]);
        HttpRequest request(pair[0], server_->port(), false, "", &server());
        base_ = request.baseUrl();
        renderResultsPage(request, record, record.getTestId(), page);
        return page.str();
    }

    // A response test record as the run command leaves it.
    std::shared_ptr<TestResult> responseRecord(const std::string& remote = "reflector.test") {
        auto record = newRecord();
        record->setTestType(TestResult::kResponseTest);
        record->setTitle("Round Trip Response Time Test");
        record->setTypeName("Response");
        record->setLocalRole("Source");
        record->setRemoteRole("Packet reflector");
        record->setExplanation("Send <b>100</b> byte packets.");
        record->setRunningImage("running_response.gif");
        record->setStoppedImage("stopped_response.gif");
        record->setRemoteComputer(remote);
        record->setRemotePort(4044);
        record->setRerunUrl("http://" + server().hostName() + ":4044/response?remoteComputer=" +
                            remote + "&testSize=100&format=html");
        record->setColumnHeadings(
            {"Report", "Min:Sec", "Packets<br>Sent / Received", "Travel time<br>(Each way)"});
        return record;
    }

    std::string resultsUrl(int id) const {
        return base_ + "/results?id=" + std::to_string(id) + "&format=html";
    }

    std::string base_;
};

void expectNoVariables(const std::string& page) {
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));
}

TEST_F(ResultsPageTest, RunningTestRefreshesAtItsIntervalAndCountsDown) {
    auto record = responseRecord();
    record->setRefreshInterval(5);
    record->setTimeLimit(15);
    record->setState(TestResult::kRunning);
    // 12 seconds left, read in one second of the clock (a tick between the
    // start time and the rendering would make it 11; try again then).
    std::string page;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::int64_t now = platform::nowSeconds();
        record->setStartTime(now - 3);
        page = render(*record);
        if (platform::nowSeconds() == now) break;
    }
    const int id = record->getTestId();
    EXPECT_NE(page.find("<META HTTP-EQUIV=\"REFRESH\" CONTENT=\"5;URL=" + resultsUrl(id) + "\">"),
              std::string::npos)
        << page.substr(0, 600);
    EXPECT_NE(page.find("Test still running.<br>Time out in 12 seconds."), std::string::npos);
    EXPECT_NE(page.find("data-countdown=\"5\""), std::string::npos);
    EXPECT_NE(page.find("<body onLoad=\"startCountdown()\""), std::string::npos);
    EXPECT_NE(page.find("<A HREF=" + resultsUrl(id) + ">Refresh now</A>"), std::string::npos);
    EXPECT_NE(page.find("<A HREF=\"" + base_ + "/cancelCommand?id=" + std::to_string(id) +
                        "\"><img alt=\"Stop\""),
              std::string::npos);
    EXPECT_NE(page.find("src=\"running_response.gif\""), std::string::npos);
    EXPECT_EQ(page.find("Test finished."), std::string::npos);
    EXPECT_EQ(page.find("Run test again"), std::string::npos);
    expectNoVariables(page);

    // Past the time limit: 0 seconds, and a refresh after 5 whatever the interval.
    record->setRefreshInterval(20);
    record->setStartTime(platform::nowSeconds() - 100);
    page = render(*record);
    EXPECT_NE(page.find("CONTENT=\"5;URL=" + resultsUrl(id) + "\""), std::string::npos);
    EXPECT_NE(page.find("Time out in 0 seconds."), std::string::npos);
    expectNoVariables(page);
}

// A record without an interval (a program's request gave none) must not make
// the page reload itself without pause.
TEST_F(ResultsPageTest, RunningTestRefreshesAfterAtLeastOneSecond) {
    auto record = responseRecord();
    record->setTimeLimit(60);
    record->setState(TestResult::kRunning);
    record->setStartTime(platform::nowSeconds());
    for (int interval : {0, -3}) {
        SCOPED_TRACE(interval);
        record->setRefreshInterval(interval);
        for (const char* templateName : {"results.htm", "debug.htm"}) {
            const std::string page = render(*record, templateName);
            EXPECT_NE(page.find("CONTENT=\"1;URL=" + resultsUrl(record->getTestId()) + "\""),
                      std::string::npos)
                << templateName;
            EXPECT_NE(page.find("data-countdown=\"1\""), std::string::npos) << templateName;
        }
    }
}

TEST_F(ResultsPageTest, EarlyAndWaitingStatesRefreshWithTheirTexts) {
    struct Case {
        int state;
        int countdown;
        const char* text;
    };
    const Case cases[] = {
        {TestResult::kNotStarted, 3, "(Test not started yet.)"},
        {TestResult::kStarting, 3, "(Test starting, no results yet.)"},
        {TestResult::kWaitingForFinalData, 5, "(Test finished, waiting for final data.)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto record = responseRecord();
        if (c.state != TestResult::kNotStarted) record->setState(c.state);
        for (const char* templateName : {"results.htm", "debug.htm"}) {
            const std::string page = render(*record, templateName);
            EXPECT_NE(page.find(c.text), std::string::npos) << templateName;
            EXPECT_NE(page.find("CONTENT=\"" + std::to_string(c.countdown) + ";URL="),
                      std::string::npos);
            EXPECT_NE(page.find("data-countdown=\"" + std::to_string(c.countdown) + "\""),
                      std::string::npos);
            expectNoVariables(page);
        }
    }
}

TEST_F(ResultsPageTest, FinishedTestShowsFiguresPortsAndRunAgainWithoutRefresh) {
    auto record = responseRecord();
    record->setState(TestResult::kRunning);
    record->setFinalResults("Average travel time <b>4.000</b> milliseconds.");
    record->setPortExplanation("<br>Sent UDP packets from port 40000 to remote port 4047.");
    record->addRow(platform::nowSeconds(), {"5 / 5", "4 ms"});
    record->setState(TestResult::kFinished);

    const std::string page = render(*record);
    EXPECT_NE(page.find("Test finished."), std::string::npos);
    EXPECT_NE(page.find("<div class=\"final\">Average travel time <b>4.000</b> milliseconds."
                        "<br>Sent UDP packets from port 40000 to remote port 4047.</div>"),
              std::string::npos);
    const std::string rerun =
        base_ + "/response?remoteComputer=reflector.test&amp;testSize=100&amp;format=html";
    EXPECT_NE(page.find("Run test again<br>(or bookmark it for later)<br><A HREF=\"" + rerun +
                        "\">Response test from " + server().hostName() + " to reflector.test</A>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("data-url=\"" + rerun + "\""), std::string::npos);
    EXPECT_NE(page.find("<A HREF=\"javascript:addbookmark();\">Bookmark test for later</a>"),
              std::string::npos);
    EXPECT_NE(page.find("<A HREF=\"/\">Do another test</A>"), std::string::npos);
    EXPECT_NE(page.find("src=\"stopped_response.gif\""), std::string::npos);
    EXPECT_NE(page.find("<td>5 / 5</td>"), std::string::npos);
    EXPECT_EQ(page.find("<META"), std::string::npos);
    EXPECT_EQ(page.find("REFRESH"), std::string::npos);
    EXPECT_EQ(page.find("cancelCommand"), std::string::npos);
    EXPECT_EQ(page.find("startCountdown()\""), std::string::npos);
    EXPECT_NE(page.find("<a href=\"" + base_ + "/debug?id=" + std::to_string(record->getTestId()) +
                        "\">"),
              std::string::npos);
    expectNoVariables(page);

    const std::string debug = render(*record, "debug.htm");
    EXPECT_NE(debug.find("Test finished."), std::string::npos);
    EXPECT_NE(debug.find("<div class=\"output\"><PRE></PRE></div>"), std::string::npos);
    EXPECT_NE(debug.find("HTML: false"), std::string::npos);
    expectNoVariables(debug);
}

TEST_F(ResultsPageTest, WhatTheUserTypedIsShownAsText) {
    auto record = responseRecord("<img src=x onerror=alert(1)>$title");
    record->setState(TestResult::kFinished);
    for (const char* templateName : {"results.htm", "debug.htm"}) {
        const std::string page = render(*record, templateName);
        EXPECT_EQ(page.find("<img src=x"), std::string::npos) << templateName;
        EXPECT_NE(page.find("&lt;img src=x onerror=alert(1)&gt;&#36;title, port 4044"),
                  std::string::npos);
        EXPECT_EQ(page.find("<A HREF=\"" + base_ + "/response?remoteComputer=<img"),
                  std::string::npos);
        expectNoVariables(page);
    }
}

TEST_F(ResultsPageTest, OutputTextGoesIntoTheMessageRowAndTheDebugBlocks) {
    auto record = responseRecord();
    record->addMessage("<p>The remote agent did not answer.</p>");
    record->appendStderr("a<b");
    record->setState(TestResult::kFinished);
    const std::string page = render(*record);
    EXPECT_NE(
        page.find("<tr><td class=\"messages\" ><p>The remote agent did not answer.</p></td><tr>"),
        std::string::npos);
    const std::string debug = render(*record, "debug.htm");
    EXPECT_NE(debug.find("<PRE><p>The remote agent did not answer.</p></PRE>"), std::string::npos);
    EXPECT_NE(debug.find("<PRE>a&lt;b</PRE>"), std::string::npos);
}

TEST(ResultsPageTextTest, TimeStampIsTheLongDateWithBothClocks) {
    const char* saved = getenv("TZ");
    const std::string previous = saved ? saved : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(longDateTimeText(795175500), "Tuesday, March 14, 1995 10:05:00 AM   (10:05:00)");
    EXPECT_EQ(longDateTimeText(795218707), "Tuesday, March 14, 1995 10:05:07 PM   (22:05:07)");
    if (saved) {
        setenv("TZ", previous.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(ResultsPageTextTest, RebasedAddressesKeepPathAndQuery) {
    EXPECT_EQ(rebaseUrl("http://b:1", "http://a:0/results?id=3&format=html"),
              "http://b:1/results?id=3&format=html");
    EXPECT_EQ(rebaseUrl("http://b:1", "https://a"), "http://b:1/");
    EXPECT_EQ(rebaseUrl("http://b:1", "/debug?id=2"), "http://b:1/debug?id=2");
    EXPECT_EQ(rebaseUrl("http://b:1", ""), "");
    EXPECT_EQ(parseTestId("17"), 17);
    EXPECT_EQ(parseTestId("17x"), 17);
    EXPECT_EQ(parseTestId("-3"), 0);
    EXPECT_EQ(parseTestId("99999999999"), 0);
}

}  // namespace
}  // namespace trellon::testing
