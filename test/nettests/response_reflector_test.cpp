#include "nettests/response_reflector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "lib/shutdown.h"
#include "lib/thread.h"
#include "nettests/filler.h"
#include "nettests/probe_packet.h"
#include "nettests/qos_marking.h"
#include "platform/datagram_batch.h"
#include "platform/socket.h"
#include "support/test_support.h"
#include "support/thread_barrier.h"

namespace trellon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A prober on loopback: its own UDP socket, replies read with a time-out so
// a missing reply fails the test instead of hanging it.
class Prober {
public:
    explicit Prober(int reflectorPort) {
        socket_ = platform::openSocket(true);
        platform::bindSocket(socket_, platform::ipv4Address(htonl(INADDR_LOOPBACK), 0));
        port_ = static_cast<std::uint16_t>(platform::localPort(socket_));
        platform::setReceiveTimeout(socket_, 2000);
        reflector_ = platform::ipv4Address(htonl(INADDR_LOOPBACK),
                                           static_cast<std::uint16_t>(reflectorPort));
    }
    ~Prober() { platform::closeSocket(socket_); }

    void send(const Bytes& bytes) {
        ASSERT_EQ(platform::sendTo(socket_, bytes.data(), bytes.size(), reflector_),
                  static_cast<long>(bytes.size()));
    }

    // The next reply (empty when none came within the time-out), and where it came from.
    Bytes receive(sockaddr_in* from = nullptr) {
        Bytes buffer(4000);
        sockaddr_in source{};
        platform::Datagram datagram;
        datagram.data = buffer.data();
        datagram.size = buffer.size();
        datagram.peer = &source;
        int n = platform::receiveDatagramsSingly(socket_, &datagram, 1, 0);
        if (from != nullptr) *from = source;
        buffer.resize(n == 1 ? datagram.length : 0);
        return buffer;
    }

    std::uint16_t port() const { return port_; }

private:
    platform::NativeSocket socket_ = platform::kNoSocket;
    std::uint16_t port_ = 0;
    sockaddr_in reflector_{};
};

// A probe as the response test writes it, with a tag in the payload.
Bytes makeProbe(std::size_t size, std::uint32_t tag = 0, int dscp = -1, int priority = -1) {
    Bytes bytes(size);
    Filler::fill(bytes.data(), bytes.size());
    ProbePacket::writeWord(bytes.data(), ProbePacket::kHeaderWordA, 2);
    ProbePacket::writeWord(bytes.data(), ProbePacket::kHeaderWordB, 2);
    ProbePacket::writeTime(bytes.data(), ProbePacket::kSendSeconds, Timestamp::now());
    for (std::size_t offset = 28; offset < 52; offset += 4)
        ProbePacket::writeWord(bytes.data(), offset, 0);
    ProbePacket::writeWord(bytes.data(), ProbePacket::kReplyDscp,
                           ProbePacket::wordFromMarking(dscp));
    ProbePacket::writeWord(bytes.data(), ProbePacket::kReplyPriority,
                           ProbePacket::wordFromMarking(priority));
    if (size >= ProbePacket::kPayload + 4)
        ProbePacket::writeWord(bytes.data(), ProbePacket::kPayload, tag);
    return bytes;
}

std::uint32_t tagOf(const Bytes& reply) {
    return ProbePacket::readWord(reply.data(), ProbePacket::kPayload);
}

std::vector<QosMarking::Flow> flowsForPort(std::uint16_t port) {
    std::vector<QosMarking::Flow> flows;
    for (const auto& flow : QosMarking::installedFlows())
        if (flow.port == port) flows.push_back(flow);
    return flows;
}

class ResponseReflectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        reflector_ = std::make_unique<ResponseReflector>(0);
        reflector_->openSocketRunThreads();
        ASSERT_NE(reflector_->port(), 0);
    }
    void TearDown() override { reflector_.reset(); }

    std::unique_ptr<ResponseReflector> reflector_;
};

// ---------------------------------------------------------------- queue

ReflectedPacketPtr tagged(std::size_t tag) {
    auto packet = std::make_unique<ReflectedPacket>();
    packet->length = tag;
    return packet;
}

