#include "results/response_microseconds.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "results/test_result.h"
#include "results/xml_check.h"

namespace trellon {
namespace {

TEST(ResponseMicroseconds, FiguresOfTheOneWayEstimates) {
    ResponseMicroseconds us;
    EXPECT_EQ(us.meanLatency(), 0.0);
    EXPECT_EQ(us.spread(), 0.0);
    EXPECT_EQ(us.minLatency(), 0);
    // One-way estimates 200, 600, 400 and 500: differences 400, 200, 100.
    EXPECT_EQ(us.add(500, 100), 200);
    EXPECT_EQ(us.add(1300, 100), 600);
    EXPECT_EQ(us.add(900, 100), 400);
    EXPECT_EQ(us.add(1000, 0), 500);
    EXPECT_EQ(us.count(), 4);
    EXPECT_DOUBLE_EQ(us.meanLatency(), 425.0);
    EXPECT_DOUBLE_EQ(us.meanHeld(), 75.0);
    EXPECT_EQ(us.minLatency(), 200);
    EXPECT_EQ(us.maxLatency(), 600);
    EXPECT_DOUBLE_EQ(us.spread(), 700.0 / 3);
    EXPECT_EQ(us.lastLatency(), 500);
    EXPECT_EQ(us.lastHeld(), 0);
}

TEST(ResponseMicroseconds, HostileTimesGiveNoNegativeOrOverflowingFigure) {
    ResponseMicroseconds us;
    EXPECT_EQ(us.add(-5000, 0), 0);       // our clock stepped back
    EXPECT_EQ(us.add(1000, 5000), 0);     // a hold longer than the trip counts as the trip
    EXPECT_EQ(us.add(1000, -9000), 500);  // a hold below zero counts as 0
    constexpr auto kHuge = std::numeric_limits<std::int64_t>::max();
    for (int i = 0; i < 1000; ++i) us.add(kHuge, std::numeric_limits<std::int64_t>::min());
    EXPECT_GT(us.meanLatency(), 0.0);
    EXPECT_GE(us.minLatency(), 0);
    EXPECT_GE(us.spread(), 0.0);
    EXPECT_LE(us.maxLatency(), std::int64_t{86400} * 1000000 / 2);
}

// A loopback trip of 68 µs reads "0 ms" in whole milliseconds; the
// microsecond cells, XML elements and page sentence show what it was. A path
// of 7.25 ms each way averages 7 whole milliseconds but 7250 µs.
TEST(ResponseMicrosecondsRecord, RowsXmlAndPageCarryTheMicrosecondFigures) {
    TestResult record(3, LocalEndpoint{"here", "10.0.0.1", 4044});
    record.setState(TestResult::kRunning);
    record.addPacketSent();
    record.addPacketReceived();
    record.addResponseFigures(80, 12, 1000);
    auto row = record.getRow(0);
    ASSERT_TRUE(row.has_value());
    ASSERT_EQ(row->cellCount(), 7);
    EXPECT_EQ(row->cells[1], "0 ms");  // the whole-millisecond cells stay as they were
    EXPECT_EQ(row->cells[3], "0.000 ms");
    EXPECT_EQ(row->cells[4], "0.034 ms");
    EXPECT_EQ(row->cells[5], "0.012 ms");
    EXPECT_EQ(row->cells[6], "0.034 ms");
    record.finishResponse();
    std::string xml = record.xmlDocument();
#ifndef _WIN32
    // The parse check runs the host's python3, which a Windows run has not.
    ASSERT_TRUE(testing::parsesAsXml(xml));
#endif
    EXPECT_NE(xml.find("<latencyMicroseconds>34</latencyMicroseconds>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<heldMicroseconds>12</heldMicroseconds>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<latency>   0.000</latency>"), std::string::npos) << xml;
    EXPECT_NE(record.getExtraHtml().find("average <b>0.034</b> ms"), std::string::npos)
        << record.getExtraHtml();

    TestResult lab(4, LocalEndpoint{"here", "10.0.0.1", 4044});
    lab.setState(TestResult::kRunning);
    const std::int64_t trips[] = {14500, 14700, 14300, 14500};
    for (std::int64_t trip : trips) {
        lab.addPacketSent();
        lab.addPacketReceived();
        lab.addResponseFigures(trip, 0, 1000);
    }
    lab.finishResponse();
    xml = lab.xmlDocument();
    EXPECT_NE(xml.find("<latency>   7.000</latency>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<latencyMicroseconds>7250</latencyMicroseconds>"), std::string::npos);
    EXPECT_NE(xml.find("<minLatencyMicroseconds>7150</minLatencyMicroseconds>"), std::string::npos);
    EXPECT_NE(xml.find("<maxLatencyMicroseconds>7350</maxLatencyMicroseconds>"), std::string::npos);
    // |D|: 100, 200, 100.
    EXPECT_NE(xml.find("<latencySpreadMicroseconds>133</latencySpreadMicroseconds>"),
              std::string::npos)
        << xml;
    // The sentence the page has always shown is unchanged.
    EXPECT_NE(lab.getFinalResults().find("latency, is <b>  7.0</b> milliseconds"),
              std::string::npos)
        << lab.getFinalResults();
}

TEST(ResponseMicrosecondsRecord, TheTimestampPathKeepsMicrosecondsToo) {
    TestResult record(5, LocalEndpoint{"here", "10.0.0.1", 4044});
    record.setState(TestResult::kRunning);
    Timestamp sent{100, 999990}, in{100, 999995}, out{101, 5}, back{101, 30};
    record.addResponseSample(sent, in, out, back);
    auto row = record.getRow(0);
    ASSERT_TRUE(row.has_value());
    ASSERT_EQ(row->cellCount(), 7);
    EXPECT_EQ(row->cells[4], "0.015 ms");  // (40 - 10) / 2
    EXPECT_EQ(row->cells[5], "0.010 ms");
}

// The marking of each reply: a value the replies shared, each value with its
// count when they differed, and "unknown" for anything not a code point.
TEST(ResponseMarkingRecord, AskedSeenAndCameBack) {
    TestResult record(6, LocalEndpoint{"here", "10.0.0.1", 4044});
    record.setDscp(46);
    record.setState(TestResult::kRunning);
    for (int i = 0; i < 3; ++i) {
        record.addPacketSent();
        record.addPacketReceived();
        record.addResponseFigures(1000, 0, 1000);
    }
    record.addResponseMarking(46, 46);
    record.addResponseMarking(0, 46);
    record.addResponseMarking(46, 64);  // not a code point: unknown
    record.finishResponse();
    std::string xml = record.xmlDocument();
    EXPECT_NE(xml.find("<dscpAsked>46</dscpAsked>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<dscpSeenAtReflector>46 (2 packets), 0 (1 packets)</dscpSeenAtReflector>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<dscpCameBack>46 (2 packets), unknown (1 packets)</dscpCameBack>"),
              std::string::npos)
        << xml;

    // A test whose replies said nothing of marking (none came back) has no sentence.
    TestResult none(7, LocalEndpoint{"here", "10.0.0.1", 4044});
    none.setState(TestResult::kRunning);
    none.finishResponse();
    EXPECT_EQ(none.xmlDocument().find("dscpSeenAtReflector"), std::string::npos);
}

}  // namespace
}  // namespace trellon
