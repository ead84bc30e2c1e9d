#include "nettests/stream_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "lib/shutdown.h"
#include "lib/thread.h"
#include "nettests/stream_packet.h"
#include "nettests/stream_test_helpers.h"
#include "results/test_result.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::loopback;
using testing::UdpPeer;

class StreamServerTest : public ::testing::Test {
protected:
    void SetUp() override { baseline_ = Thread::liveThreadCount(); }
    void TearDown() override {
        resetShutdownRequestForTests();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    std::shared_ptr<TestResult> record_ =
        std::make_shared<TestResult>(4, LocalEndpoint{"sender", "127.0.0.1", 4044});
    int baseline_ = 0;
};

StreamServer::Settings settingsFor(int port, int packetSize, int flowRate, int timeLimit) {
    StreamServer::Settings settings;
    settings.clientAddress = loopback();
    settings.destinationPort = port;
    settings.packetSize = packetSize;
    settings.flowRate = flowRate;
    settings.timeLimit = timeLimit;
    return settings;
}

TEST_F(StreamServerTest, SendsNumberedStampedPacketsAtItsRateUntilItsTimeLimit) {
    UdpPeer client;
    // 100-byte packets at 5000 bytes per second: one every 20 ms for a second.
    StreamServer server(settingsFor(client.port(), 100, 5000, 1), record_, false);
    std::string reason;
    ASSERT_TRUE(server.open(&reason)) << reason;
    server.describe();
    Timestamp before = Timestamp::now();
    server.start();

    std::vector<std::vector<std::uint8_t>> packets;
    sockaddr_in from{};
    for (;;) {
        auto packet = client.receive(2000ms, &from);
        if (packet.empty()) break;
        packets.push_back(std::move(packet));
    }
    server.join();

    ASSERT_GE(packets.size(), 48u);
    ASSERT_LE(packets.size(), 52u);
    EXPECT_EQ(ntohs(from.sin_port), server.sourcePort());
    std::uint32_t previousSeconds = 0, previousMicroseconds = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const auto& p = packets[i];
        ASSERT_EQ(p.size(), 100u);
        EXPECT_TRUE(StreamPacket::hasStreamWords(p.data()));
        EXPECT_EQ(StreamPacket::readWord(p.data(), StreamPacket::kSequence), i);
        std::uint32_t seconds = StreamPacket::readWord(p.data(), StreamPacket::kSendSeconds);
        std::uint32_t microseconds =
            StreamPacket::readWord(p.data(), StreamPacket::kSendMicroseconds);
        EXPECT_LT(microseconds, 1000000u);
        EXPECT_GE(static_cast<std::int64_t>(seconds), before.seconds);
        if (i > 0) {
            std::int64_t spacing =
                (static_cast<std::int64_t>(seconds) - previousSeconds) * 1000000 + microseconds -
                previousMicroseconds;
            EXPECT_GT(spacing, 10000) << i;
            EXPECT_LT(spacing, 30000) << i;
        }
        previousSeconds = seconds;
        previousMicroseconds = microseconds;
        std::uint32_t delay = StreamPacket::readWord(p.data(), StreamPacket::kSenderDelayPrevious);
        if (i == 0) {
            EXPECT_EQ(delay, 0u);
        }
        EXPECT_LT(delay, 20000u) << i;
    }

