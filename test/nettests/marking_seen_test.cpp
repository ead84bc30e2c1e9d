// The marking a response test's probes had at the far end: word 44 of the
// reply, filled by the reflector from IP_RECVTOS (the response test's use of
// it is tested with the test thread).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "nettests/probe_packet.h"
#include "platform/received_tos.h"

namespace trellon {
namespace {

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
