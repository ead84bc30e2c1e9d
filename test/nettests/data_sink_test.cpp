#include "nettests/data_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lib/shutdown.h"
#include "lib/thread.h"
#include "nettests/perf_socket.h"
#include "platform/socket.h"
#include "results/test_log.h"
#include "results/test_result.h"
#include "support/bandwidth_helpers.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::waitUntil;

class DataSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        baseline_ = Thread::liveThreadCount();
        TestLog::destroy();
        TestLog::resetIdentifiersForTests();
        TestLog::create(100);
    }
    void TearDown() override {
        TestLog::destroy();
        resetShutdownRequestForTests();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }
    int baseline_ = 0;
};

TEST_F(DataSinkTest, AFloodIsCappedAndSilentConnectionsEndAtTheirDeadline) {
    auto sink = std::make_unique<testing::DataSinkListener>();
    ASSERT_GT(sink->port(), 0);
    constexpr int kClients = DataSink::kMaxConnections + 6;
    std::vector<testing::Fd> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(testing::connectLoopback(sink->port()));
        ASSERT_TRUE(clients.back().valid());
    }
    ASSERT_TRUE(
        waitUntil([] { return DataSink::activeConnections() == DataSink::kMaxConnections; }, 5s));
    // Those beyond the cap were closed at once, with no record and no thread.
    int closedAtOnce = 0;
    for (auto& client : clients)
        if (testing::peerClosed(client.get(), 20ms)) ++closedAtOnce;
    EXPECT_EQ(closedAtOnce, kClients - DataSink::kMaxConnections);
    EXPECT_EQ(TestLog::instance()->count(), DataSink::kMaxConnections);
    EXPECT_LE(Thread::liveThreadCount(), baseline_ + 1 + DataSink::kMaxConnections);

    // A connection that sends nothing is ended after the stall limit.
    auto started = Clock::now();
    ASSERT_TRUE(waitUntil([] { return DataSink::activeConnections() == 0; }, 10s));
    double took = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_LT(took, DataSink::kStallLimitMs / 1000.0 + 2.0);
    auto first = TestLog::instance()->findTestResult(1);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->getState(), TestResult::kFinished);
    EXPECT_NE(first->getFinalResults().find("No data came for 3 seconds"), std::string::npos)
        << first->getFinalResults();
    EXPECT_EQ(first->getFinalResults().find(PerfSocket::kUnknownBandwidthText), 0u);

    // Room again for a new connection.
    testing::Fd late = testing::connectLoopback(sink->port());
    ASSERT_TRUE(waitUntil([] { return DataSink::activeConnections() == 1; }, 5s));
    late.reset();
    testing::captureStdout([&] { sink.reset(); });
}

TEST_F(DataSinkTest, EachConnectionsRecordDescribesWhatItReceived) {
    auto sink = std::make_unique<testing::DataSinkListener>();
    testing::Fd client = testing::connectLoopback(sink->port());
    ASSERT_TRUE(client.valid());
    std::string block(100000, 'x');
    ASSERT_TRUE(testing::sendAll(client, block));
    platform::shutdownSocket(client.get(), platform::ShutdownHow::send);
    // The sink closes once it has read everything: the sender's end of the test.
    EXPECT_TRUE(testing::peerClosed(client.get(), 5s));
    auto r = TestLog::instance()->findTestResult(1);
    ASSERT_TRUE(r);
    ASSERT_TRUE(waitUntil([&] { return r->getState() == TestResult::kFinished; }, 5s));
    std::string xml = r->xmlDocument();
    EXPECT_NE(xml.find("<type>Bandwidth</type>"), std::string::npos);
    EXPECT_NE(xml.find("<done>1</done>"), std::string::npos);
    EXPECT_NE(xml.find("<totalBytesSent>100000</totalBytesSent>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<localRole>Destination</localRole>"), std::string::npos);
    EXPECT_NE(xml.find("<remoteComputer>127.0.0.1</remoteComputer>"), std::string::npos);
    EXPECT_NE(xml.find("<localBandwidthPort>" + std::to_string(sink->port())), std::string::npos);
    EXPECT_EQ(r->getColumnHeadings().size(), 6u);
    EXPECT_EQ(r->getTimeLimit(), DataSink::connectionLimitSeconds());
    client.reset();
    testing::captureStdout([&] { sink.reset(); });
}

}  // namespace
}  // namespace trellon
