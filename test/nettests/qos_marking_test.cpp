// QosMarking: the flow and filter it asks traffic control for, the marks it
// puts on its sockets (read back from the sockets and from the packets a
// receiver gets), and the reflector's replies marked and unmarked in turn.
#include "nettests/qos_marking.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lib/timestamp.h"
#include "nettests/probe_packet.h"
#include "nettests/response_reflector.h"
#include "platform/traffic_control.h"
#include "results/test_result.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using platform::TcGenFilter;
using platform::TcGenFlow;

// A UDP socket on loopback that reports the TOS byte of what it receives.
class TosReceiver {
public:
    TosReceiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        socklen_t length = sizeof(local);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_IP, IP_RECVTOS, &one, sizeof(one));
        timeval timeout{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    ~TosReceiver() { ::close(fd_); }

    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }

    // The next datagram's bytes and TOS; empty bytes when none came in time.
    std::vector<std::uint8_t> receive(int& tos) {
        std::vector<std::uint8_t> bytes(4000);
        iovec vector{bytes.data(), bytes.size()};
        alignas(cmsghdr) char control[64];
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        long n = ::recvmsg(fd_, &message, 0);
        tos = -1;
        if (n < 0) return {};
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS)
                tos = *reinterpret_cast<unsigned char*>(CMSG_DATA(c));
        bytes.resize(static_cast<std::size_t>(n));
        return bytes;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

int socketTos(int fd) {
    int value = -1;
    socklen_t length = sizeof(value);
    ::getsockopt(fd, IPPROTO_IP, IP_TOS, &value, &length);
    return value;
}

int socketPriority(int fd) {
    int value = -1;
    socklen_t length = sizeof(value);
    ::getsockopt(fd, SOL_SOCKET, SO_PRIORITY, &value, &length);
    return value;
}

int connectedUdp(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    return fd;
}

// The TOS the receiver sees on one datagram from fd.
int tosOnTheWire(int fd, TosReceiver& receiver) {
    char byte = 'x';
    if (::send(fd, &byte, 1, 0) != 1) return -2;
    int tos = -1;
    receiver.receive(tos);
    return tos;
}

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// ---------------------------------------------------------------- flow and filter