    // Its own record: the sending side, run to its end like any test.
    EXPECT_EQ(record_->getState(), TestResult::kFinished);
    EXPECT_EQ(record_->getTitle(), StreamServer::kTitle);
    EXPECT_EQ(record_->getLocalRole(), "Media Source");
    EXPECT_EQ(record_->getTestType(), TestResult::kStreamingTest);
    EXPECT_EQ(record_->getRemoteComputer(), "127.0.0.1");
    EXPECT_EQ(record_->getStreamSendPort(), server.sourcePort());
    EXPECT_EQ(record_->getStreamReceivePort(), client.port());
    EXPECT_GT(record_->getStartTime(), 0);
    EXPECT_TRUE(record_->getRanFullPeriod());
    const std::string sent =
        "Sent <b>" + std::to_string(packets.size()) + "</b> packets of <b>100</b>";
    EXPECT_NE(record_->getFinalResults().find(sent), std::string::npos)
        << record_->getFinalResults();
    EXPECT_NE(record_->getFinalResults().find("Test ran entire time period"), std::string::npos);
    EXPECT_NE(record_->getXmlExtras().find("<packetsSent>" + std::to_string(packets.size())),
              std::string::npos);
    EXPECT_EQ(server.packetsSent(), packets.size());
}

TEST_F(StreamServerTest, ACancelEndsEvenAStreamOfOnePacketAMinuteAtOnce) {
    UdpPeer client;
    // 100 bytes at 1 byte per second: one packet, then a 100-second wait.
    StreamServer server(settingsFor(client.port(), 100, 1, 60), record_, false);
    ASSERT_TRUE(server.open(nullptr));
    server.describe();
    server.start();
    ASSERT_FALSE(client.receive(2000ms).empty());
    auto cancelledAt = std::chrono::steady_clock::now();
    record_->setCancelled();
    server.join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 1s);
    EXPECT_EQ(record_->getState(), TestResult::kFinished);
    EXPECT_EQ(server.packetsSent(), 1u);
    EXPECT_NE(record_->getFinalResults().find("This test was cancelled by the user."),
              std::string::npos)
        << record_->getFinalResults();
    EXPECT_FALSE(record_->getRanFullPeriod());

    // The agent stopping ends it the same way, and says so.
    auto other = std::make_shared<TestResult>(5, LocalEndpoint{"sender", "127.0.0.1", 4044});
    StreamServer stopping(settingsFor(client.port(), 100, 1, 60), other, false);
    ASSERT_TRUE(stopping.open(nullptr));
    stopping.start();
    ASSERT_FALSE(client.receive(2000ms).empty());
    requestShutdown();
    stopping.join();
    EXPECT_NE(other->getFinalResults().find("the agent is stopping"), std::string::npos)
        << other->getFinalResults();
}

TEST_F(StreamServerTest, ARefusingReceiverOrABusySourcePortEndsOrRefusesTheStream) {
    // The receiver goes away early: the sends are refused and the stream
    // ends, saying why, long before its time limit.
    auto client = std::make_unique<UdpPeer>();
    StreamServer server(settingsFor(client->port(), 100, 50000, 30), record_, false);
    ASSERT_TRUE(server.open(nullptr));
    server.start();
    ASSERT_FALSE(client->receive(2000ms).empty());
    client.reset();
    ASSERT_TRUE(eventually([&] { return record_->getState() == TestResult::kFinished; }, 5s));
    server.join();
    EXPECT_NE(record_->getFinalResults().find("no longer accepts the stream"), std::string::npos)
        << record_->getFinalResults();
    EXPECT_FALSE(record_->getRanFullPeriod());

    // A source port another socket holds is not shared with it.
    UdpPeer holder(1);
    UdpPeer receiver;
    StreamServer::Settings settings = settingsFor(receiver.port(), 100, 5000, 1);
    settings.sourcePort = holder.port();
    auto other = std::make_shared<TestResult>(6, LocalEndpoint{"sender", "127.0.0.1", 4044});
    StreamServer busy(settings, other, false);
    std::string reason;
    EXPECT_FALSE(busy.open(&reason));
    EXPECT_NE(reason.find(std::to_string(holder.port())), std::string::npos) << reason;
    // A free one is used.
    holder.close();
    StreamServer fixed(settings, other, false);
    ASSERT_TRUE(fixed.open(&reason)) << reason;
    EXPECT_EQ(fixed.sourcePort(), settings.sourcePort);
}

}  // namespace
}  // namespace trellon