TEST(ReflectedPacketQueueTest, FirstInFirstOutAndBoundedDroppingTheNewest) {
    ReflectedPacketQueue queue(3);
    std::vector<ReflectedPacketPtr> batch;
    for (std::size_t tag = 1; tag <= 5; ++tag) batch.push_back(tagged(tag));
    EXPECT_EQ(queue.pushBatch(batch), 2u);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(queue.dropped(), 2u);
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_FALSE(queue.push(tagged(6)));
    EXPECT_EQ(queue.dropped(), 3u);

    std::vector<ReflectedPacketPtr> out;
    ASSERT_TRUE(queue.waitAndTake(out, 2));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->length, 1u);
    EXPECT_EQ(out[1]->length, 2u);
    out.clear();
    ASSERT_TRUE(queue.waitAndTake(out, 10));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->length, 3u);
}

TEST(ReflectedPacketQueueTest, SentPacketsAreReusedInsteadOfAllocated) {
    ReflectedPacketQueue queue(4);
    std::vector<ReflectedPacketPtr> slots(2);
    queue.refill(slots);
    ReflectedPacket* first = slots[0].get();
    std::vector<ReflectedPacketPtr> batch;
    batch.push_back(std::move(slots[0]));
    queue.pushBatch(batch);
    std::vector<ReflectedPacketPtr> out;
    ASSERT_TRUE(queue.waitAndTake(out, 4));
    queue.recycle(out);
    queue.refill(slots);
    EXPECT_EQ(slots[0].get(), first);
}

TEST(ReflectedPacketQueueTest, WaitingWriterSeesPacketsPushedFromAnotherThread) {
    ReflectedPacketQueue queue;
    std::vector<ReflectedPacketPtr> out;
    bool taken = false;
    std::thread writer([&] { taken = queue.waitAndTake(out, 8); });
    // Whether the push comes before or after the wait starts, the predicate
    // (queue not empty) ends it.
    for (std::size_t tag = 1; tag <= 3; ++tag) queue.push(tagged(tag));
    writer.join();
    ASSERT_TRUE(taken);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0]->length, 1u);
}

TEST(ReflectedPacketQueueTest, StopAndShutdownEndTheWait) {
    {
        ReflectedPacketQueue queue;
        std::vector<ReflectedPacketPtr> out;
        bool taken = true;
        std::thread writer([&] { taken = queue.waitAndTake(out, 8); });
        queue.stop();
        writer.join();
        EXPECT_FALSE(taken);
        EXPECT_TRUE(queue.stopping());
    }
    {
        ReflectedPacketQueue queue;
        std::vector<ReflectedPacketPtr> out;
        bool taken = true;
        std::thread writer([&] { taken = queue.waitAndTake(out, 8); });
        requestShutdown();
        queue.pulse();
        writer.join();
        resetShutdownRequestForTests();
        EXPECT_FALSE(taken);
    }
}

// ---------------------------------------------------------------- reflector

TEST_F(ResponseReflectorTest, HeaderOnlyProbeReturnsWithOnlyTheReflectorTimesChanged) {
    Prober prober(reflector_->port());
    Bytes probe = makeProbe(ProbePacket::kHeaderBytes);
    prober.send(probe);
    Bytes reply = prober.receive();
    ASSERT_EQ(reply.size(), ProbePacket::kHeaderBytes);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        if (i >= 28 && i < 48) continue;
        EXPECT_EQ(reply[i], probe[i]) << "byte " << i;
    }
    // Word 44: the probe arrived unmarked, and the reflector says so.
    EXPECT_EQ(ProbePacket::readWord(reply.data(), ProbePacket::kSeenDscp),
              ProbePacket::seenDscpWord(0));
    Timestamp in = ProbePacket::readTime(reply.data(), ProbePacket::kReflectorReceiveSeconds);
    Timestamp out = ProbePacket::readTime(reply.data(), ProbePacket::kReflectorSendSeconds);
    EXPECT_GT(in.seconds, 0);
    EXPECT_GT(out.seconds, 0);
}

