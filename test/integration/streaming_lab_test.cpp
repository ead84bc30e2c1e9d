// The streaming test between two real trellon agents in lab hosts joined
// through the impairment relay: agent a runs the test, agent b streams to it
// (the b-to-a direction of the relay). Its figures are checked against what
// the relay says it did: the impairment is switched on only once the stream
// is flowing and off again before it ends, so the only packets the relay can
// drop or copy meanwhile are the stream's own. The jitter is checked against
// the delays the lab really produced, from captures of the stream on both
// hosts' interfaces, with iperf3's UDP jitter over the same link beside it.
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

#include "support/netlab.h"
#include "support/netlab_agent.h"
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

// Starts a streaming test in `from` with `remote` as the sender; the test id,
// or 0 when the agent refused.
int startStreaming(const Host& from, const std::string& remote, const std::string& stream,
                   int timeLimit) {
    std::string answer = httpGet(from, "/streaming?remoteComputer=" + remote + "&" + stream +
                                           "&timeLimit=" + std::to_string(timeLimit) +
                                           "&reportInterval=1&refreshInterval=5&format=xml");
    const std::string marker = "/results?id=";
    std::size_t at = answer.find(marker);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no results address in: " << answer;
        return 0;
    }
    return std::atoi(answer.c_str() + at + marker.size());
}

class StreamingLab : public ::testing::Test {
protected:
    void start(const RelayConfig& config = {}) {
        lab_ = std::make_unique<Lab>();
        a_ = lab_->addHost("a");
        b_ = lab_->addHost("b");
        link_ = lab_->connectThroughRelay(a_, b_, config);
        AgentOptions options;
        options.waitUntilReady = false;
        agentA_ = std::make_unique<AgentProcess>(a_, options);
        agentB_ = std::make_unique<AgentProcess>(b_, options);
        ASSERT_TRUE(agentA_->waitUntilReady());
        ASSERT_TRUE(agentB_->waitUntilReady());
    }
    void TearDown() override {
        if (agentA_) agentA_->requestStop();
        if (agentB_) agentB_->requestStop();
        agentA_.reset();
        agentB_.reset();
        lab_.reset();
    }

    // Waits until at least `packets` more datagrams have gone from b to a.
    bool flowing(std::uint64_t packets, std::chrono::milliseconds limit = 15s) {
        std::uint64_t base = link_.stats().bToA.received;
        return link_.waitFor([&](const RelayStats& s) { return s.bToA.received >= base + packets; },
                             limit);
    }

    // Runs a custom stream of `seconds` and applies `impairment` to the b-to-a
    // direction while `windowPackets` of it pass; the relay's counts of the
    // window and the finished test's XML result.
    std::pair<DirectionStats, std::string> streamWithWindow(const Impairment& impairment,
                                                            std::uint64_t windowPackets,
                                                            int seconds) {
        int id = startStreaming(a_, b_.address(), kCustomStream, seconds);
        EXPECT_EQ(id, 1);
        // The control exchange is over once the stream flows.
        EXPECT_TRUE(flowing(100));
        DirectionStats before = link_.stats().bToA;
        RelayConfig on;
        on.bToA = impairment;
        link_.setConfig(on);
        EXPECT_TRUE(flowing(windowPackets));
        link_.setConfig(RelayConfig{});
        DirectionStats after = link_.stats().bToA;
        std::string xml = waitUntilDone(a_, id, std::chrono::seconds(seconds + 20), 100ms);
        EXPECT_EQ(element(xml, "done"), "1") << xml;
        DirectionStats window;
        window.received = after.received - before.received;
        window.dropped = after.dropped - before.dropped;
        window.duplicated = after.duplicated - before.duplicated;
        window.reordered = after.reordered - before.reordered;
        window.queueDropped = link_.stats().bToA.queueDropped;
        window.inputDropped = link_.stats().bToA.inputDropped;
        return {window, xml};
    }

    std::unique_ptr<Lab> lab_;
    Host a_, b_;
    RelayLink link_;
    std::unique_ptr<AgentProcess> agentA_, agentB_;
};

TEST_F(StreamingLab, TheMissingCountIsWhatTheRelayDropped) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    start();
    Impairment loss;
    loss.loss = 0.02;
    auto [window, xml] = streamWithWindow(loss, 1500, 12);
    std::printf("relay dropped %llu of %llu in the window; the test reports %s missing of %s\n",
                static_cast<unsigned long long>(window.dropped),
                static_cast<unsigned long long>(window.received), element(xml, "dropped").c_str(),
                element(xml, "packetCount").c_str());
    ASSERT_EQ(window.queueDropped, 0u);
    ASSERT_EQ(window.inputDropped, 0u);
    EXPECT_GT(window.dropped, 0u);
    EXPECT_EQ(intElement(xml, "dropped"), static_cast<int>(window.dropped)) << xml;
    EXPECT_EQ(intElement(xml, "duplicate"), 0);
    EXPECT_NE(xml.find("There were &lt;b&gt;" + std::to_string(window.dropped) +
                       "&lt;/b&gt; packets missing"),
              std::string::npos)
        << xml;
    // Each run of losses was one jump over missing numbers.
    EXPECT_LE(intElement(xml, "outOfOrder"), static_cast<int>(window.dropped));
    EXPECT_GT(intElement(xml, "gapCount"), 0);
}

