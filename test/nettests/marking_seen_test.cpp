// The marking a response test's probes had at the far end (word 44 of the
// reply, filled by the reflector from IP_RECVTOS) and the marking its replies
// came back with, against the real reflector and against reflectors that do
// not fill the word, over loopback (which keeps the TOS byte).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/thread.h"
#include "nettests/fake_agent.h"
#include "nettests/probe_packet.h"
#include "nettests/remote_agent_status.h"
#include "nettests/response_reflector.h"
#include "nettests/response_test_thread.h"
#include "platform/received_tos.h"
#include "results/test_result.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;

TEST(SeenDscpWord, FlagAndCodePointOrNothing) {
    EXPECT_EQ(ProbePacket::seenDscpWord(-1), 0u);
    EXPECT_EQ(ProbePacket::seenDscpWord(0), 0x100u);
    EXPECT_EQ(ProbePacket::seenDscpWord(46), 0x12Eu);
    for (int dscp = 0; dscp < 64; ++dscp)
        EXPECT_EQ(ProbePacket::seenDscpFromWord(ProbePacket::seenDscpWord(dscp)), dscp);
    EXPECT_EQ(ProbePacket::seenDscpFromWord(0), -1);      // an old reflector
    EXPECT_EQ(ProbePacket::seenDscpFromWord(46), -1);     // no flag
    EXPECT_EQ(ProbePacket::seenDscpFromWord(0x16E), -1);  // bits no reflector writes
    EXPECT_EQ(ProbePacket::seenDscpFromWord(0xFFFFFFFF), -1);
}

// Echoes each probe with its times stamped and word 44 as it came (zero):
// what a reflector from before word 44 does. With `word44`, writes that.
class OldReflector {
public:
    explicit OldReflector(std::optional<std::uint32_t> word44 = std::nullopt) : word44_(word44) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        socklen_t length = sizeof(local);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~OldReflector() {
        stop_.store(true);
        thread_.join();
        ::close(socket_);
    }
    int port() const { return port_; }

private:
    void serve() {
        while (!stop_.load()) {
            pollfd fd{socket_, POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0) continue;
            std::vector<std::uint8_t> probe(2000);
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            long n = ::recvfrom(socket_, probe.data(), probe.size(), 0,
                                reinterpret_cast<sockaddr*>(&from), &length);
            if (n < static_cast<long>(ProbePacket::kHeaderBytes)) continue;
            Timestamp now = Timestamp::now();
            ProbePacket::writeTime(probe.data(), ProbePacket::kReflectorReceiveSeconds, now);
            ProbePacket::writeTime(probe.data(), ProbePacket::kReflectorSendSeconds, now);
            if (word44_) ProbePacket::writeWord(probe.data(), ProbePacket::kSeenDscp, *word44_);
            ::sendto(socket_, probe.data(), static_cast<std::size_t>(n), 0,
                     reinterpret_cast<sockaddr*>(&from), sizeof(from));
        }
    }

    std::optional<std::uint32_t> word44_;
    int socket_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class MarkingSeenTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResponseTestThread::setWriterStartDelayForTests(0ms);
        emptyRemoteAgentCache();
        baseline_ = Thread::liveThreadCount();
    }
    void TearDown() override {
        agent_.reset();
        setAgentControlPortForTests(kAgentControlPort);
        emptyRemoteAgentCache();
        ResponseTestThread::setWriterStartDelayForTests(1000ms);
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    // A finished test of four probes against a reflector on `port`, asking `dscp`.
    std::shared_ptr<TestResult> run(int port, int dscp) {
        std::string reply = "3.2\r\nready\r\n4045\r\n4046\r\n" + std::to_string(port) + "\r\n0\r\n";
        agent_ = std::make_unique<testing::FakeAgent>(reply);
        setAgentControlPortForTests(agent_->port());
        emptyRemoteAgentCache();
        auto record = std::make_shared<TestResult>(1, LocalEndpoint{"local", "127.0.0.1", 4044});
        record->setDscp(dscp);
        ResponseTestThread thread(record, "127.0.0.1", 4044, 100, 4, 50, 20, dscp, -1, 0, false);
        thread.start();
        thread.join();
        EXPECT_EQ(record->getPacketsReceived(), 4);
        return record;
    }

    std::unique_ptr<testing::FakeAgent> agent_;
    int baseline_ = 0;
};