TEST_F(ResponseReflectorTest, PayloadIsEchoedAndTimesAreOrderedAndInRange) {
    Prober prober(reflector_->port());
    for (std::uint32_t tag = 0; tag < 200; ++tag) {
        Bytes probe = makeProbe(100 + tag % 1400, tag);
        Timestamp before = Timestamp::now();
        prober.send(probe);
        Bytes reply = prober.receive();
        Timestamp after = Timestamp::now();
        ASSERT_EQ(reply.size(), probe.size());
        EXPECT_TRUE(std::equal(reply.begin() + 48, reply.end(), probe.begin() + 48));
        Timestamp in = ProbePacket::readTime(reply.data(), ProbePacket::kReflectorReceiveSeconds);
        Timestamp out = ProbePacket::readTime(reply.data(), ProbePacket::kReflectorSendSeconds);
        EXPECT_GE(in.microseconds, 0);
        EXPECT_LE(in.microseconds, 999999);
        EXPECT_GE(out.microseconds, 0);
        EXPECT_LE(out.microseconds, 999999);
        EXPECT_GE(out.microsecondsSince(in), 0) << "probe " << tag;
        EXPECT_GE(in.microsecondsSince(before), 0);
        EXPECT_GE(after.microsecondsSince(out), 0);
    }
}

TEST_F(ResponseReflectorTest, ShortAndOversizedDatagramsGetNoReplyAndTheReflectorGoesOn) {
    Prober prober(reflector_->port());
    for (std::size_t size : {1, 43, 59}) prober.send(Bytes(size, 'x'));
    prober.send(makeProbe(3000, 1));
    prober.send(makeProbe(2001, 2));
    prober.send(makeProbe(100, 3));
    // Replies leave in arrival order: a reply to any of the bad datagrams
    // would come before this one.
    Bytes reply = prober.receive();
    ASSERT_EQ(reply.size(), 100u);
    EXPECT_EQ(tagOf(reply), 3u);
    EXPECT_EQ(reflector_->counters().tooShort.load(), 3u);
    EXPECT_EQ(reflector_->counters().tooLong.load(), 2u);

    // The largest probe that fits still comes back whole.
    prober.send(makeProbe(2000, 4));
    reply = prober.receive();
    ASSERT_EQ(reply.size(), 2000u);
    EXPECT_EQ(tagOf(reply), 4u);
}

