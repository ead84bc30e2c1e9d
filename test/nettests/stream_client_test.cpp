#include "nettests/stream_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/thread.h"
#include "nettests/stream_packet.h"
#include "nettests/stream_test_helpers.h"
#include "results/test_result.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::loopback;
using testing::streamPacket;
using testing::UdpPeer;

class StreamClientTest : public ::testing::Test {
protected:
    void SetUp() override { baseline_ = Thread::liveThreadCount(); }
    void TearDown() override {
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    // 100-byte packets at 5000 bytes per second with a 200 ms buffer (10
    // slots), from 127.0.0.1.
    std::unique_ptr<StreamClient> startClient(int timeLimit, int localPort = 0) {
        StreamClient::Settings settings;
        settings.localPort = localPort;
        settings.packetSize = 100;
        settings.flowRate = 5000;
        settings.bufferDuration = 200;
        settings.reportInterval = 1;
        settings.timeLimit = timeLimit;
        settings.sender = loopback();
        auto client = std::make_unique<StreamClient>(settings, record_);
        client->start();
        port_ = client->waitForPort(5s);
        record_->setState(TestResult::kRunning);
        return client;
    }

    std::shared_ptr<TestResult> record_ =
        std::make_shared<TestResult>(2, LocalEndpoint{"receiver", "127.0.0.1", 4044});
    int port_ = 0;
    int baseline_ = 0;
};

TEST_F(StreamClientTest, CountsOnlyItsOwnStreamWhateverElseArrives) {
    auto client = startClient(30);
    ASSERT_GT(port_, 0);
    EXPECT_EQ(record_->getTestType(), TestResult::kStreamingTest);
    EXPECT_EQ(record_->getBufferDuration(), 200);

    UdpPeer server;
    UdpPeer stranger;      // same address, another port
    UdpPeer elsewhere(2);  // another address
    // Before the stream: too short for the header, empty, not a stream packet.
    auto header = streamPacket(0);
    ASSERT_TRUE(
        server.sendTo(port_, std::vector<std::uint8_t>(header.begin(), header.begin() + 27)));
    ASSERT_TRUE(server.sendTo(port_, {}));
    auto foreign = streamPacket(0);
    StreamPacket::writeWord(foreign.data(), StreamPacket::kHeaderWordC, 7);
    ASSERT_TRUE(server.sendTo(port_, foreign));
    // From a computer that was not asked, with numbers that would wreck the figures.
    ASSERT_TRUE(elsewhere.sendTo(port_, streamPacket(20000)));
    // The stream itself; the stranger's copies interleave once it has begun.
    for (std::uint32_t s = 0; s < 20; ++s) {
        ASSERT_TRUE(server.sendTo(port_, streamPacket(s)));
        if (s == 5) {
            for (std::uint32_t x : {3u, 9000u, 40000u})
                ASSERT_TRUE(stranger.sendTo(port_, streamPacket(x)));
            // Exactly the header is enough.
            ASSERT_TRUE(server.sendTo(port_, streamPacket(++s, StreamPacket::kHeaderBytes)));
        }
        std::this_thread::sleep_for(1ms);  // pacing of the stream itself
    }
    ASSERT_TRUE(eventually([&] { return client->ignoredDatagrams() >= 4; }));
    // Shorter than the header, from the right sender: still ignored.
    ASSERT_TRUE(
        server.sendTo(port_, std::vector<std::uint8_t>(header.begin(), header.begin() + 20)));
    ASSERT_TRUE(eventually([&] { return client->ignoredDatagrams() >= 5; }));
    client->stop();
    ASSERT_TRUE(client->waitEnded(5s));
    client->join();

    EXPECT_EQ(record_->getStreamSendPort(), server.port());
    EXPECT_EQ(record_->getState(), TestResult::kFinished);
    std::string xml = record_->getXmlExtras();
    EXPECT_NE(xml.find("<packetCount>20</packetCount>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<dropped>0</dropped>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<outOfOrder>0</outOfOrder>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<duplicate>0</duplicate>"), std::string::npos) << xml;
    EXPECT_NE(record_->getPortExplanation().value_or("").find(
                  "Remote server sent UDP packets on port " + std::to_string(server.port())),
              std::string::npos);
    // The stranger's datagrams after the stream began were not even read:
    // the socket is connected to the stream's sender by then.
    EXPECT_EQ(client->ignoredDatagrams(), 5u);
}

TEST_F(StreamClientTest, AFloodFromAStrangerDoesNotCostTheStreamAPacket) {
    auto client = startClient(30);
    ASSERT_GT(port_, 0);
    UdpPeer server;
    ASSERT_TRUE(server.sendTo(port_, streamPacket(0)));
    ASSERT_TRUE(eventually([&] { return record_->getStreamSendPort() == server.port(); }));
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        UdpPeer stranger;
        std::uint32_t s = 0;
        auto end = std::chrono::steady_clock::now() + 3s;
        while (flooding.load() && std::chrono::steady_clock::now() < end)
            stranger.sendTo(port_, streamPacket(s += 7919));
    });
    for (std::uint32_t s = 1; s < 200; ++s) {
        ASSERT_TRUE(server.sendTo(port_, streamPacket(s)));
        std::this_thread::sleep_for(1ms);
    }
    flooding.store(false);
    flood.join();
    client->stop();
    client->join();
    std::string xml = record_->getXmlExtras();
    EXPECT_NE(xml.find("<packetCount>200</packetCount>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<dropped>0</dropped>"), std::string::npos) << xml;
}

TEST_F(StreamClientTest, EndsAtItsTimeLimitOrWithoutAPortWhenItsPortIsTaken) {
    auto started = std::chrono::steady_clock::now();
    auto client = startClient(1);
    ASSERT_GT(port_, 0);
    ASSERT_TRUE(client->waitEnded(5s));
    client->join();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_TRUE(record_->getRanFullPeriod());
    EXPECT_EQ(record_->getState(), TestResult::kFinished);
    EXPECT_NE(record_->getFinalResults().find("No useful jitter data"), std::string::npos);

    // A fixed port that another socket holds: no port, and the client ends.
    UdpPeer holder(0);
    record_ = std::make_shared<TestResult>(3, LocalEndpoint{"receiver", "127.0.0.1", 4044});
    auto second = startClient(5, holder.port());
    EXPECT_EQ(port_, 0);
    EXPECT_TRUE(second->waitEnded(5s));
    second->join();
}

}  // namespace
}  // namespace trellon
