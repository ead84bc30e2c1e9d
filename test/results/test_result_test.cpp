#include "results/test_result.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "lib/socket_exception.h"
#include "results/xml_check.h"
#include "support/test_support.h"

namespace trellon {
namespace {

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++n;
    return n;
}

class TestResultTest : public ::testing::Test {
protected:
    TestResult record{7, LocalEndpoint{"here", "10.0.0.1", 4044}};
};

TEST_F(TestResultTest, FinishingTwiceAddsTheFinishElementsOnce) {
    record.setState(TestResult::kRunning);
    EXPECT_EQ(record.getFinishTime(), 0);
    record.setState(TestResult::kFinished);
    std::int64_t finished = record.getFinishTime();
    EXPECT_GT(finished, 0);
    record.setState(TestResult::kFinished);
    EXPECT_EQ(record.getFinishTime(), finished);
    std::string xml = record.getXmlExtras();
    EXPECT_EQ(occurrences(xml, "<finish>"), 1);
    EXPECT_EQ(occurrences(xml, "<finishTime>" + std::to_string(finished) + "</finishTime>"), 1);
    // The C library's 24-character date, without its line end.
    std::size_t at = xml.find("<finish>") + 8;
    EXPECT_EQ(xml.find("</finish>", at) - at, 24u);
}

TEST_F(TestResultTest, StartTimeAndCountdown) {
    EXPECT_EQ(record.secondsRemaining(5000), -1);
    record.setTimeLimit(60);
    record.setStartTime(1000000);
    EXPECT_EQ(record.secondsRemaining(1000012), 48);
    EXPECT_EQ(record.secondsRemaining(1000070), -10);
    std::string xml = record.getXmlExtras();
    EXPECT_NE(xml.find("    <timeLimit>60</timeLimit>\n    <start>"), std::string::npos);
    EXPECT_NE(xml.find("</start>\n    <startTime>1000000</startTime>\n"), std::string::npos);
    EXPECT_EQ(localTimeText(1000000).size(), 24u);
}

TEST_F(TestResultTest, RowsFromLinesHaveFourCells) {
    struct Case {
        std::string line;
        std::vector<std::string> cells;
    };
    const Case cases[] = {
        {"a\tb", {"a", "b", "", ""}},     {"a\tb\tc\td\te", {"a", "b", "c", "d"}},
        {"only", {"only", "", "", ""}},   {"", {"", "", "", ""}},
        {"a\t\t\td", {"a", "", "", "d"}}, {"a\tb\tc\td\t", {"a", "b", "c", "d"}},
    };
    int index = 0;
    for (const auto& c : cases) {
        record.addRowFromLine(100 + index, c.line);
        auto row = record.getRow(index);
        ASSERT_TRUE(row.has_value());
        EXPECT_EQ(row->time, 100 + index);
        EXPECT_EQ(row->cellCount(), 4);
        EXPECT_EQ(row->cells, c.cells) << "line " << c.line;
        ++index;
    }
    EXPECT_EQ(record.getRowCount(), index);
    EXPECT_FALSE(record.getRow(index).has_value());
    EXPECT_FALSE(record.getRow(-1).has_value());
}

TEST_F(TestResultTest, OutputIsEscapedUnlessAlreadyHtml) {
    record.appendStdout("a<b\r\xE9");
    EXPECT_EQ(record.getOutputText(), "a&lt;b &eacute;");
    record.appendStdout("&");
    EXPECT_EQ(record.getOutputText(), "a&lt;b &eacute;&amp;");  // a second read sees the append
    record.setStdoutIsHtml(true);
    record.appendStdout("<i>x</i>");
    EXPECT_EQ(record.getOutputText(), "a&lt;b &eacute;&amp;<i>x</i>");

    record.appendStderr("x>y\r\n");
    EXPECT_EQ(record.getErrorText(), "x&gt;y\r\n");
    record.setStderrIsHtml(true);
    record.appendStderr("<b>");
    EXPECT_EQ(record.getErrorText(), "x&gt;y\r\n<b>");
}

TEST_F(TestResultTest, FinalResultsCarryFullPeriodThenCancelled) {
    record.setRanFullPeriod();
    record.setCancelled();
    record.setFinalResults("Done <b>1</b>.");
    EXPECT_EQ(record.getFinalResults(),
              "Done <b>1</b>.<br>Test ran entire time period you asked for.<br>This test was "
              "cancelled by the user.");
    EXPECT_NE(record.getXmlExtras().find(
                  "    <finalResults>Done &lt;b&gt;1&lt;/b&gt;.&lt;br&gt;Test ran entire time "
                  "period you asked for.&lt;br&gt;This test was cancelled by the "
                  "user.</finalResults>\n"),
              std::string::npos)
        << record.getXmlExtras();

    TestResult plain(8, LocalEndpoint{"here", "here", 4044});
    plain.setFinalResults("x");
    EXPECT_EQ(plain.getFinalResults(), "x");
}

TEST_F(TestResultTest, EndingWithAReasonGivesTheFinalTextOnceAndKeepsFigures) {
    record.setState(TestResult::kStarting);
    EXPECT_FALSE(record.hasFinalResults());
    record.endWithReason("Sorry, could not find <b>x</b>");
    record.endWithReason("a second reason");
    EXPECT_EQ(record.getState(), TestResult::kFinished);
    EXPECT_TRUE(record.hasFinalResults());
    EXPECT_EQ(record.getFinalResults(), "Sorry, could not find <b>x</b>");
    std::string xml = record.xmlDocument();
    EXPECT_EQ(occurrences(xml, "<finalResults>"), 1) << xml;
    EXPECT_NE(xml.find("<finalResults>Sorry, could not find &lt;b&gt;x&lt;/b&gt;</finalResults>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<done>1</done>"), std::string::npos);

    TestResult measured(8, LocalEndpoint{"here", "here", 4044});
    measured.setFinalResults("Lost <b>0.0</b> percent");
    measured.endWithReason("an exception after the figures");
    EXPECT_EQ(measured.getFinalResults(), "Lost <b>0.0</b> percent");
    EXPECT_EQ(measured.getState(), TestResult::kFinished);
}

TEST_F(TestResultTest, ResponseFiguresAreNeverNegativeOrInflated) {
    struct Case {
        std::int64_t roundTripUs, heldUs;
        const char* latency;
        const char* held;
    } cases[] = {
        {11000, 2000, "4 ms", "2 ms"},    // (11 - 2) / 2, integer halving
        {10000, 12000, "0 ms", "10 ms"},  // a hold longer than the trip counts as the trip
        {10999, 0, "5 ms", "0 ms"},       // milliseconds are truncated first
        {10000, -20000, "5 ms", "0 ms"},  // a hold below zero counts as 0, not as 20 ms more
        {-5000, 0, "0 ms", "0 ms"},       // a round trip below zero (a clock step) as 0
        {4000, -999, "2 ms", "0 ms"},     // -0.999 ms truncates to 0
    };
    for (const auto& c : cases) {
        TestResult r(9, LocalEndpoint{"here", "here", 4044});
        r.setState(TestResult::kRunning);
        r.addResponseFigures(c.roundTripUs, c.heldUs, 1000);
        auto row = r.getRow(0);
        ASSERT_TRUE(row.has_value());
        EXPECT_EQ(row->cells.at(1), c.latency) << c.roundTripUs << " " << c.heldUs;
        EXPECT_EQ(row->cells.at(2), c.held) << c.roundTripUs << " " << c.heldUs;
        EXPECT_GE(r.getLatencySumMs(), 0);
    }
    // A reply read before its probe was counted still shows as one out, one back.
    record.setState(TestResult::kRunning);
    record.addPacketReceived();
    record.addResponseFigures(8000, 0, 1000);
    EXPECT_EQ(record.getRow(0)->cells.at(0), "1 / 1");
    EXPECT_EQ(record.getRow(0)->cells.at(3), "4.000 ms");
    EXPECT_EQ(record.getRow(0)->time, 1000);
}

TEST_F(TestResultTest, OutOfRangeMarkingIsStoredAndFlagged) {
    std::string console = testing::captureStdout([&] {
        record.setDscp(63);
        record.set8021p(7);
    });
    EXPECT_EQ(console.find("bug"), std::string::npos);
    console = testing::captureStdout([&] {
        record.setDscp(64);
        record.set8021p(8);
    });
    EXPECT_EQ(console, "bug\nbug\n");
    EXPECT_EQ(record.getDscp(), 64);
    EXPECT_EQ(record.get8021p(), 8);
}

TEST_F(TestResultTest, ExceptionParagraphs) {
    record.recordSocketException(SocketException("Failed to connect to host <x>", 10061),
                                 "src/a/handler.cpp", 42);
    EXPECT_EQ(record.getOutputText(),
              "<h4>Socket exception recorded</h4><p>\nFailed to connect to host &lt;x&gt;, "
              "code=10061, severity=1 "
              "(File: handler.cpp line 42)</p>\n");
    TestResult second(8, LocalEndpoint{});
    second.recordRuntimeException(std::runtime_error("boom"), "handler.cpp", 7);
    second.recordUnknownException("handler.cpp", 9);
    EXPECT_EQ(
        second.getOutputText(),
        "<h4>Runtime exception recorded</h4><p>\nboom (File: handler.cpp line 7)</p>\n"
        "<h4>Unidentified runtime exception recorded</h4><p>\n (File: handler.cpp line 9)</p>\n");
}

TEST_F(TestResultTest, SettersAddTheirElementsEscaped) {
    TestResult r(1, LocalEndpoint{"h&h", "a", 1});
    r.setTitle("T<1>");
    r.setLocalRole("Source \"A\"");
    r.setRemoteRole("Packet reflector");
    r.setRemotePort(4044);
    r.setBytesSent(10);
    r.setBandwidth(20);
    r.setRemoteReflectorPort(4047);
    r.setLocalResponsePort(5000);
    r.setLocalBandwidthPort(5001);
    r.setRemoteBandwidthPort(4045);
    r.addXmlText("URL", "http://x/y?a=1&b=2");
    EXPECT_EQ(r.getXmlExtras(),
              "    <localName>h&amp;h</localName>\n"
              "    <localPort>1</localPort>\n"
              "    <title>T&lt;1&gt;</title>\n"
              "    <localRole>Source &quot;A&quot;</localRole>\n"
              "    <remoteRole>Packet reflector</remoteRole>\n"
              "    <remotePort>4044</remotePort>\n"
              "    <bytesSent>10</bytesSent>\n"
              "    <bandwidth>20</bandwidth>\n"
              "    <remoteReflectorPort>4047</remoteReflectorPort>\n"
              "    <localResponsePort>5000</localResponsePort>\n"
              "    <localBandwidthPort>5001</localBandwidthPort>\n"
              "    <remoteBandwidthPort>4045</remoteBandwidthPort>\n"
              "    <URL>http://x/y?a=1&amp;b=2</URL>\n");
    EXPECT_EQ(r.getTitle(), "T<1>");  // the record keeps the text itself
}

TEST_F(TestResultTest, LatencyElementFormat) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {{4.5, "   4.500"},         {0.0, "   0.000"},
                          {99999.99, "99999.990"},   {100000.0, "   0.000"},
                          {-100000.0, "   0.000"},   {-12.25, " -12.250"},
                          {std::nan(""), "   0.000"}};
    for (const auto& c : cases) {
        TestResult r(1, LocalEndpoint{"h", "h", 1});
        r.addXmlLatency(c.value);
        std::string xml = r.getXmlExtras();
        EXPECT_NE(xml.find(std::string("    <latency>") + c.text + "</latency>\n"),
                  std::string::npos)
            << c.value << ": " << xml;
    }
}

TEST_F(TestResultTest, FormValuesBecomeElementsThatParse) {
    record.setFormValue("host", "a<b&\"c\"");
    record.setFormValue("bad name<", "v\xE9");
    record.setFormValue("2nd", "x");
    record.addFormValuesToXml();
    std::string xml = record.getXmlExtras();
    EXPECT_NE(xml.find("    <host>a&lt;b&amp;&quot;c&quot;</host>\n"), std::string::npos) << xml;
    EXPECT_NE(xml.find("    <bad_name_>v&#233;</bad_name_>\n"), std::string::npos) << xml;
    EXPECT_NE(xml.find("    <_2nd>x</_2nd>\n"), std::string::npos) << xml;
#ifndef _WIN32
    // The parse check runs the host's python3, which a Windows run has not.
    EXPECT_TRUE(testing::parsesAsXml(record.xmlDocument()));
#endif
}

}  // namespace
}  // namespace trellon