TEST_F(ResponseReflectorTest, AReplyIsNeverAnsweredButEveryProbeIs) {
    Prober prober(reflector_->port());
    // A reflector's own reply, sent back to it as a spoofed source would make
    // another reflector do.
    prober.send(makeProbe(100, 1));
    Bytes reply = prober.receive();
    ASSERT_EQ(tagOf(reply), 1u);
    prober.send(reply);
    // Any one of the four reflector time words filled in marks a reply.
    for (std::size_t offset : {28, 32, 36, 40}) {
        Bytes stamped = makeProbe(100, 2);
        ProbePacket::writeWord(stamped.data(), offset, 1);
        prober.send(stamped);
    }
    // The reserved words are not looked at: a probe with them set is a probe.
    Bytes reserved = makeProbe(100, 3);
    ProbePacket::writeWord(reserved.data(), ProbePacket::kReserved1, 7);
    ProbePacket::writeWord(reserved.data(), ProbePacket::kReserved2, 7);
    prober.send(reserved);
    // Replies leave in arrival order, so none of the five went back.
    reply = prober.receive();
    ASSERT_EQ(reply.size(), 100u);
    EXPECT_EQ(tagOf(reply), 3u);
    EXPECT_EQ(reflector_->counters().notProbes.load(), 5u);
    // The count follows the send, so the reply can arrive before it.
    for (int i = 0; i < 200 && reflector_->counters().sent.load() < 2u; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(reflector_->counters().sent.load(), 2u);
}

TEST_F(ResponseReflectorTest, TwoProbersAtOnceGetTheirOwnRepliesInOrder) {
    constexpr std::uint32_t kProbes = 400;
    constexpr std::uint32_t kWindow = 20;
    testing::ThreadBarrier go(2);
    auto run = [&](std::uint32_t base, std::vector<std::uint32_t>& tags,
                   std::vector<std::uint16_t>& ports, std::uint16_t& ownPort) {
        Prober prober(reflector_->port());
        ownPort = prober.port();
        go.arriveAndWait();
        for (std::uint32_t sent = 0; sent < kProbes; sent += kWindow) {
            for (std::uint32_t k = 0; k < kWindow; ++k)
                prober.send(makeProbe(120, base + sent + k));
            for (std::uint32_t k = 0; k < kWindow; ++k) {
                sockaddr_in from{};
                Bytes reply = prober.receive(&from);
                if (reply.empty()) return;
                tags.push_back(tagOf(reply));
                ports.push_back(ntohs(from.sin_port));
            }
        }
    };
    std::vector<std::uint32_t> tagsA, tagsB;
    std::vector<std::uint16_t> fromA, fromB;
    std::uint16_t portA = 0, portB = 0;
    std::thread a([&] { run(100000, tagsA, fromA, portA); });
    std::thread b([&] { run(200000, tagsB, fromB, portB); });
    a.join();
    b.join();
    ASSERT_EQ(tagsA.size(), kProbes);
    ASSERT_EQ(tagsB.size(), kProbes);
    for (std::uint32_t i = 0; i < kProbes; ++i) {
        EXPECT_EQ(tagsA[i], 100000 + i);
        EXPECT_EQ(tagsB[i], 200000 + i);
    }
    EXPECT_TRUE(std::all_of(fromA.begin(), fromA.end(),
                            [&](std::uint16_t p) { return p == reflector_->port(); }));
    EXPECT_TRUE(std::all_of(fromB.begin(), fromB.end(),
                            [&](std::uint16_t p) { return p == reflector_->port(); }));
    EXPECT_NE(portA, portB);
}

TEST_F(ResponseReflectorTest, EachReplyReplacesTheReplyMarking) {
#ifdef _WIN32
    // The live traffic-control calls: wine has none, a real Windows needs
    // the packet scheduler and the rights to use it.
    GTEST_SKIP() << "the reply marking needs Windows traffic control";
#endif
    Prober prober(reflector_->port());
    prober.send(makeProbe(100, 1, 46, -1));
    ASSERT_EQ(prober.receive().size(), 100u);
    // The flow is installed before the reply is sent and stays until the next one.
    auto flows = flowsForPort(prober.port());
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0].protocol, QosMarking::kUdp);
    EXPECT_EQ(flows[0].dscp, 46);
    EXPECT_EQ(flows[0].priority, -1);
    EXPECT_TRUE(flows[0].address.empty());

    prober.send(makeProbe(100, 2, -1, 5));
    ASSERT_EQ(prober.receive().size(), 100u);
    flows = flowsForPort(prober.port());
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0].dscp, -1);
    EXPECT_EQ(flows[0].priority, 5);

    prober.send(makeProbe(100, 3, -1, -1));
    ASSERT_EQ(prober.receive().size(), 100u);
    EXPECT_TRUE(flowsForPort(prober.port()).empty());

    // A reply that asks again, then the reflector going away: nothing stays marked.
    prober.send(makeProbe(100, 4, 10, 3));
    ASSERT_EQ(prober.receive().size(), 100u);
    EXPECT_EQ(flowsForPort(prober.port()).size(), 1u);
    reflector_.reset();
    EXPECT_TRUE(flowsForPort(prober.port()).empty());
}

TEST(ResponseReflectorLifeTest, ThreadsEndAtShutdownWithoutAnyProbe) {
    int before = Thread::liveThreadCount();
    for (bool viaShutdownFlag : {false, true}) {
        auto reflector = std::make_unique<ResponseReflector>(0);
        EXPECT_EQ(ResponseReflector::current(), reflector.get());
        reflector->openSocketRunThreads();
        EXPECT_EQ(Thread::liveThreadCount(), before + 2);
        auto start = std::chrono::steady_clock::now();
        if (viaShutdownFlag) {
            // The agent's order: the flag, the pulse, then stop.
            requestShutdown();
            reflector->pulse();
        }
        reflector->stop();
        reflector.reset();
        auto elapsed = std::chrono::steady_clock::now() - start;
        resetShutdownRequestForTests();
        EXPECT_EQ(Thread::liveThreadCount(), before);
        EXPECT_LT(elapsed, std::chrono::seconds(1));
        EXPECT_EQ(ResponseReflector::current(), nullptr);
    }
}