TEST_F(MarkingSeenTest, TheReflectorTellsWhatItSawAndTheReplyWhatCameBack) {
    ResponseReflector reflector(0);
    reflector.openSocketRunThreads();
    auto marked = run(reflector.port(), 46);
    std::string xml = marked->xmlDocument();
    EXPECT_NE(xml.find("<dscpAsked>46</dscpAsked>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<dscpSeenAtReflector>46</dscpSeenAtReflector>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<dscpCameBack>46</dscpCameBack>"), std::string::npos) << xml;
    EXPECT_NE(marked->getExtraHtml().find("Packet marking (DSCP): asked <b>46</b>, seen at the "
                                          "remote reflector <b>46</b>, came back <b>46</b>."),
              std::string::npos)
        << marked->getExtraHtml();

    auto plain = run(reflector.port(), -1);
    xml = plain->xmlDocument();
    EXPECT_NE(xml.find("<dscpSeenAtReflector>0</dscpSeenAtReflector>"), std::string::npos) << xml;
    EXPECT_NE(
        plain->getExtraHtml().find("asked <b>none</b>, seen at the remote reflector <b>0</b>"),
        std::string::npos)
        << plain->getExtraHtml();
}

TEST_F(MarkingSeenTest, AReflectorThatLeavesWord44ZeroIsUnknownNeverZero) {
    for (std::optional<std::uint32_t> word :
         {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{0xFFFFFFFF},
          std::optional<std::uint32_t>{46}}) {
        OldReflector old(word);
        auto record = run(old.port(), -1);
        std::string xml = record->xmlDocument();
        EXPECT_NE(xml.find("<dscpSeenAtReflector>unknown</dscpSeenAtReflector>"), std::string::npos)
            << xml;
        // The reply's own marking is read by this side: unmarked, 0.
        EXPECT_NE(xml.find("<dscpCameBack>0</dscpCameBack>"), std::string::npos) << xml;
        EXPECT_NE(record->getExtraHtml().find("seen at the remote reflector <b>unknown</b>"),
                  std::string::npos);
    }
}

TEST(ReceivedTos, TheTosByteOfALoopbackDatagram) {
    int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
    int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(receiver, 0);
    ASSERT_GE(sender, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
    socklen_t length = sizeof(local);
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&local), &length);
    auto receiveOne = [&](std::size_t room) {
        std::uint8_t byte = 0;
        iovec vector{&byte, 1};
        alignas(cmsghdr) std::uint8_t control[platform::kReceivedTosControlBytes];
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = room ? control : nullptr;
        message.msg_controllen = room;
        pollfd fd{receiver, POLLIN, 0};
        if (::poll(&fd, 1, 2000) != 1 || ::recvmsg(receiver, &message, 0) != 1) return -2;
        return platform::receivedTos(message);
    };
    auto send = [&](int tos) {
        ::setsockopt(sender, IPPROTO_IP, IP_TOS, &tos, sizeof(tos));
        ::sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    };
    send(46 << 2);
    EXPECT_EQ(receiveOne(platform::kReceivedTosControlBytes), -1);  // not asked for yet
    ASSERT_TRUE(platform::enableReceivedTos(receiver));
    send(46 << 2);
    EXPECT_EQ(receiveOne(platform::kReceivedTosControlBytes), 46 << 2);
    send(0);
    EXPECT_EQ(receiveOne(platform::kReceivedTosControlBytes), 0);
    send(10 << 2);
    EXPECT_EQ(receiveOne(0), -1);  // no room for it
    send(10 << 2);
    EXPECT_EQ(receiveOne(4), -1);  // too little room: cut short
    ::close(sender);
    ::close(receiver);
}

}  // namespace
}  // namespace trellon
