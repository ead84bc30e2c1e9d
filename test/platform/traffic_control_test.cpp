// The traffic-control layer: which installed flow marks a socket, and that a
// socket goes back to TOS 0 and priority 0 when its flow goes.
#include "platform/traffic_control.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trellon::platform {
namespace {

TcGenFlow flowOf(int dscp, int priority) {
    TcGenFlow flow;
    if (priority >= 0)
        flow.tcObjects.push_back(
            {kQosObjectTrafficClass, 12, static_cast<std::uint32_t>(priority)});
    if (dscp >= 0)
        flow.tcObjects.push_back({kQosObjectDsClass, 12, static_cast<std::uint32_t>(dscp)});
    flow.tcObjectsLength = static_cast<std::uint32_t>(12 * flow.tcObjects.size());
    return flow;
}

TcGenFilter filterOf(const char* address, std::uint16_t port) {
    TcGenFilter filter;
    filter.pattern.dstAddr = address ? inet_addr(address) : 0;
    filter.mask.dstAddr = address ? 0xFFFFFFFF : 0;
    filter.pattern.dstPort = htons(port);
    filter.mask.dstPort = port ? 0xFFFF : 0;
    filter.mask.reserved1 = filter.mask.reserved2 = 0xFFFFFFFF;
    return filter;
}

struct Marks {
    int tos;
    int priority;
    bool operator==(const Marks& o) const { return tos == o.tos && priority == o.priority; }
};

std::ostream& operator<<(std::ostream& out, const Marks& m) {
    return out << "tos " << m.tos << " priority " << m.priority;
}

Marks marksOn(int fd) {
    Marks m{-1, -1};
    socklen_t length = sizeof(int);
    ::getsockopt(fd, IPPROTO_IP, IP_TOS, &m.tos, &length);
    length = sizeof(int);
    ::getsockopt(fd, SOL_SOCKET, SO_PRIORITY, &m.priority, &length);
    return m;
}

TEST(TrafficControlTest, ASocketTakesTheNewestMatchingFlowOrItsOwnAndLosesItWithTheFlow) {
    int anyDestination = ::socket(AF_INET, SOCK_DGRAM, 0);
    int own = ::socket(AF_INET, SOCK_DGRAM, 0);
    int elsewhere = ::socket(AF_INET, SOCK_DGRAM, 0);
    const std::uint32_t host = inet_addr("10.77.1.2");

    // Attached before any flow: nothing to put on it yet.
    EXPECT_TRUE(tcAttachSocket(anyDestination, host, 4047, std::nullopt));
    EXPECT_EQ(marksOn(anyDestination), (Marks{0, 0}));

    TcFlowHandle portOnly = tcAddFlow(flowOf(48, -1), filterOf(nullptr, 4047));
    ASSERT_NE(portOnly, kNoFlow);
    EXPECT_TRUE(tcClientRegistered());
    EXPECT_EQ(marksOn(anyDestination), (Marks{48 << 2, 0}));

    // A newer matching flow wins for a socket without a flow of its own...
    TcFlowHandle exact = tcAddFlow(flowOf(10, 4), filterOf("10.77.1.2", 4047));
    ASSERT_NE(exact, kNoFlow);
    EXPECT_EQ(marksOn(anyDestination), (Marks{10 << 2, 4}));
    // ...but a socket tied to a flow keeps that one.
    EXPECT_TRUE(tcAttachSocket(own, host, 4047, portOnly));
    EXPECT_EQ(marksOn(own), (Marks{48 << 2, 0}));
    // A flow that does not match the socket's traffic does not mark it.
    EXPECT_TRUE(tcAttachSocket(elsewhere, inet_addr("10.77.1.3"), 4047, exact));
    EXPECT_EQ(marksOn(elsewhere), (Marks{0, 0}));
    EXPECT_TRUE(tcAttachSocket(elsewhere, host, 4046, std::nullopt));
    EXPECT_EQ(marksOn(elsewhere), (Marks{0, 0}));

    auto flows = tcInstalledFlows();
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(flows[0].handle, portOnly);
    EXPECT_EQ(flows[1].filter.pattern.dstAddr, host);

    // The newer one goes: the free socket falls back to the older match.
    tcDeleteFlow(exact);
    EXPECT_EQ(marksOn(anyDestination), (Marks{48 << 2, 0}));
    tcDeleteFlow(portOnly);
    EXPECT_EQ(marksOn(anyDestination), (Marks{0, 0}));
    EXPECT_EQ(marksOn(own), (Marks{0, 0}));
    // Tied to a flow that is gone: stays unmarked when flows come again.
    TcFlowHandle again = tcAddFlow(flowOf(46, -1), filterOf(nullptr, 4047));
    EXPECT_EQ(marksOn(own), (Marks{0, 0}));
    EXPECT_EQ(marksOn(anyDestination), (Marks{46 << 2, 0}));
    tcDetachSocket(anyDestination);
    EXPECT_EQ(marksOn(anyDestination), (Marks{0, 0}));  // forgotten and unmarked
    EXPECT_FALSE(tcSocketMarks(anyDestination));
    tcDeleteFlow(again);
    for (int fd : {anyDestination, own, elsewhere}) {
        tcDetachSocket(fd);
        ::close(fd);
    }
    EXPECT_TRUE(tcInstalledFlows().empty());
    tcDeregisterClient();
    EXPECT_FALSE(tcClientRegistered());
}

TEST(TrafficControlTest, FlowsWithoutMarkingOrOutOfRangeAreRefused) {
    TcError error = TcError::none;
    EXPECT_EQ(tcAddFlow(flowOf(-1, -1), filterOf(nullptr, 1), &error), kNoFlow);
    EXPECT_EQ(error, TcError::badFlow);
    EXPECT_EQ(tcAddFlow(flowOf(64, -1), filterOf(nullptr, 1), &error), kNoFlow);
    EXPECT_EQ(tcAddFlow(flowOf(-1, 8), filterOf(nullptr, 1), &error), kNoFlow);
    TcGenFilter notIp = filterOf(nullptr, 1);
    notIp.addressType = 0;
    EXPECT_EQ(tcAddFlow(flowOf(1, -1), notIp, &error), kNoFlow);
    EXPECT_EQ(error, TcError::badFlow);
    EXPECT_TRUE(tcInstalledFlows().empty());
    EXPECT_FALSE(tcAttachSocket(-1, 0, 1, std::nullopt));
}

}  // namespace
}  // namespace trellon::platform
