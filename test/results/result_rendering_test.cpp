#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "results/test_result.h"
#include "results/xml_check.h"

namespace trellon {
namespace {

Timestamp at(std::int32_t seconds, std::int32_t microseconds) {
    Timestamp t;
    t.seconds = seconds;
    t.microseconds = microseconds;
    return t;
}

// Row times are shown in local time: pin the zone so minutes and seconds are known.
class ResultRenderingTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* zone = std::getenv("TZ");
        hadZone_ = zone != nullptr;
        if (hadZone_) savedZone_ = zone;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (hadZone_)
            setenv("TZ", savedZone_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    TestResult record{3, LocalEndpoint{"alpha", "10.0.0.1", 4044}};

private:
    bool hadZone_ = false;
    std::string savedZone_;
};

// --- XML document ---

TEST_F(ResultRenderingTest, XmlDocumentOfARunningRecord) {
    record.setTypeName("Response");
    record.setState(TestResult::kRunning);
    record.addXmlInt("payload", 100);
    EXPECT_EQ(record.xmlDocument(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n"
              "<Result>\n"
              "    <type>Response</type>\n"
              "    <id>3</id>\n"
              "    <done>0</done>\n"
              "    <localName>alpha</localName>\n"
              "    <localPort>4044</localPort>\n"
              "    <payload>100</payload>\n"
              "</Result>");
    record.setState(TestResult::kFinished);
    EXPECT_NE(record.xmlDocument().find("    <done>1</done>\n"), std::string::npos);
}

// Every kind of record, filled with hostile text where users and programs
// supply it, must give a document a real parser accepts.
TEST_F(ResultRenderingTest, XmlOfEveryRecordKindParsesWhateverTheText) {
    const std::string hostile =
        "<x> & \"q\" 'a' caf\xE9 \xC3\xA9 \xFF\xFE \x01\x02 ]]> <!-- &nbsp;";
    for (int type :
         std::initializer_list<int>{TestResult::kBandwidthTest, TestResult::kResponseTest,
                                    TestResult::kStreamingTest, TestResult::kPluginAction, 0}) {
        TestResult r(10 + type, LocalEndpoint{"local" + hostile, "10.0.0.1", 4044});
        r.setTestType(type);
        r.setTypeName("Type" + hostile);
        r.setTitle("Title" + hostile);
        r.setLocalRole("<b>Source</b>" + hostile);
        r.setRemoteRole("Remote" + hostile);
        r.setRemoteComputer("remote" + hostile);
        r.addXmlText("remoteComputer", "remote" + hostile);
        r.addXmlText("URL", "http://h/x?a=1&b=" + hostile);
        r.setStartTime(1000);
        r.setTimeLimit(10);
        r.setState(TestResult::kRunning);
        r.appendStdout("out" + hostile);
        r.appendStderr("err" + hostile);
        r.setFormValue("field" + hostile, "value" + hostile);
        r.addFormValuesToXml();
        r.addMessage("<p>Sorry, could not find " + hostile + "</p>\n");
        switch (type) {
            case TestResult::kBandwidthTest:
                r.setBytesSent(1000);
                r.setFinalResults("Sent <b>1000</b> bytes" + hostile);
                r.finishBandwidthPorts();
                break;
            case TestResult::kResponseTest:
                r.addPacketSent();
                r.addPacketReceived();
                r.addResponseSample(at(1, 0), at(1, 100), at(1, 200), at(1, 5000));
                r.finishResponse();
                break;
            case TestResult::kStreamingTest: {
                StreamReportFigures figures;
                figures.packetCount = 10;
                figures.dropped = 1;
                figures.gapCounts = {1};
                r.finishStream(figures, at(2000, 0));
                break;
            }
            default:
                r.setStdoutIsHtml(true);
                r.appendStdout("<pre>" + hostile + "</pre>");
                break;
        }
        r.setState(TestResult::kFinished);
        std::string document = r.xmlDocument();
        EXPECT_TRUE(testing::parsesAsXml(document)) << "type " << type;
        // Escaped exactly once: the parser gives back the text that was recorded
        // (Latin-1 bytes as their characters, controls dropped).
        std::string remote = testing::parsedElementText(document, "remoteComputer");
        EXPECT_EQ(
            remote.rfind(
                "remote<x> & \"q\" 'a' caf\xC3\xA9 \xC3\xA9 \xC3\xBF\xC3\xBE  ]]> <!-- &nbsp;", 0),
            0u)
            << remote;
    }
}

TEST_F(ResultRenderingTest, ParsedValuesEqualTheRecordedText) {
    const std::string text = "a<b>&\"c\" \xC3\xA9";
    record.setTypeName(text);
    record.setTitle(text);
    record.addXmlText("remoteComputer", text);
    record.setState(TestResult::kRunning);
    record.setFinalResults("<b>" + text + "</b>");
    std::string document = record.xmlDocument();
    EXPECT_EQ(testing::parsedElementText(document, "type"), text);
    EXPECT_EQ(testing::parsedElementText(document, "title"), text);
    EXPECT_EQ(testing::parsedElementText(document, "remoteComputer"), text);
    EXPECT_EQ(testing::parsedElementText(document, "finalResults"), "<b>" + text + "</b>");
}

// --- Progress table ---

TEST_F(ResultRenderingTest, EmptyTableIsOpeningAndClosingLines) {
    EXPECT_EQ(record.progressTableHtml(),
              "<table border=\"1\" style=\"text-align: right\" >\n</table>\n");
}

TEST_F(ResultRenderingTest, TableListsNewestFirstWithPaddedTimes) {
    record.setColumnHeadings({"Report", "Min:Sec", "A<br>B"});
    record.addRow(5 * 60 + 7, {"first", ""});
    record.addRow(3600 + 12 * 60 + 34, {"second", "x"});
    record.addRow(59, {"third", "y"});
    EXPECT_EQ(record.progressTableHtml(),
              "<table border=\"1\" style=\"text-align: right\" >\n"
              "<tr><td><b>Report</b></td><td><b>Min:Sec</b></td><td><b>A<br>B</b></td></tr>\n"
              "<tr>\n<td>3</td>\n<td>00:59</td>\n<td>third</td>\n<td>y</td>\n</tr>\n"
              "<tr>\n<td>2</td>\n<td>12:34</td>\n<td>second</td>\n<td>x</td>\n</tr>\n"
              "<tr>\n<td>1</td>\n<td>05:07</td>\n<td>first</td>\n<td>&nbsp;</td>\n</tr>\n"
              "</table>\n");
}

// --- Page title ---

TEST_F(ResultRenderingTest, TitleNamesTheKindAndBothEnds) {
    record.setRemoteComputer("beta");
    struct Case {
        int type;
        int kind;
        const char* title;
    };
    const Case cases[] = {
        {TestResult::kBandwidthTest, 0, "Bandwidth test from alpha to beta"},
        {TestResult::kResponseTest, 0, "Response test from alpha to beta"},
        {TestResult::kStreamingTest, TestResult::kVoiceStream,
         "VoIP streaming test from alpha to beta"},
        {TestResult::kStreamingTest, TestResult::kVideoStream,
         "Video streaming test from alpha to beta"},
        {TestResult::kStreamingTest, TestResult::kCustomStream,
         "Custom streaming test from alpha to beta"},
        {TestResult::kStreamingTest, 7, "Streaming test from alpha to beta"},
        {TestResult::kPluginAction, 0, "Plug-in action from alpha to beta"},
        {55, 0, "Test from alpha to beta"},
    };
    for (const auto& c : cases) {
        record.setTestType(c.type);
        record.setStreamKind(c.kind);
        EXPECT_EQ(record.pageTitle(), c.title);
    }
}

// --- Response-time figures ---

TEST_F(ResultRenderingTest, ResponseSampleArithmetic) {
    struct Case {
        Timestamp sent, in, out, received;
        const char* latency;
        const char* held;
    };
    const Case cases[] = {
        // Round trip 10 ms, held 2 ms: (10 - 2) / 2.
        {at(100, 0), at(100, 1000), at(100, 3000), at(100, 10000), "4 ms", "2 ms"},
        // Held 12 ms counts as the round trip of 10: latency 0.
        {at(100, 0), at(100, 0), at(100, 12000), at(100, 10000), "0 ms", "10 ms"},
        // Round trip 11 ms, held 2 ms: integer halving gives 4.
        {at(100, 0), at(100, 0), at(100, 2000), at(100, 11000), "4 ms", "2 ms"},
        // Microseconds borrow across the second: 1.0005 ms round trip is 1 ms.
        {at(100, 999500), at(0, 0), at(0, 0), at(101, 1000), "0 ms", "0 ms"},
        {at(100, 999000), at(0, 0), at(0, 0), at(101, 5000), "3 ms", "0 ms"},
        // A reflector that claims to have sent before it received (held -10 s)
        // holds nothing: the latency is half the round trip, not 5 s more.
        {at(100, 0), at(100, 0), at(90, 0), at(100, 10000), "5 ms", "0 ms"},
    };
    for (const auto& c : cases) {
        TestResult r(1, LocalEndpoint{"a", "a", 1});
        r.addPacketSent();
        r.addPacketReceived();
        r.addResponseSample(c.sent, c.in, c.out, c.received);
        auto row = r.getRow(0);
        ASSERT_TRUE(row.has_value());
        EXPECT_EQ(row->time, c.received.seconds);
        EXPECT_EQ(row->cells[0], "1 / 1");
        EXPECT_EQ(row->cells[1], c.latency);
        EXPECT_EQ(row->cells[2], c.held);
        EXPECT_EQ(r.getSampleCount(), 1);
    }
}

TEST_F(ResultRenderingTest, ResponseRowsCarryTheRunningAverage) {
    for (int i = 0; i < 3; ++i) record.addPacketSent();
    record.addPacketReceived();
    record.addResponseSample(at(1, 0), at(1, 0), at(1, 0), at(1, 8000));  // 4 ms
    record.addPacketReceived();
    record.addResponseSample(at(1, 0), at(1, 0), at(1, 0), at(1, 10000));  // 5 ms
    auto row = record.getRow(1);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->cells, (std::vector<std::string>{"3 / 2", "5 ms", "0 ms", "4.500 ms", "5.000 ms",
                                                    "0.000 ms", "4.500 ms"}));
    EXPECT_EQ(record.getLatencySumMs(), 9);
}

TEST_F(ResultRenderingTest, TableStopsAtItsBoundButEverySampleCounts) {
    const int samples = static_cast<int>(TestResult::kMaxRows) + 50;
    for (int i = 0; i < samples; ++i) {
        record.addPacketSent();
        record.addPacketReceived();
        record.addResponseSample(at(1, 0), at(1, 0), at(1, 0), at(1, 2000));  // 1 ms
    }
    EXPECT_EQ(record.getRowCount(), static_cast<int>(TestResult::kMaxRows));
    EXPECT_EQ(record.getLatencySumMs(), samples);
}

TEST_F(ResultRenderingTest, FinishResponseFiguresAndElements) {
    record.setLocalResponsePort(5000);
    record.setRemoteReflectorPort(4047);
    record.setState(TestResult::kRunning);
    for (int i = 0; i < 5; ++i) record.addPacketSent();
    for (int ms : {8000, 10000, 8000, 10000}) {
        record.addPacketReceived();
        record.addResponseSample(at(1, 0), at(1, 0), at(1, 0), at(1, ms));
    }
    std::string before = record.getXmlExtras();
    record.finishResponse();
    EXPECT_DOUBLE_EQ(record.getLossPercent(), 20.0);
    EXPECT_DOUBLE_EQ(record.getAverageLatencyMs(), 4.0);  // 18 / 4 in whole milliseconds
    EXPECT_EQ(record.getFinalResults(),
              "Network response time, or latency, is <b>  4.0</b> milliseconds.  Lost <b>20.0</b> "
              "percent of the "
              "packets.");
    EXPECT_EQ(record.getPortExplanation().value_or(""),
              "<br>Sent UDP packets from port 5000 to remote reflector on port 4047");
    EXPECT_EQ(record.getXmlExtras().substr(before.size()),
              "    <finalResults>Network response time, or latency, is &lt;b&gt;  4.0&lt;/b&gt; "
              "milliseconds.  Lost "
              "&lt;b&gt;20.0&lt;/b&gt; percent of the packets.</finalResults>\n"
              "    <latency>   4.000</latency>\n"
              "    <sent>5</sent>\n"
              "    <received>4</received>\n"
              "    <latencyMicroseconds>4500</latencyMicroseconds>\n"
              "    <minLatencyMicroseconds>4000</minLatencyMicroseconds>\n"
              "    <maxLatencyMicroseconds>5000</maxLatencyMicroseconds>\n"
              "    <latencySpreadMicroseconds>1000</latencySpreadMicroseconds>\n"
              "    <heldMicroseconds>0</heldMicroseconds>\n"
              // The E-model for a call with that delay and loss (G.107's formulas).
              "    <eModelDelay>4.500</eModelDelay>\n"
              "    <eModelLoss>20.000</eModelLoss>\n"
              "    <rFactor>50.9</rFactor>\n"
              "    <mos>2.62</mos>\n"
              "    <portExplanation>&lt;br&gt;Sent UDP packets from port 5000 to remote reflector "
              "on port "
              "4047</portExplanation>\n");
}

TEST_F(ResultRenderingTest, FinishResponseEdgeCases) {
    // Ten sent, nine back.
    TestResult r(1, LocalEndpoint{"a", "a", 1});
    r.setState(TestResult::kRunning);
    for (int i = 0; i < 10; ++i) r.addPacketSent();
    for (int i = 0; i < 9; ++i) r.addPacketReceived();
    r.finishResponse();
    EXPECT_DOUBLE_EQ(r.getLossPercent(), 10.0);
    EXPECT_NE(r.getFinalResults().find("Lost <b>10.0</b> percent"), std::string::npos);
    EXPECT_EQ(r.getAverageLatencyMs(), 0.0);  // no sample completed

    // Nothing sent: no division by zero.
    TestResult none(2, LocalEndpoint{"a", "a", 1});
    none.setState(TestResult::kRunning);
    none.finishResponse();
    EXPECT_EQ(none.getLossPercent(), 0.0);
    EXPECT_NE(none.getFinalResults().find("is <b>  0.0</b> milliseconds.  Lost <b>0.0</b> percent"),
              std::string::npos)
        << none.getFinalResults();

    // Not running (time limit reached, never started): no figures.
    for (int state :
         {TestResult::kNotStarted, TestResult::kWaitingForFinalData, TestResult::kFinished}) {
        TestResult other(3, LocalEndpoint{"a", "a", 1});
        other.setState(state);
        other.addPacketSent();
        std::string xml = other.getXmlExtras();
        other.finishResponse();
        EXPECT_EQ(other.getFinalResults(), TestResult::kStillRunningText);
        EXPECT_EQ(other.getXmlExtras(), xml);
        EXPECT_FALSE(other.getPortExplanation().has_value());
    }
}

// --- Streaming figures ---

TEST_F(ResultRenderingTest, StreamReportAddsARowEachInterval) {
    record.setReportInterval(5);
    StreamReportFigures figures;
    figures.intervalPackets = 250;
    figures.intervalOutOfOrder = 2;
    figures.intervalDuplicate = 1;
    figures.intervalLost = 3;
    figures.intervalGapCounts = {2, 0, 1, 0};
    figures.intervalMaxJitter = 9;
    figures.jitterMovingAverage16 = 4;
    figures.intervalJitter = 3;

    EXPECT_FALSE(record.addStreamReport(figures, at(1000, 250)));
    EXPECT_EQ(record.getFirstPacketTime().seconds, 1000);
    EXPECT_EQ(record.getFirstPacketTime().microseconds, 250);
    EXPECT_EQ(record.getNextReportTime(), 1005);
    EXPECT_FALSE(record.addStreamReport(figures, at(1004, 0)));
    EXPECT_TRUE(record.addStreamReport(figures, at(1005, 0)));
    EXPECT_EQ(record.getNextReportTime(), 1010);
    // One interval per call, even when several have passed.
    EXPECT_TRUE(record.addStreamReport(figures, at(1020, 0)));
    EXPECT_EQ(record.getNextReportTime(), 1015);
    EXPECT_EQ(record.getSampleCount(), 4);
    EXPECT_EQ(record.getFirstPacketTime().seconds, 1000);

    auto row = record.getRow(0);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->time, 1005);
    EXPECT_EQ(row->cells,
              (std::vector<std::string>{"250", "2", "1", "3", "3", "3", "9", "4", "3"}));
    EXPECT_EQ(record.getRowCount(), 2);
}

TEST_F(ResultRenderingTest, FinishStreamSentencesGapTableAndElements) {
    record.setStreamReceivePort(6000);
    record.setStreamSendPort(4046);
    record.setState(TestResult::kRunning);
    StreamReportFigures figures;
    figures.packetCount = 1000;
    figures.outOfOrder = 4;
    figures.duplicate = 2;
    figures.dropped = 10;
    figures.late = 3;
    figures.jitterSampleCount = 900;
    figures.jitter = 2;
    figures.maxJitter = 17;
    figures.jitterMovingAverage16 = 3;
    figures.bufferSize = 250;
    figures.gapCounts = {5, 0, 1, 0};
    std::string before = record.getXmlExtras();
    record.finishStream(figures, at(3000, 77));

    EXPECT_EQ(record.getLastPacketTime().seconds, 3000);
    EXPECT_EQ(
        record.getFinalResults(),
        "Jitter (MS) average <b>2</b> , maximum <b>17</b> milliseconds, 16 sample average <b>3</b>"
        "<br>There were <b>10</b> packets missing from the stream, amounting to <b>  1.0</b> "
        "percent of the "
        "total. "
        "<br><b>3</b> packets arrived too late to be used and were ignored. "
        "<br><b>4</b> packets were delivered out of order by network. "
        "<br>Jitter buffer size is <b>250</b> packets.  ");
    EXPECT_EQ(record.getExtraHtml(),
              "<p>There were <b>6</b> gaps in the stream, the largest was <b>3</b>.</p>"
              "<br><table border=\"1\" cellpadding=\"0\" cellspacing=\"0\" >\n"
              "<tr><td><b>Gap Size</b></td><td><b>Count</b></td></tr>\n"
              "<tr><td>1</td><td>5</td></tr>\n"
              "<tr><td>3</td><td>1</td></tr>\n"
              "</table>\n");
    std::string added = record.getXmlExtras().substr(before.size());
    std::size_t figuresAt = added.find("    <packetCount>");
    ASSERT_NE(figuresAt, std::string::npos);
    EXPECT_EQ(added.rfind("    <finalResults>", 0), 0u);
    EXPECT_EQ(added.substr(figuresAt),
              "    <packetCount>1000</packetCount>\n"
              "    <outOfOrder>4</outOfOrder>\n"
              "    <duplicate>2</duplicate>\n"
              "    <dropped>10</dropped>\n"
              "    <gapCount>6</gapCount>\n"
              "    <maxGap>3</maxGap>\n"
              "    <maxJitter>17</maxJitter>\n"
              "    <jitterMovingAverage16>3</jitterMovingAverage16>\n"
              "    <jitter>2</jitter>\n"
              "    <portExplanation>&lt;br&gt;Local machine received UDP packets on port "
              "6000.&lt;br&gt;Remote "
              "server sent UDP packets on port 4046.</portExplanation>\n");
    EXPECT_EQ(record.getPortExplanation().value_or(""),
              "<br>Local machine received UDP packets on port 6000.<br>Remote server sent UDP "
              "packets on port 4046.");
}

TEST_F(ResultRenderingTest, FinishStreamEdgeCases) {
    // No jitter sample, no gaps: the no-data sentence and no gap table.
    TestResult quiet(1, LocalEndpoint{"a", "a", 1});
    quiet.setState(TestResult::kRunning);
    StreamReportFigures figures;
    figures.bufferSize = 5;
    figures.gapCounts = {0, 0, 0};
    quiet.finishStream(figures, at(1, 0));
    EXPECT_EQ(quiet.getFinalResults(),
              "No useful jitter data possible due to excessive packet drops and packets that "
              "arrived outside the "
              "jitter buffer window.<br>Jitter buffer size is <b>5</b> packets.  ");
    EXPECT_EQ(quiet.getExtraHtml(), "");
    EXPECT_NE(quiet.getXmlExtras().find("<gapCount>0</gapCount>\n    <maxGap>0</maxGap>"),
              std::string::npos);

    // Missing packets but none arrived: 0.0 percent, not a division by zero.
    TestResult empty(2, LocalEndpoint{"a", "a", 1});
    empty.setState(TestResult::kRunning);
    StreamReportFigures lost;
    lost.dropped = 4;
    empty.finishStream(lost, at(1, 0));
    EXPECT_NE(empty.getFinalResults().find("amounting to <b>  0.0</b> percent"), std::string::npos)
        << empty.getFinalResults();

    // Not running: nothing.
    TestResult done(3, LocalEndpoint{"a", "a", 1});
    done.setState(TestResult::kFinished);
    std::string xml = done.getXmlExtras();
    done.finishStream(figures, at(1, 0));
    EXPECT_EQ(done.getFinalResults(), TestResult::kStillRunningText);
    EXPECT_EQ(done.getXmlExtras(), xml);
    EXPECT_TRUE(done.getLastPacketTime().isZero());
}

// --- Bandwidth and plug-in steps ---

TEST_F(ResultRenderingTest, BandwidthPortSentence) {
    record.setLocalBandwidthPort(5001);
    record.setRemoteBandwidthPort(4045);
    std::string before = record.getXmlExtras();
    record.finishBandwidthPorts();
    EXPECT_EQ(record.getPortExplanation().value_or(""),
              "<br>Sent TCP packets from port 5001 to remote port 4045.</p>");
    EXPECT_EQ(record.getXmlExtras().substr(before.size()),
              "    <portExplanation>&lt;br&gt;Sent TCP packets from port 5001 to remote port "
              "4045.&lt;/p&gt;</portExplanation>\n");
}

TEST_F(ResultRenderingTest, PluginCompletionAddsOutputOnceFinished) {
    record.setTestType(TestResult::kPluginAction);
    record.appendStdout("a<b & \xE9");
    record.appendStderr("oops>");
    record.setState(TestResult::kRunning);
    EXPECT_EQ(record.getXmlExtras().find("<stdout>"), std::string::npos);
    record.setState(TestResult::kFinished);
    record.setState(TestResult::kFinished);
    std::string xml = record.getXmlExtras();
    EXPECT_NE(xml.find("    <finishTime>"), std::string::npos);
    std::size_t out = xml.find(
        "    <stdout>a&amp;lt;b &amp;amp; &amp;eacute;</stdout>\n    "
        "<stderr>oops&amp;gt;</stderr>\n");
    EXPECT_NE(out, std::string::npos) << xml;
    EXPECT_LT(xml.find("<finishTime>"), out);
    EXPECT_EQ(xml.find("<stdout>", out + 5), std::string::npos);  // once only
    std::string document = record.xmlDocument();
    EXPECT_EQ(testing::parsedElementText(document, "stdout"), "a&lt;b &amp; &eacute;");

    // Built-in tests carry no output elements.
    TestResult builtIn(4, LocalEndpoint{"a", "a", 1});
    builtIn.setTestType(TestResult::kResponseTest);
    builtIn.appendStdout("x");
    builtIn.setState(TestResult::kFinished);
    EXPECT_EQ(builtIn.getXmlExtras().find("<stdout>"), std::string::npos);
}

}  // namespace
}  // namespace trellon