TEST(QosMarkingTest, TheFlowCarriesTheMarkingObjectsInTrafficControlOrderAndSizes) {
    struct Case {
        int dscp;
        int priority;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> objects;  // type, value
    };
    const std::vector<Case> cases = {
        {46, -1, {{0xFA1, 46}}},
        {0, 0, {{0xFA2, 0}, {0xFA1, 0}}},  // 802.1p first
        {63, 7, {{0xFA2, 7}, {0xFA1, 63}}},
        {64, -1, {}},
        {64, 3, {{0xFA2, 3}}},
        {-1, 8, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("dscp " + std::to_string(c.dscp) + " priority " + std::to_string(c.priority));
        TcGenFlow flow = QosMarking::buildFlow(c.dscp, c.priority);
        EXPECT_EQ(flow.tcObjectsLength, 12u * c.objects.size());
        ASSERT_EQ(flow.tcObjects.size(), c.objects.size());
        for (std::size_t i = 0; i < c.objects.size(); ++i) {
            EXPECT_EQ(flow.tcObjects[i].objectType, c.objects[i].first);
            EXPECT_EQ(flow.tcObjects[i].objectLength, 12u);
            EXPECT_EQ(flow.tcObjects[i].value, c.objects[i].second);
        }
        // Best effort, every other flowspec field not specified, both ways.
        for (const auto* spec : {&flow.sendingFlowspec, &flow.receivingFlowspec}) {
            EXPECT_EQ(spec->serviceType, 1u);
            EXPECT_EQ(spec->tokenRate, 0xFFFFFFFFu);
            EXPECT_EQ(spec->tokenBucketSize, 0xFFFFFFFFu);
            EXPECT_EQ(spec->peakBandwidth, 0xFFFFFFFFu);
            EXPECT_EQ(spec->latency, 0xFFFFFFFFu);
            EXPECT_EQ(spec->delayVariation, 0xFFFFFFFFu);
            EXPECT_EQ(spec->maxSduSize, 0xFFFFFFFFu);
            EXPECT_EQ(spec->minimumPolicedSize, 0xFFFFFFFFu);
        }
    }
}

TEST(QosMarkingTest, TheFilterMatchesTheDestinationOnlyAsFarAsItIsGiven) {
    // No address: address and mask 0, only the port matched.
    std::optional<TcGenFilter> any = QosMarking::buildFilter("", 4047);
    ASSERT_TRUE(any);
    EXPECT_EQ(any->addressType, 2);
    EXPECT_EQ(any->patternSize, 24u);
    EXPECT_EQ(any->pattern.dstAddr, 0u);
    EXPECT_EQ(any->mask.dstAddr, 0u);
    EXPECT_EQ(any->pattern.dstPort, htons(4047));
    EXPECT_EQ(any->mask.dstPort, 0xFFFF);
    EXPECT_EQ(any->mask.reserved1, 0xFFFFFFFFu);
    EXPECT_EQ(any->mask.reserved2, 0xFFFFFFFFu);
    EXPECT_EQ(any->pattern.srcAddr | any->mask.srcAddr, 0u);
    EXPECT_EQ(any->pattern.srcPort | any->mask.srcPort, 0);
    EXPECT_EQ(any->pattern.protocolId | any->mask.protocolId, 0);

    std::optional<TcGenFilter> host = QosMarking::buildFilter("10.77.1.2", 0);
    ASSERT_TRUE(host);
    EXPECT_EQ(host->pattern.dstAddr, inet_addr("10.77.1.2"));
    EXPECT_EQ(host->mask.dstAddr, 0xFFFFFFFFu);
    EXPECT_EQ(host->pattern.dstPort, 0);
    EXPECT_EQ(host->mask.dstPort, 0);

    for (const char* bad : {"10.77.1", "host.example", "::1", "300.1.1.1"})
        EXPECT_FALSE(QosMarking::buildFilter(bad, 4047)) << bad;
}

// ---------------------------------------------------------------- on the sockets

TEST(QosMarkingTest, TwoMarkingsToOneDestinationKeepTheirOwnAndLeaveNothingBehind) {
    const int before = QosMarking::count();
    TosReceiver receiver;
    int a = connectedUdp(receiver.port());
    int b = connectedUdp(receiver.port());
    {
        ::testing::internal::CaptureStdout();
        auto cs6 =
            std::make_unique<QosMarking>(QosMarking::kUdp, receiver.port(), 48, -1, kLoopback);
        QosMarking af11(QosMarking::kUdp, receiver.port(), 10, 5, kLoopback);
        EXPECT_EQ(QosMarking::count(), before + 2);
        ASSERT_TRUE(cs6->install());
        ASSERT_TRUE(af11.install());
        EXPECT_TRUE(cs6->markSocket(a, kLoopback, receiver.port()));
        EXPECT_TRUE(af11.markSocket(b, kLoopback, receiver.port()));

        EXPECT_EQ(socketTos(a), 48 << 2);
        EXPECT_EQ(socketPriority(a), 0);
        EXPECT_EQ(socketTos(b), 10 << 2);
        EXPECT_EQ(socketPriority(b), 5);
        EXPECT_EQ(tosOnTheWire(a, receiver), 48 << 2);
        EXPECT_EQ(tosOnTheWire(b, receiver), 10 << 2);
        EXPECT_EQ(QosMarking::installedFlows().size(), 2u);
        EXPECT_EQ(platform::tcInstalledFlows().size(), 2u);

        // One goes; the other keeps its marking.
        cs6->remove();
        EXPECT_FALSE(cs6->installed());
        EXPECT_EQ(tosOnTheWire(a, receiver), 0);
        EXPECT_EQ(socketPriority(a), 0);
        EXPECT_EQ(tosOnTheWire(b, receiver), 10 << 2);
        cs6.reset();
        EXPECT_EQ(QosMarking::count(), before + 1);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("tcCount=" + std::to_string(before + 2) + " (constructor)\n"),
                  std::string::npos);
        EXPECT_NE(out.find("tcCount=" + std::to_string(before + 1) + " (destructor)\n"),
                  std::string::npos);
        ::testing::internal::CaptureStdout();
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(QosMarking::count(), before);
    EXPECT_TRUE(QosMarking::installedFlows().empty());
    EXPECT_TRUE(platform::tcInstalledFlows().empty());
    EXPECT_EQ(socketTos(b), 0);
    EXPECT_EQ(socketPriority(b), 0);
    EXPECT_FALSE(platform::tcSocketMarks(b));  // forgotten before it is closed
    ::close(a);
    ::close(b);
}

TEST(QosMarkingTest, NothingToMarkOrABadAddressInstallsNothingAndTheSocketStaysUnmarked) {
    TosReceiver receiver;
    int fd = connectedUdp(receiver.port());
    ::testing::internal::CaptureStdout();
    {
        QosMarking nothing(QosMarking::kUdp, receiver.port(), 64, 8, kLoopback);
        EXPECT_FALSE(nothing.install());
        EXPECT_FALSE(nothing.refused());
        nothing.markSocket(fd, kLoopback, receiver.port());
        EXPECT_EQ(tosOnTheWire(fd, receiver), 0);
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(platform::tcInstalledFlows().empty());
    ::close(fd);
}

// Where the process may use priority 7 (root keeps CAP_NET_ADMIN), it is put
// on the socket; a child without CAP_NET_ADMIN and CAP_NET_RAW is refused,
// sends unmarked, and its record says so.
TEST(QosMarkingTest, PrioritySevenNeedsTheRightAndARefusalLeavesTheTrafficUnmarked) {
    TosReceiver receiver;
    if (::geteuid() == 0) {
        int fd = connectedUdp(receiver.port());
        ::testing::internal::CaptureStdout();
        {
            QosMarking seven(QosMarking::kUdp, receiver.port(), 46, 7, kLoopback);
            EXPECT_TRUE(seven.install());
            seven.markSocket(fd, kLoopback, receiver.port());
            EXPECT_EQ(socketPriority(fd), 7);
            EXPECT_EQ(tosOnTheWire(fd, receiver), 46 << 2);
        }
        ::testing::internal::GetCapturedStdout();
        ::close(fd);
    }

    std::fflush(stdout);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(10);  // never outlives a stuck parent
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        ::syscall(SYS_capget, &header, data);
        for (int cap : {CAP_NET_ADMIN, CAP_NET_RAW})
            data[cap / 32].effective &= ~(1u << (cap % 32));
        if (::syscall(SYS_capset, &header, data) != 0) ::_exit(10);
        int fd = connectedUdp(receiver.port());
        int failures = 0;
        {
            QosMarking seven(QosMarking::kUdp, receiver.port(), 46, 7, kLoopback);
            if (seven.install()) failures |= 1;
            if (!seven.refused()) failures |= 2;
            seven.markSocket(fd, kLoopback, receiver.port());
            if (socketTos(fd) != 0 || socketPriority(fd) != 0) failures |= 4;
            TestResult record(1, LocalEndpoint{"local", "127.0.0.1", 4044});
            record.setExplanation(
                "Send packets.<br>Verify that the remote computer is running "
                "Trellon first.");
            reportMarking(record, seven);
            if (record.getExplanation()->find("IP DSCP") != std::string::npos) failures |= 8;
            if (record.getOutputText().find("IP DSCP 46 and Ethernet 802.1p priority 7) is not in "
                                            "place: the system refused it") == std::string::npos)
                failures |= 16;
        }
        char byte = 'x';
        ::send(fd, &byte, 1, 0);
        ::_exit(failures);
    }
    int tos = -1;
    std::vector<std::uint8_t> got = receiver.receive(tos);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failure bits";
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(tos, 0) << "the refused child's datagram";
}

TEST(QosMarkingTest, TheExplanationTellsOfAMarkingOnlyOnceItIsInPlace) {
    TosReceiver receiver;
    ::testing::internal::CaptureStdout();
    {
        TestResult record(1, LocalEndpoint{"local", "127.0.0.1", 4044});
        record.setExplanation(
            "Send packets.  <br>Verify that the remote computer is running Trellon first.");
        QosMarking ef(QosMarking::kUdp, receiver.port(), 46, 3, kLoopback);
        reportMarking(record, ef);  // not installed yet: no claim, and no refusal either
        EXPECT_EQ(record.getExplanation().value_or(""),
                  "Send packets.  <br>Verify that the remote computer is running Trellon first.");
        ASSERT_TRUE(ef.install());
        reportMarking(record, ef);
        EXPECT_EQ(record.getExplanation().value_or(""),
                  "Send packets.  <br>IP DSCP quality of service set to <b>46</b>. Ethernet "
                  "802.1p priority set to <b>3</b>.<br>Verify that the remote computer is running "
                  "Trellon first.");

        TestResult plain(2, LocalEndpoint{"local", "127.0.0.1", 4044});
        plain.setExplanation("Stream.  ");
        QosMarking onlyPriority(QosMarking::kUdp, receiver.port(), -1, 2, kLoopback);
        ASSERT_TRUE(onlyPriority.install());
        reportMarking(plain, onlyPriority);
        EXPECT_EQ(plain.getExplanation().value_or(""),
                  "Stream.  <br>Ethernet 802.1p priority set to <b>2</b>.");
    }
    ::testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------- the reflector's replies

std::vector<std::uint8_t> probe(std::uint32_t tag, int dscp, int priority) {
    std::vector<std::uint8_t> bytes(100, 0);
    ProbePacket::writeWord(bytes.data(), ProbePacket::kHeaderWordA, 2);
    ProbePacket::writeWord(bytes.data(), ProbePacket::kHeaderWordB, 2);
    ProbePacket::writeTime(bytes.data(), ProbePacket::kSendSeconds, Timestamp::now());
    ProbePacket::writeWord(bytes.data(), ProbePacket::kReplyDscp,
                           ProbePacket::wordFromMarking(dscp));
    ProbePacket::writeWord(bytes.data(), ProbePacket::kReplyPriority,
                           ProbePacket::wordFromMarking(priority));
    ProbePacket::writeWord(bytes.data(), ProbePacket::kPayload, tag);
    return bytes;
}

TEST(QosMarkingReflectorTest, EachReplyCarriesWhatItsProbeAskedAndAnUnmarkedOneCarriesZero) {
    ::testing::internal::CaptureStdout();
    {
        ResponseReflector reflector(0);
        reflector.openSocketRunThreads();
        ASSERT_NE(reflector.port(), 0);
        TosReceiver prober;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = kLoopback;
        to.sin_port = htons(static_cast<std::uint16_t>(reflector.port()));
        // Runs of equal markings and changes between them, sent in one burst
        // so the writer takes several at once.
        struct Ask {
            int dscp;
            int priority;
        };
        const std::vector<Ask> asks = {{48, -1}, {48, -1}, {48, -1}, {-1, -1}, {-1, -1}, {46, 5},
                                       {46, 5},  {-1, -1}, {10, -1}, {-1, 3},  {64, -1}, {48, -1}};
        for (std::uint32_t i = 0; i < asks.size(); ++i) {
            auto bytes = probe(i, asks[i].dscp, asks[i].priority);
            ASSERT_EQ(::sendto(prober.fd(), bytes.data(), bytes.size(), 0,
                               reinterpret_cast<sockaddr*>(&to), sizeof(to)),
                      100);
        }
        std::map<std::uint32_t, int> tosByTag;
        for (std::size_t i = 0; i < asks.size(); ++i) {
            int tos = -1;
            auto reply = prober.receive(tos);
            ASSERT_EQ(reply.size(), 100u) << "reply " << i;
            tosByTag[ProbePacket::readWord(reply.data(), ProbePacket::kPayload)] = tos;
        }
        for (std::uint32_t i = 0; i < asks.size(); ++i) {
            int dscp = asks[i].dscp >= 0 && asks[i].dscp <= 63 ? asks[i].dscp : 0;
            EXPECT_EQ(tosByTag[i], dscp << 2) << "reply " << i;
        }
        // The last reply's marking stays until the next reply or the end.
        EXPECT_EQ(QosMarking::installedFlows().size(), 1u);
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(QosMarking::installedFlows().empty());
    EXPECT_EQ(QosMarking::count(), 0);
}

}  // namespace
}  // namespace trellon