TEST_F(StreamingLab, TheDuplicateCountIsWhatTheRelayCopied) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    start();
    Impairment copies;
    copies.duplicate = 0.03;
    auto [window, xml] = streamWithWindow(copies, 1500, 12);
    std::printf("relay duplicated %llu of %llu in the window; the test reports %s duplicates\n",
                static_cast<unsigned long long>(window.duplicated),
                static_cast<unsigned long long>(window.received),
                element(xml, "duplicate").c_str());
    ASSERT_EQ(window.queueDropped, 0u);
    EXPECT_GT(window.duplicated, 0u);
    EXPECT_EQ(intElement(xml, "duplicate"), static_cast<int>(window.duplicated)) << xml;
    EXPECT_EQ(intElement(xml, "dropped"), 0) << xml;
    EXPECT_EQ(intElement(xml, "outOfOrder"), 0) << xml;
}

TEST_F(StreamingLab, ReorderedPacketsAreReportedOutOfOrderAndNotLost) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    start();
    Impairment swaps;
    swaps.reorder = 0.05;
    auto [window, xml] = streamWithWindow(swaps, 1000, 10);
    std::printf("relay reordered %llu of %llu in the window; the test reports %s out of order\n",
                static_cast<unsigned long long>(window.reordered),
                static_cast<unsigned long long>(window.received),
                element(xml, "outOfOrder").c_str());
    EXPECT_GT(window.reordered, 0u);
    // One for the jump over the held packet, one for the packet filling its place.
    EXPECT_GE(intElement(xml, "outOfOrder"), static_cast<int>(window.reordered)) << xml;
    EXPECT_LE(intElement(xml, "outOfOrder"), 2 * static_cast<int>(window.reordered)) << xml;
    EXPECT_EQ(intElement(xml, "dropped"), 0) << xml;
    EXPECT_EQ(intElement(xml, "duplicate"), 0) << xml;
    EXPECT_NE(xml.find("packets were delivered out of order by network"), std::string::npos);
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

// iperf3's UDP jitter (RFC 3550, smoothed) for a flow like the voice stream
// from b to a; negative when it could not be run.
double iperf3Jitter(const Host& receiver, const Host& sender) {
    if (findTool("iperf3").empty()) return -1;
    Process server = receiver.start({"iperf3", "-s", "-1", "-p", "5201"});
    if (!receiver.waitListening(5201, 10s)) return -1;
    CommandResult run = sender.run(
        "iperf3 -c " + receiver.address() + " -p 5201 -u -b 68800 -l 172 -t 5 --json", 30s);
    double jitter = -1;
    std::size_t end = run.output.find("\"end\"");
    std::size_t at = end == std::string::npos ? end : run.output.find("\"jitter_ms\":", end);
    if (at != std::string::npos) jitter = std::atof(run.output.c_str() + at + 12);
    // -1 ends it after one test; whatever is left goes by its PID.
    server.stop(SIGTERM, 2s);
    return jitter;
}

TEST_F(StreamingLab, JitterIsTheMeanDelayDifferenceTheLabMade) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    TimingLock timing;
    Impairment jitter;
    jitter.delayMs = 5;
    jitter.jitterMs = 10;  // uniform 0-10 ms, order kept
    RelayConfig config;
    config.bToA = jitter;
    start(config);
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
    double iperf = iperf3Jitter(a_, b_);
    std::printf(
        "jitter: the test reports %d ms (maximum %s, 16-sample %s); the lab's mean |D| is "
        "%.3f ms over %d pairs; iperf3 UDP jitter %s\n",
        reported, element(xml, "maxJitter").c_str(), element(xml, "jitterMovingAverage16").c_str(),
        labMs, pairs, iperf < 0 ? "(not run)" : (std::to_string(iperf) + " ms").c_str());
    // The figure is whole milliseconds, rounded down.
    EXPECT_LE(std::fabs(reported - labMs), 1.0) << xml;
    EXPECT_EQ(intElement(xml, "dropped"), 0);
}

TEST_F(StreamingLab, ACancelStopsTheRemoteStreamWithinASecond) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    start();
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
    std::uint64_t after = link_.stats().bToA.received;
    EXPECT_FALSE(
        link_.waitFor([&](const RelayStats& s) { return s.bToA.received > after + 2; }, 1s));
    std::string local = waitUntilDone(a_, 1, 10s, 50ms);
    EXPECT_EQ(element(local, "done"), "1");
    EXPECT_NE(local.find("This test was cancelled by the user."), std::string::npos) << local;
}

TEST_F(StreamingLab, InvalidStreamRequestsAnswerZeroAndStartNothing) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    start();
    std::uint64_t before = link_.stats().bToA.received;
    const std::string base = "GET /startStreamServer?port=6000&fromPort=0&reportInterval=1";
    const std::string bad[] = {
        "&packetSize=20&flowRate=1000&timeLimit=5",
        "&packetSize=1501&flowRate=1000&timeLimit=5",
        "&packetSize=100&flowRate=0&timeLimit=5",
        "&packetSize=100&flowRate=1250001&timeLimit=5",
        "&packetSize=100&flowRate=1000&timeLimit=0",
        "&packetSize=100&flowRate=1000&timeLimit=61",
        "&packetSize=100&flowRate=1000&timeLimit=86400",
    };
    for (const std::string& query : bad) {
        std::string reply = a_.tcpExchange(b_.address(), 4044, base + query + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply, "0\r\n") << query;
    }
    // Nothing was sent, and a valid request is the remote agent's first test.
    EXPECT_LE(link_.stats().bToA.received, before + 40u);  // the replies' TCP packets only
    std::string reply = a_.tcpExchange(
        b_.address(), 4044, base + "&packetSize=100&flowRate=1000&timeLimit=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply, "1\r\nOK\r\n");
    std::string record = waitUntilDone(b_, 1, 10s, 50ms);
    EXPECT_EQ(element(record, "done"), "1") << record;
    EXPECT_NE(record.find("Test ran entire time period"), std::string::npos) << record;
}

}  // namespace
}  // namespace trellon::netlab
