#include "nettests/perf_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "results/test_result.h"
#include "platform/socket.h"
#include "support/bandwidth_helpers.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using testing::loopbackPair;
using testing::TcpPair;
using Clock = std::chrono::steady_clock;

std::shared_ptr<TestResult> record(int id = 1) {
    auto r = std::make_shared<TestResult>(id, LocalEndpoint{"local", "127.0.0.1", 4044});
    r->setState(TestResult::kRunning);
    return r;
}

std::string xmlValue(const TestResult& r, const std::string& name) {
    std::string xml = r.getXmlExtras();
    std::size_t at = xml.find("<" + name + ">");
    if (at == std::string::npos) return "(missing " + name + ")";
    at += name.size() + 2;
    return xml.substr(at, xml.find('<', at) - at);
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A clock the test moves by hand, in microseconds.
struct ManualClock {
    std::shared_ptr<std::int64_t> now = std::make_shared<std::int64_t>(0);
    PerfSocket::Clock clock() const {
        auto shared = now;
        return [shared] { return *shared; };
    }
    void at(double secondsFromStart) { *now = static_cast<std::int64_t>(secondsFromStart * 1e6); }
};

TEST(PerfSocketSettingsTest, OptionsByLetterWithTheirBounds) {
    PerfSocketSettings s;
    EXPECT_EQ(s.amount, 2147483647);
    EXPECT_EQ(s.time, 10);
    EXPECT_EQ(s.blockLength, 8192);
    EXPECT_EQ(s.format, 'a');
    EXPECT_DOUBLE_EQ(s.reportInterval, 0.0);

    EXPECT_TRUE(s.setOption('n', "100"));
    EXPECT_EQ(s.amount, 100);
    EXPECT_TRUE(s.setOption('n', "2M"));
    EXPECT_EQ(s.amount, 2097152);
    EXPECT_TRUE(s.setOption('n', "1000000000"));
    EXPECT_EQ(s.amount, 1000000000);
    EXPECT_TRUE(s.setOption('n', "1.5k"));
    EXPECT_EQ(s.amount, 1500);
    EXPECT_TRUE(s.setOption('n', "9999999999"));  // past 2^32
    EXPECT_EQ(s.amount, 9999999999LL);
    EXPECT_TRUE(s.setOption('n', "-5"));
    EXPECT_EQ(s.amount, 0);
    EXPECT_FALSE(s.setOption('n', "1e30"));  // beyond 64 bits: kept
    EXPECT_FALSE(s.setOption('n', "lots"));
    EXPECT_EQ(s.amount, 0);

    EXPECT_TRUE(s.setOption('i', "0.3"));
    EXPECT_DOUBLE_EQ(s.reportInterval, 0.5);
    EXPECT_TRUE(s.setOption('i', "2.7"));
    EXPECT_DOUBLE_EQ(s.reportInterval, 2.7);
    EXPECT_FALSE(s.setOption('i', "often"));
    EXPECT_DOUBLE_EQ(s.reportInterval, 2.7);

    EXPECT_TRUE(s.setOption('t', "10.9"));
    EXPECT_EQ(s.time, 10);
    EXPECT_TRUE(s.setOption('t', "-5"));
    EXPECT_EQ(s.time, 0);
    EXPECT_TRUE(s.setOption('t', "1e12"));
    EXPECT_EQ(s.time, PerfSocketSettings::kMaxSeconds);

    EXPECT_FALSE(s.setOption('w', "64K"));  // a general option this test never sets
}

TEST(PerfSocketReportTest, IntervalRowsComeOnWholeSecondsAndMissedOnesGiveNone) {
    TcpPair pair = loopbackPair();
    ASSERT_TRUE(pair.ok());
    ManualClock time;
    auto r = record();
    PerfSocket perf(pair.client.get(), r, PerfSocket::kSender, time.clock());
    perf.setOption('i', "2.7");
    perf.startReporting();
    EXPECT_TRUE(perf.reportsPeriodically());
    EXPECT_EQ(perf.reportIntervalMicroseconds(), 2000000);

    time.at(0.5);
    perf.account(1048576);
    time.at(1.9);
    perf.account(1048576);
    EXPECT_EQ(r->getRowCount(), 0);
    time.at(2.05);
    perf.account(1048576);
    ASSERT_EQ(r->getRowCount(), 1);
    std::vector<std::string> cells = r->getRow(0)->cells;
    EXPECT_EQ(cells[0], " 2.0");
    EXPECT_EQ(cells[1], "3.00 MByte");
    EXPECT_EQ(cells[2], "3145728");
    EXPECT_EQ(cells[3], "12.6 Mbit");  // 3 MiB over 2 s

    time.at(4.1);
    perf.account(0);
    ASSERT_EQ(r->getRowCount(), 2);
    EXPECT_EQ(r->getRow(1)->cells[0], " 4.0");
    EXPECT_EQ(r->getRow(1)->cells[1], "0.00 Byte");
    // A stall over 6 and 8 s: one row at 6 s, none for 8; the next at 10 s
    // covers 6 to 10 s.
    time.at(9.5);
    perf.account(4000000);
    time.at(10.2);
    perf.account(4000000);
    ASSERT_EQ(r->getRowCount(), 4);
    EXPECT_EQ(r->getRow(2)->cells[0], " 6.0");
    EXPECT_EQ(r->getRow(3)->cells[0], "10.0");
    EXPECT_EQ(r->getRow(3)->cells[3], "8.00 Mbit");  // 4000000 bytes over 4 s

    // Below half a second becomes 0.5, which on whole seconds means no rows.
    auto quiet = record(2);
    PerfSocket sparse(pair.client.get(), quiet, PerfSocket::kSender, time.clock());
    sparse.setOption('i', "0.3");
    time.at(0);
    sparse.startReporting();
    EXPECT_FALSE(sparse.reportsPeriodically());
    for (int second = 1; second <= 10; ++second) {
        time.at(second);
        sparse.account(1000);
    }
    EXPECT_EQ(quiet->getRowCount(), 0);
}

TEST(PerfSocketReportTest, RowsAndFinalFiguresAreSixtyFourBit) {
    TcpPair pair = loopbackPair();
    ASSERT_TRUE(pair.ok());
    auto r = record();
    PerfSocket perf(pair.client.get(), r, PerfSocket::kSender);
    perf.report(1048576, 4194304, false, 0.0, 2.0);
    ASSERT_EQ(r->getRowCount(), 1);
    EXPECT_EQ(r->getRow(0)->cells[0], " 2.0");
    EXPECT_EQ(r->getRow(0)->cells[2], "4194304");
    // A total past 2^32 (a minute at 1 Gbit/s) keeps its digits.
    perf.report(1048576, 5000000000LL, false, 2.0, 4.0);
    EXPECT_EQ(r->getRow(1)->cells[2], "5000000000");

    // 3 GB/s over 2 s: rate and total above 2^31 (loopback reaches them).
    perf.report(6000000000LL, 6000000000LL, true, 0.0, 2.0);
    EXPECT_EQ(xmlValue(*r, "bytesPerSecond"), "3000000000");
    EXPECT_EQ(xmlValue(*r, "totalBytesSent"), "6000000000");
    EXPECT_EQ(xmlValue(*r, "bytesSent"), "6000000000");
    EXPECT_EQ(xmlValue(*r, "bandwidth"), "3000000000");
    EXPECT_EQ(xmlValue(*r, "time"), "  2.000");
    EXPECT_EQ(r->getFinalResults(), "<br>Bandwidth is <b>24.0 Gbit per second</b>.");

    auto none = record(2);
    PerfSocket empty(pair.client.get(), none, PerfSocket::kSender);
    empty.report(0, 0, true, 0.0, 0.0);
    EXPECT_EQ(none->getFinalResults(), PerfSocket::kUnknownBandwidthText);
    EXPECT_EQ(xmlValue(*none, "bytesPerSecond"), "0");

    EXPECT_EQ(PerfSocket::rateOf(1000, 0.0), 0);
    EXPECT_EQ(PerfSocket::rateOf(1000, -1.0), 0);
    EXPECT_EQ(PerfSocket::rateOf(1999, 2.0), 999);  // truncated
}

// A sink that reads everything, then waits `holdClose` before it closes:
// like a remote sink still draining the path when our last send returns.
struct SlowSink {
    std::atomic<long long> received{0};
    Clock::time_point closedAt{};
    std::thread thread;

    SlowSink(testing::Fd fd, std::chrono::milliseconds holdClose)
        : thread([this, owned = std::make_shared<testing::Fd>(std::move(fd)), holdClose] {
              char buffer[65536];
              for (;;) {
                  long n = platform::receiveSome(owned->get(), buffer, sizeof(buffer), false);
                  if (n <= 0) break;
                  received += n;
              }
              std::this_thread::sleep_for(holdClose);  // the drain being simulated
              closedAt = Clock::now();
              owned->reset();
          }) {}
    ~SlowSink() {
        if (thread.joinable()) thread.join();
    }
};

TEST(PerfSocketTransferTest, ASmallTestSendsOneBlockAndEndsWhenTheSinkHasClosed) {
    TcpPair pair = loopbackPair();
    ASSERT_TRUE(pair.ok());
    SlowSink sink(std::move(pair.server), 400ms);
    auto r = record();
    PerfSocket perf(pair.client.get(), r, PerfSocket::kSender);
    perf.setOption('n', "100");
    perf.setOption('t', "5");
    auto started = Clock::now();
    perf.sendTestData();
    auto ended = Clock::now();
    sink.thread.join();

    EXPECT_EQ(perf.totalBytes(), 8192);
    EXPECT_EQ(sink.received.load(), 8192);
    EXPECT_EQ(xmlValue(*r, "totalBytesSent"), "8192");
    // The end time is the sink's close, not the moment the block sat in our
    // socket buffer (which gave a rate of gigabytes per second).
    EXPECT_GE(ended, sink.closedAt);
    double reported = std::stod(xmlValue(*r, "time"));
    EXPECT_GE(reported, 0.39) << r->getXmlExtras();
    EXPECT_LE(reported, seconds(ended - started) + 0.01);
    EXPECT_LT(std::stoll(xmlValue(*r, "bytesPerSecond")), 8192 / 0.39);
    EXPECT_FALSE(r->getRanFullPeriod());
}

TEST(PerfSocketTransferTest, AReceiverCountsToTheEndAndASenderRunsItsTime) {
    TcpPair pair = loopbackPair();
    ASSERT_TRUE(pair.ok());
    auto sent = record(1);
    auto received = record(2);
    PerfSocket sender(pair.client.get(), sent, PerfSocket::kSender);
    sender.setOption('t', "1");
    sender.setOption('i', "1");
    PerfSocket receiver(pair.server.get(), received, PerfSocket::kReceiver);
    receiver.setStallLimitMs(3000);
    std::thread sink([&] {
        receiver.receiveTestData();
        pair.server.reset();  // what the reader thread does when it ends
    });
    auto started = Clock::now();
    sender.sendTestData();
    sink.join();
    double took = seconds(Clock::now() - started);

    EXPECT_GE(took, 1.0);
    EXPECT_LT(took, 3.0);
    EXPECT_TRUE(sent->getRanFullPeriod());
    EXPECT_NE(sent->getFinalResults().find("Test ran entire time period you asked for."),
              std::string::npos);
    EXPECT_GT(sender.totalBytes(), 8192);
    EXPECT_EQ(receiver.totalBytes(), sender.totalBytes());
    EXPECT_EQ(xmlValue(*received, "totalBytesSent"), std::to_string(sender.totalBytes()));
    EXPECT_EQ(received->getFinalResults().find("Bandwidth is <b>"), 4u)
        << received->getFinalResults();
    EXPECT_EQ(received->getRowCount(), 0);  // the receiving side makes no rows
    EXPECT_GE(sent->getRowCount(), 1);
}

TEST(PerfSocketTransferTest, ACancelStopsTheSenderAtOnceAndTheSinkLearnsOfIt) {
    TcpPair pair = loopbackPair();
    ASSERT_TRUE(pair.ok());
    auto sent = record(1);
    auto received = record(2);
    PerfSocket sender(pair.client.get(), sent, PerfSocket::kSender);
    sender.setOption('t', "30");
    PerfSocket receiver(pair.server.get(), received, PerfSocket::kReceiver);
    std::atomic<bool> sinkDone{false};
    Clock::time_point sinkEnded;
    std::thread sink([&] {
        receiver.receiveTestData();
        sinkEnded = Clock::now();
        sinkDone = true;
    });
    std::thread cancel([&] {
        testing::waitUntil([&] { return receiver.totalBytes() > 1000000; }, 10s);
        sent->setCancelled();
    });
    sender.sendTestData();
    auto senderEnded = Clock::now();
    pair.client.reset();  // the test thread closes its socket: a reset now
    cancel.join();
    sink.join();

    EXPECT_TRUE(sinkDone.load());
    EXPECT_LT(seconds(sinkEnded - senderEnded), 1.0);
    EXPECT_NE(sent->getFinalResults().find("This test was cancelled by the user."),
              std::string::npos);
    if (!testing::runningUnderWine()) {  // wine closes in order where Windows resets
        EXPECT_NE(received->getFinalResults().find(PerfSocket::kBrokenOffText), std::string::npos)
            << received->getFinalResults();
    }
    EXPECT_FALSE(sent->getRanFullPeriod());
}

TEST(PerfSocketTransferTest, ASinkCancelledOnItsSideStopsAndTheSenderIsTold) {
    TcpPair pair = loopbackPair();
    ASSERT_TRUE(pair.ok());
    auto sent = record(1);
    auto received = record(2);
    PerfSocket sender(pair.client.get(), sent, PerfSocket::kSender);
    sender.setOption('t', "30");
    sender.setStallLimitMs(3000);
    PerfSocket receiver(pair.server.get(), received, PerfSocket::kReceiver);
    Clock::time_point cancelledAt;
    std::thread sink([&] {
        std::thread cancel([&] {
            testing::waitUntil([&] { return receiver.totalBytes() > 1000000; }, 10s);
            cancelledAt = Clock::now();
            received->setCancelled();
        });
        receiver.receiveTestData();
        pair.server.reset();  // closed with data unread: the sender is reset
        cancel.join();
    });
    sender.sendTestData();
    auto senderEnded = Clock::now();
    sink.join();

    EXPECT_LT(seconds(senderEnded - cancelledAt), 1.0);
    EXPECT_NE(received->getFinalResults().find("This test was cancelled by the user."),
              std::string::npos);
    EXPECT_NE(sent->getOutputText().find("could not be sent to the remote data sink"),
              std::string::npos)
        << sent->getOutputText();
    EXPECT_NE(sent->getFinalResults().find("Sending stopped early"), std::string::npos);
}

TEST(PerfSocketTransferTest, EveryWaitHasADeadline) {
    // A sink whose peer sends nothing ends at its stall limit.
    {
        TcpPair pair = loopbackPair();
        ASSERT_TRUE(pair.ok());
        auto r = record();
        PerfSocket receiver(pair.server.get(), r, PerfSocket::kReceiver);
        receiver.setStallLimitMs(300);
        auto started = Clock::now();
        receiver.receiveTestData();
        double took = seconds(Clock::now() - started);
        EXPECT_GE(took, 0.3);
        EXPECT_LT(took, 1.5);
        EXPECT_NE(r->getFinalResults().find("No data came for 0.3 seconds"), std::string::npos)
            << r->getFinalResults();
    }
    // One that trickles a byte now and then ends at its total limit.
    {
        TcpPair pair = loopbackPair();
        ASSERT_TRUE(pair.ok());
        auto r = record();
        PerfSocket receiver(pair.server.get(), r, PerfSocket::kReceiver);
        receiver.setStallLimitMs(3000);
        receiver.setTotalLimitMs(1000);
        std::atomic<bool> stop{false};
        std::thread trickle([&] {
            while (!stop.load()) {
                if (!testing::sendAll(pair.client, "x")) break;
                std::this_thread::sleep_for(50ms);  // the trickle itself
            }
        });
        auto started = Clock::now();
        receiver.receiveTestData();
        double took = seconds(Clock::now() - started);
        stop = true;
        trickle.join();
        EXPECT_GE(took, 1.0);
        EXPECT_LT(took, 2.5);
        EXPECT_NE(r->getFinalResults().find("closed the connection at its limit of 1 seconds"),
                  std::string::npos)
            << r->getFinalResults();
    }
    // A sender whose sink stops reading gives up at its stall limit...
    {
        TcpPair pair = loopbackPair();
        ASSERT_TRUE(pair.ok());
        auto r = record();
        PerfSocket sender(pair.client.get(), r, PerfSocket::kSender);
        sender.setOption('t', "30");
        sender.setStallLimitMs(300);
        auto started = Clock::now();
        testing::captureStderr([&] { sender.sendTestData(); });
        double took = seconds(Clock::now() - started);
        EXPECT_LT(took, 3.0);
        EXPECT_NE(r->getOutputText().find("10060"), std::string::npos) << r->getOutputText();
        EXPECT_NE(r->getFinalResults().find("Bandwidth is"), std::string::npos);
    }
    // ...and, without one, still ends within a slice when it is stopped.
    {
        TcpPair pair = loopbackPair();
        ASSERT_TRUE(pair.ok());
        auto r = record();
        PerfSocket sender(pair.client.get(), r, PerfSocket::kSender);
        sender.setOption('t', "30");
        Clock::time_point stoppedAt;
        std::thread stopper([&] {
            // Until the window is full and the sends wait.
            long long before = -1;
            testing::waitUntil(
                [&] {
                    long long now = sender.totalBytes();
                    bool still = now > 0 && now == before;
                    before = now;
                    std::this_thread::sleep_for(50ms);
                    return still;
                },
                10s);
            stoppedAt = Clock::now();
            sender.requestStop();
        });
        sender.sendTestData();
        auto ended = Clock::now();
        stopper.join();
        EXPECT_LT(seconds(ended - stoppedAt), 0.5);
        EXPECT_NE(r->getFinalResults().find("Bandwidth is"), std::string::npos);
    }
}

}  // namespace
}  // namespace trellon
