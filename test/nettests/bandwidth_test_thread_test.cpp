#include "nettests/bandwidth_test_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "lib/shutdown.h"
#include "lib/thread.h"
#include "nettests/data_sink.h"
#include "nettests/fake_agent.h"
#include "nettests/perf_socket.h"
#include "nettests/qos_marking.h"
#include "nettests/remote_agent_status.h"
#include "results/test_log.h"
#include "results/test_result.h"
#include "platform/socket.h"
#include "support/bandwidth_helpers.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::waitUntil;

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

class BandwidthTestThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        baseline_ = Thread::liveThreadCount();
        TestLog::destroy();
        TestLog::resetIdentifiersForTests();
        TestLog::create(100);
        emptyRemoteAgentCache();
    }
    void TearDown() override {
        sink_.reset();
        agent_.reset();
        setAgentControlPortForTests(kAgentControlPort);
        emptyRemoteAgentCache();
        resetShutdownRequestForTests();
        TestLog::destroy();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    // The data sink in this process, and a remote agent whose status names it.
    void startSink() {
        sink_ = std::make_unique<testing::DataSinkListener>();
        ASSERT_GT(sink_->port(), 0);
        remoteAgentWithSinkPort(sink_->port());
    }
    void remoteAgentWithSinkPort(int port) {
        agent_ = std::make_unique<testing::FakeAgent>("3.2\r\nready\r\n" + std::to_string(port) +
                                                      "\r\n4046\r\n4047\r\n0\r\n");
        setAgentControlPortForTests(agent_->port());
    }

    static std::shared_ptr<TestResult> newRecord() {
        return std::make_shared<TestResult>(1000, LocalEndpoint{"local", "127.0.0.1", 4044});
    }
    static std::unique_ptr<BandwidthTestThread> makeThread(const std::shared_ptr<TestResult>& r,
                                                           std::int64_t size, int timeLimit,
                                                           int dscp = -1) {
        return std::make_unique<BandwidthTestThread>(r, "127.0.0.1", 4044, size, 1, timeLimit, dscp,
                                                     -1, 0, false);
    }
    // The sink's record of the n-th connection it admitted (ids from 1).
    static std::shared_ptr<TestResult> sinkRecord(int id) {
        return TestLog::instance()->findTestResult(id);
    }
    static bool finished(const std::shared_ptr<TestResult>& r) {
        return r && r->getState() == TestResult::kFinished;
    }

    int baseline_ = 0;
    std::unique_ptr<testing::DataSinkListener> sink_;
    std::unique_ptr<testing::FakeAgent> agent_;
};

TEST(BandwidthSocketTimeoutTest, TheSmallerOfTheTimeLimitAndThreeSeconds) {
    EXPECT_EQ(BandwidthTestThread::socketTimeoutMs(1), 1000);
    EXPECT_EQ(BandwidthTestThread::socketTimeoutMs(2), 2000);
    EXPECT_EQ(BandwidthTestThread::socketTimeoutMs(60), 3000);
    EXPECT_EQ(BandwidthTestThread::socketTimeoutMs(0), 1000);
}

TEST_F(BandwidthTestThreadTest, ATestReachesTheSinkAndBothRecordsEndWithTheFigures) {
    startSink();
    auto r = newRecord();
    auto test = makeThread(r, 4000000, 10, 46);
    testing::captureStdout([&] {
        test->start();
        test->join();
    });

    EXPECT_EQ(r->getState(), TestResult::kFinished);
    long long total = std::stoll(xmlValue(*r, "totalBytesSent"));
    EXPECT_GE(total, 4000000);
    EXPECT_LT(total, 4000000 + 8192);
    EXPECT_GT(std::stoll(xmlValue(*r, "bytesPerSecond")), 0);
    EXPECT_EQ(xmlValue(*r, "remoteBandwidthPort"), std::to_string(sink_->port()));
    std::string local = xmlValue(*r, "localBandwidthPort");
    EXPECT_EQ(r->getPortExplanation().value_or(""), "<br>Sent TCP packets from port " + local +
                                                        " to remote port " +
                                                        std::to_string(sink_->port()) + ".</p>");
    EXPECT_EQ(r->getFinalResults().find("<br>Bandwidth is <b>"), 0u) << r->getFinalResults();
    // The marking was asked for TCP to the sink, and is gone with the test.
    EXPECT_EQ(QosMarking::installedFlows().size(), 0u);

    // The sink's own record: the same bytes, from the sender's port, finished.
    auto sunk = sinkRecord(1);
    ASSERT_TRUE(sunk);
    ASSERT_TRUE(waitUntil([&] { return finished(sunk); }, 5s));
    EXPECT_EQ(xmlValue(*sunk, "totalBytesSent"), std::to_string(total));
    EXPECT_EQ(xmlValue(*sunk, "remoteBandwidthPort"), local);
    EXPECT_EQ(sunk->getTestType(), TestResult::kBandwidthTest);
    EXPECT_EQ(sunk->getRemoteComputer(), "127.0.0.1");
    EXPECT_EQ(sunk->getFinalResults().find("<br>Bandwidth is <b>"), 0u);
    // The sender's end came after the sink had everything: its time covers the sink's.
    EXPECT_GE(std::stod(xmlValue(*r, "time")) + 0.002, std::stod(xmlValue(*sunk, "time")));
}

