// The streaming test between two real trellon agents in lab hosts joined
// through the impairment relay: agent a runs the test, agent b streams to it
// (the b-to-a direction of the relay). Its figures are checked against what
// the relay says it did: the impairment is switched on only once the stream
// is flowing and off again before it ends, so the only packets the relay can
// drop or copy meanwhile are the stream's own. The jitter is checked against
// the delays the lab really produced, from captures of the stream on both
// hosts' interfaces.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "support/lab_agents.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
using response::httpGet;
using response::intElement;
using response::waitUntilDone;

// 200-byte packets at 50,000 bytes per second: 250 a second.
constexpr const char* kCustomStream =
    "StreamTypeOption=custom&packetSize=200&flowRate=50000&rateUnits=Bytes+/+second"
    "&bufferSize=1000";

// Starts a streaming test in `from` with `remote` as the sender; the test id.
int startStreaming(const Host& from, const std::string& remote, const std::string& stream,
                   int timeLimit) {
    return response::startTest(from, "streaming",
                               "remoteComputer=" + remote + "&" + stream +
                                   "&timeLimit=" + std::to_string(timeLimit) + "&reportInterval=1");
}

class StreamingLab : public LabAgents {
protected:
    // Waits until at least `packets` more datagrams have gone from b to a.
    bool flowing(std::uint64_t packets, std::chrono::milliseconds limit = 15s) {
        std::uint64_t base = relay_.stats().bToA.received;
        return relay_.waitFor(
            [&](const RelayStats& s) { return s.bToA.received >= base + packets; }, limit);
    }

    // Runs a custom stream of `seconds` and applies `impairment` to the b-to-a
    // direction while `windowPackets` of it pass; the relay's counts of the
    // window and the finished test's XML result.
    std::pair<DirectionStats, std::string> streamWithWindow(const Impairment& impairment,
                                                            std::uint64_t windowPackets,
                                                            int seconds, int expectedId) {
        int id = startStreaming(a_, b_.address(), kCustomStream, seconds);
        EXPECT_EQ(id, expectedId);
        // The control exchange is over once the stream flows.
        EXPECT_TRUE(flowing(100));
        DirectionStats before = relay_.stats().bToA;
        RelayConfig on;
        on.bToA = impairment;
        relay_.setConfig(on);
        EXPECT_TRUE(flowing(windowPackets));
        relay_.setConfig(RelayConfig{});
        // The relay takes a new configuration on its next turn and may still
        // hold a packet picked for reordering: the window closes once a few
        // packets have passed unimpaired and nothing is left in the queue.
        std::uint64_t offAt = relay_.stats().bToA.received;
        EXPECT_TRUE(relay_.waitFor(
            [&](const RelayStats& s) { return s.bToA.received >= offAt + 5 && s.bToA.queued == 0; },
            5s));
        DirectionStats after = relay_.stats().bToA;
        std::string xml = waitUntilDone(a_, id, std::chrono::seconds(seconds + 20), 100ms);
        EXPECT_EQ(element(xml, "done"), "1") << xml;
        DirectionStats window;
        window.received = after.received - before.received;
        window.dropped = after.dropped - before.dropped;
        window.duplicated = after.duplicated - before.duplicated;
        window.reordered = after.reordered - before.reordered;
        window.queueDropped = relay_.stats().bToA.queueDropped;
        window.inputDropped = relay_.stats().bToA.inputDropped;
        return {window, xml};
    }
};