TEST(ResponseReflectorLifeTest, FailedBindIsReportedAndTheThreadsStillStop) {
    platform::NativeSocket taken = platform::openSocket(true);
    ASSERT_TRUE(platform::bindSocket(taken, platform::ipv4Address(htonl(INADDR_ANY), 0)));
    int port = platform::localPort(taken);

    int before = Thread::liveThreadCount();
    auto reflector = std::make_unique<ResponseReflector>(port);
    std::string printed = testing::captureStdout([&] { reflector->openSocketRunThreads(); });
    EXPECT_NE(printed.find("ResponseReflector::openSocketRunThreads() bind on port " +
                           std::to_string(port) + " failed\n"),
              std::string::npos);
#ifdef _WIN32
    // Winsock's code as it comes (a port held exclusively may read as access denied).
    EXPECT_TRUE(printed.find("WSAGetLastError returned 10048\n") != std::string::npos ||
                printed.find("WSAGetLastError returned 10013\n") != std::string::npos)
        << printed;
#else
    EXPECT_NE(printed.find("WSAGetLastError returned 10048\n"), std::string::npos);
#endif
    EXPECT_NE(printed.find("Error: "), std::string::npos);
    EXPECT_EQ(reflector->port(), port);
    EXPECT_EQ(Thread::liveThreadCount(), before + 2);
    reflector.reset();
    EXPECT_EQ(Thread::liveThreadCount(), before);
    platform::closeSocket(taken);
}

// ---------------------------------------------------------------- layout and filler

TEST(ProbePacketTest, WordsAreBigEndianAndMarkingWordsMapToMinusOne) {
    std::uint8_t bytes[8] = {};
    ProbePacket::writeWord(bytes, 0, 0x01020304u);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(ProbePacket::readWord(bytes, 0), 0x01020304u);
    ProbePacket::writeWord(bytes, 4, 0xFFFFFFFFu);
    EXPECT_EQ(ProbePacket::readWord(bytes, 4), 0xFFFFFFFFu);

    EXPECT_EQ(ProbePacket::wordFromMarking(-1), 65535u);
    EXPECT_EQ(ProbePacket::wordFromMarking(46), 46u);
    EXPECT_EQ(ProbePacket::markingFromWord(65535), -1);
    EXPECT_EQ(ProbePacket::markingFromWord(0xFFFFFFFFu), -1);  // hostile: not a code point either
    EXPECT_EQ(ProbePacket::markingFromWord(0), 0);
    EXPECT_EQ(ProbePacket::markingFromWord(7), 7);
}

TEST(FillerTest, LettersWithTenMarkersInsideTheBuffer) {
    std::minstd_rand generator(12345);
    for (std::size_t size : {100, 1500, 33}) {
        Bytes bytes(size + 16, 0);
        // Guard bytes behind the buffer must stay untouched.
        Filler::fill(bytes.data(), size, generator);
        EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<long>(size), bytes.end(),
                                [](auto b) { return b == 0; }));
        std::string text(bytes.begin(), bytes.begin() + static_cast<long>(size));
        std::size_t markers = 0;
        for (std::size_t at = text.find(Filler::kMarker); at != std::string::npos;
             at = text.find(Filler::kMarker, at + 1))
            ++markers;
        EXPECT_GE(markers, 1u) << size;
        EXPECT_LE(markers, 10u) << size;
        for (char c : text) {
            bool letter = c >= 'A' && c <= 'Z';
            bool markerCharacter = std::strchr(Filler::kMarker, c) != nullptr;
            EXPECT_TRUE(letter || markerCharacter) << size;
        }
    }
    // Too small for the marker: letters only, no crash.
    for (std::size_t size : {0, 1, 32}) {
        Bytes bytes(size + 1, 0);
        Filler::fill(bytes.data(), size, generator);
        EXPECT_EQ(bytes[size], 0);
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.begin() + static_cast<long>(size),
                                [](auto b) { return b >= 'A' && b <= 'Z'; }));
    }
}

}  // namespace
}  // namespace trellon