TEST_F(BandwidthTestThreadTest, TwoTestsAtOnceGetTwoIndependentSinkRecords) {
    startSink();
    auto first = newRecord();
    auto second = newRecord();
    auto a = makeThread(first, 1000000000, 2);
    auto b = makeThread(second, 1000000000, 2);
    testing::captureStdout([&] {
        a->start();
        b->start();
        a->join();
        b->join();
    });
    ASSERT_TRUE(waitUntil([&] { return finished(sinkRecord(1)) && finished(sinkRecord(2)); }, 5s));
    // Each sink record belongs to one sender: the sender's port and its total.
    for (const auto& sender : {first, second}) {
        std::string port = xmlValue(*sender, "localBandwidthPort");
        int matches = 0;
        for (int id : {1, 2}) {
            auto sunk = sinkRecord(id);
            if (xmlValue(*sunk, "remoteBandwidthPort") != port) continue;
            ++matches;
            EXPECT_EQ(xmlValue(*sunk, "totalBytesSent"), xmlValue(*sender, "totalBytesSent"));
        }
        EXPECT_EQ(matches, 1) << port;
    }
    EXPECT_EQ(TestLog::instance()->count(), 2);
}

TEST_F(BandwidthTestThreadTest, ACancelEndsBothSidesWithinASecondAndBothRecordsSaySo) {
    startSink();
    auto r = newRecord();
    auto test = makeThread(r, 1000000000, 30);
    Clock::time_point cancelledAt;
    testing::captureStdout([&] {
        test->start();
        ASSERT_TRUE(waitUntil([&] { return sinkRecord(1) != nullptr; }, 5s));
        auto sunk = sinkRecord(1);
        ASSERT_TRUE(waitUntil([&] { return sunk->getState() == TestResult::kRunning; }, 5s));
        cancelledAt = Clock::now();
        r->setCancelled();
        test->join();
    });
    EXPECT_LT(seconds(Clock::now() - cancelledAt), 1.0);
    auto sunk = sinkRecord(1);
    ASSERT_TRUE(waitUntil([&] { return finished(sunk); }, 1s));
    EXPECT_LT(seconds(Clock::now() - cancelledAt), 1.0);
    EXPECT_NE(r->getFinalResults().find("This test was cancelled by the user."), std::string::npos);
    if (!testing::runningUnderWine()) {  // wine closes in order where Windows resets
        EXPECT_NE(sunk->getFinalResults().find(PerfSocket::kBrokenOffText), std::string::npos)
            << sunk->getFinalResults();
    }
}

TEST_F(BandwidthTestThreadTest, AStopEndsTheTestPromptly) {
    startSink();
    auto r = newRecord();
    auto test = makeThread(r, 1000000000, 30);
    Clock::time_point stoppedAt;
    testing::captureStdout([&] {
        test->start();
        ASSERT_TRUE(waitUntil([&] { return r->getState() == TestResult::kRunning; }, 5s));
        stoppedAt = Clock::now();
        test->stop();
        test->join();
    });
    EXPECT_LT(seconds(Clock::now() - stoppedAt), 1.0);
    EXPECT_EQ(r->getState(), TestResult::kFinished);
}

TEST_F(BandwidthTestThreadTest, ARemoteWithoutASinkOrOneThatRefusesEndsWithTheReason) {
    remoteAgentWithSinkPort(0);
    auto none = newRecord();
    auto test = makeThread(none, 1000, 5);
    testing::captureStdout([&] {
        test->start();
        test->join();
    });
    EXPECT_EQ(none->getState(), TestResult::kFinished);
    EXPECT_EQ(
        none->getFinalResults(),
        "The remote agent at 127.0.0.1 did not name its data sink port, so no data was sent.");

    // A port where nothing listens.
    int closed = 0;
    {
        testing::TcpPair pair = testing::loopbackPair();
        closed = platform::localPort(pair.client.get());
    }
    emptyRemoteAgentCache();
    remoteAgentWithSinkPort(closed);
    auto refused = newRecord();
    auto second = makeThread(refused, 1000, 5);
    testing::captureStderr([&] {
        testing::captureStdout([&] {
            second->start();
            second->join();
        });
    });
    EXPECT_EQ(refused->getState(), TestResult::kFinished);
    EXPECT_NE(refused->getFinalResults().find("Could not connect to the data sink of 127.0.0.1 "
                                              "on port " +
                                              std::to_string(closed) + " (error 10061"),
              std::string::npos)
        << refused->getFinalResults();
}

}  // namespace
}  // namespace trellon