// Each impairment in turn on a stream of its own; the relay's counts of the
// window are what the test reports, and what the relay did not do the test
// does not report either.
TEST_F(StreamingLab, WhatTheRelayDroppedCopiedOrSwappedIsWhatTheTestCounts) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    startThroughRelay();
    struct Case {
        const char* what;
        Impairment impairment;
        std::uint64_t DirectionStats::*done;  // the relay's count that must not be 0
        std::uint64_t windowPackets;
        int seconds;
    } cases[] = {
        {"2% loss", Impairment{.loss = 0.02}, &DirectionStats::dropped, 1500, 12},
        {"3% duplicates", Impairment{.duplicate = 0.03}, &DirectionStats::duplicated, 1500, 12},
        {"5% reordered", Impairment{.reorder = 0.05}, &DirectionStats::reordered, 1000, 10},
    };
    int id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto [window, xml] = streamWithWindow(c.impairment, c.windowPackets, c.seconds, ++id);
        std::printf(
            "%s: the relay dropped %llu, copied %llu and reordered %llu of %llu in the window; "
            "the test reports %s missing, %s duplicates and %s out of order of %s\n",
            c.what, static_cast<unsigned long long>(window.dropped),
            static_cast<unsigned long long>(window.duplicated),
            static_cast<unsigned long long>(window.reordered),
            static_cast<unsigned long long>(window.received), element(xml, "dropped").c_str(),
            element(xml, "duplicate").c_str(), element(xml, "outOfOrder").c_str(),
            element(xml, "packetCount").c_str());
        ASSERT_EQ(window.queueDropped, 0u);
        ASSERT_EQ(window.inputDropped, 0u);
        for (auto count :
             {&DirectionStats::dropped, &DirectionStats::duplicated, &DirectionStats::reordered}) {
            if (count == c.done) {
                EXPECT_GT(window.*count, 0u);
            } else {
                EXPECT_EQ(window.*count, 0u);
            }
        }
        EXPECT_EQ(intElement(xml, "dropped"), static_cast<int>(window.dropped)) << xml;
        EXPECT_EQ(intElement(xml, "duplicate"), static_cast<int>(window.duplicated)) << xml;
        // A run of losses is one jump over missing numbers; a reordered packet
        // is one jump over the held packet and one for it filling its place.
        int outOfOrder = intElement(xml, "outOfOrder");
        EXPECT_GE(outOfOrder, static_cast<int>(window.reordered)) << xml;
        EXPECT_LE(outOfOrder, static_cast<int>(2 * window.reordered + window.dropped)) << xml;
        if (window.dropped > 0) {
            EXPECT_NE(xml.find("There were &lt;b&gt;" + std::to_string(window.dropped) +
                               "&lt;/b&gt; packets missing"),
                      std::string::npos)
                << xml;
            EXPECT_GT(intElement(xml, "gapCount"), 0);
        }
        if (window.reordered > 0) {
            EXPECT_NE(xml.find("packets were delivered out of order by network"),
                      std::string::npos);
        }
    }
}

// The kernel's time of each stream packet seen on a host's interface, by
// its sequence number: outgoing on the sender's host, incoming on the
// receiver's.
class StreamCapture {
public:
    StreamCapture(const Host& host, int packetType, in_addr_t from, in_addr_t to)
        : socket_(host.openSocket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL))),
          packetType_(packetType),
          from_(from),
          to_(to) {
        int on = 1;
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
        int buffer = 4 << 20;
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        thread_ = std::thread([this] { run(); });
    }
    ~StreamCapture() {
        stop_.store(true);
        thread_.join();
    }
    bool ok() const { return static_cast<bool>(socket_); }
    std::map<std::uint32_t, double> times() {
        std::lock_guard<std::mutex> guard(lock_);
        return times_;
    }

private:
    void run() {
        while (!stop_.load()) {
            pollfd wait{socket_.get(), POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0) continue;
            std::uint8_t data[2048];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            sockaddr_ll link{};
            iovec iov{data, sizeof(data)};
            msghdr message{};
            message.msg_name = &link;
            message.msg_namelen = sizeof(link);
            message.msg_iov = &iov;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            long n = ::recvmsg(socket_.get(), &message, 0);
            if (n < 48 || link.sll_pkttype != packetType_ || ntohs(link.sll_protocol) != ETH_P_IP)
                continue;
            std::size_t ip = (data[0] & 0x0F) * 4u;
            if (data[9] != IPPROTO_UDP || static_cast<std::size_t>(n) < ip + 8 + 28) continue;
            in_addr_t src, dst;
            std::memcpy(&src, data + 12, 4);
            std::memcpy(&dst, data + 16, 4);
            if (src != from_ || dst != to_) continue;
            const std::uint8_t* stream = data + ip + 8;
            auto word = [&](std::size_t offset) {
                return (std::uint32_t{stream[offset]} << 24) |
                       (std::uint32_t{stream[offset + 1]} << 16) |
                       (std::uint32_t{stream[offset + 2]} << 8) | stream[offset + 3];
            };
            if (word(0) != 3 || word(4) != 0 || word(12) != 102) continue;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof(ts));
                    std::lock_guard<std::mutex> guard(lock_);
                    times_.emplace(word(8), ts.tv_sec * 1e9 + ts.tv_nsec);  // the first copy
                }
            }
        }
    }

    UniqueFd socket_;
    int packetType_;
    in_addr_t from_, to_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;  // guards times_
    std::map<std::uint32_t, double> times_;
};

TEST_F(StreamingLab, JitterIsTheMeanDelayDifferenceTheLabMade) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    TimingLock timing;
    Impairment jitter;
    jitter.delayMs = 5;
    jitter.jitterMs = 10;  // uniform 0-10 ms, order kept
    RelayConfig config;
    config.bToA = jitter;
    startThroughRelay(config);
    in_addr_t aAddress = inet_addr(a_.address().c_str());
    in_addr_t bAddress = inet_addr(b_.address().c_str());
    std::string xml;
    std::map<std::uint32_t, double> sent, arrived;
    {
        StreamCapture out(b_, PACKET_OUTGOING, bAddress, aAddress);
        StreamCapture in(a_, PACKET_HOST, bAddress, aAddress);
        ASSERT_TRUE(out.ok() && in.ok());
        int id = startStreaming(a_, b_.address(), "StreamTypeOption=voip", 10);
        ASSERT_EQ(id, 1);
        xml = waitUntilDone(a_, id, 40s, 100ms);
        ASSERT_EQ(element(xml, "done"), "1") << xml;
        sent = out.times();
        arrived = in.times();
    }
    // The delay of each packet through the lab, and the mean |difference|
    // of consecutive ones: what the receiver's jitter figure estimates.
    double sum = 0;
    int pairs = 0;
    for (auto it = arrived.begin(); it != arrived.end(); ++it) {
        auto next = std::next(it);
        if (next == arrived.end() || next->first != it->first + 1) continue;
        auto s1 = sent.find(it->first), s2 = sent.find(next->first);
        if (s1 == sent.end() || s2 == sent.end()) continue;
        double d1 = it->second - s1->second, d2 = next->second - s2->second;
        sum += std::fabs(d1 - d2);
        ++pairs;
    }
    ASSERT_GT(pairs, 400) << "captured " << sent.size() << " sent, " << arrived.size()
                          << " arrived";
    double labMs = sum / pairs / 1e6;
    int reported = intElement(xml, "jitter");
    std::printf(
        "jitter: the test reports %d ms (maximum %s, 16-sample %s); the lab's mean |D| is "
        "%.3f ms over %d pairs\n",
        reported, element(xml, "maxJitter").c_str(), element(xml, "jitterMovingAverage16").c_str(),
        labMs, pairs);
    // The figure is whole milliseconds, rounded down.
    EXPECT_LE(std::fabs(reported - labMs), 1.0) << xml;
    EXPECT_EQ(intElement(xml, "dropped"), 0);
}

TEST_F(StreamingLab, ACancelStopsTheRemoteStreamWithinASecond) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    startThroughRelay();
    int id = startStreaming(a_, b_.address(), kCustomStream, 30);
    ASSERT_EQ(id, 1);
    ASSERT_TRUE(flowing(100));
    auto cancelledAt = std::chrono::steady_clock::now();
    ASSERT_EQ(httpGet(a_, "/cancel?id=1").substr(0, 4), "OK\r\n");
    // The remote agent's own record of its stream server (its first test).
    std::string remote = waitUntilDone(b_, 1, 2s, 20ms);
    auto took = std::chrono::steady_clock::now() - cancelledAt;
    ASSERT_EQ(element(remote, "done"), "1") << remote;
    EXPECT_LT(took, 1s);
    EXPECT_NE(remote.find("This test was cancelled by the user."), std::string::npos) << remote;
    EXPECT_NE(remote.find("Streaming Media Simulation Test (sending side)"), std::string::npos);
    // And nothing more comes.
    std::uint64_t after = relay_.stats().bToA.received;
    EXPECT_FALSE(
        relay_.waitFor([&](const RelayStats& s) { return s.bToA.received > after + 2; }, 1s));
    std::string local = waitUntilDone(a_, 1, 10s, 50ms);
    EXPECT_EQ(element(local, "done"), "1");
    EXPECT_NE(local.find("This test was cancelled by the user."), std::string::npos) << local;
}

}  // namespace
}  // namespace trellon::netlab
