// Two real agents and one datagram whose source is forged: a probe from
// agent B's reflector port to agent A's reflector. A answers it, to B's
// reflector; B must not answer that reply, or the two reflectors keep each
// other busy for ever. The lab's relay between the hosts counts every IP
// packet each way, so the test sees exactly what crossed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/timestamp.h"
#include "nettests/probe_packet.h"
#include "support/lab_agents.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;

constexpr std::uint16_t kReflectorPort = 4047;

// A UDP datagram (header and probe) as a prober writes it: reflector times
// cleared, no marking asked for. With stamped, the reflector times are filled
// in as a reflector's reply has them.
std::vector<std::uint8_t> udpProbe(std::uint16_t fromPort, std::uint16_t toPort, bool stamped) {
    std::vector<std::uint8_t> probe(100, 'A');
    ProbePacket::writeWord(probe.data(), ProbePacket::kHeaderWordA, 2);
    ProbePacket::writeWord(probe.data(), ProbePacket::kHeaderWordB, 2);
    ProbePacket::writeTime(probe.data(), ProbePacket::kSendSeconds, Timestamp::now());
    for (std::size_t offset = 28; offset < 52; offset += 4)
        ProbePacket::writeWord(probe.data(), offset, 0);
    if (stamped) {
        ProbePacket::writeTime(probe.data(), ProbePacket::kReflectorReceiveSeconds,
                               Timestamp::now());
        ProbePacket::writeTime(probe.data(), ProbePacket::kReflectorSendSeconds, Timestamp::now());
    }
    ProbePacket::writeWord(probe.data(), ProbePacket::kReplyDscp, ProbePacket::kNoMarking);
    ProbePacket::writeWord(probe.data(), ProbePacket::kReplyPriority, ProbePacket::kNoMarking);

    std::vector<std::uint8_t> datagram(8 + probe.size());
    auto put16 = [&](std::size_t at, std::uint16_t value) {
        datagram[at] = static_cast<std::uint8_t>(value >> 8);
        datagram[at + 1] = static_cast<std::uint8_t>(value);
    };
    put16(0, fromPort);
    put16(2, toPort);
    put16(4, static_cast<std::uint16_t>(datagram.size()));
    put16(6, 0);  // no checksum: allowed for UDP over IPv4
    std::copy(probe.begin(), probe.end(), datagram.begin() + 8);
    return datagram;
}

// Sends a UDP datagram from `from` with a source port nobody there bound: a
// raw socket writes the UDP header itself (the system adds the IP header).
void sendForged(const Host& from, const std::string& toAddress,
                const std::vector<std::uint8_t>& datagram) {
    UniqueFd raw = from.openSocket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    ASSERT_TRUE(raw) << "raw socket refused";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    ASSERT_EQ(::inet_pton(AF_INET, toAddress.c_str(), &to.sin_addr), 1);
    ASSERT_EQ(::sendto(raw.get(), datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
              static_cast<long>(datagram.size()));
}

class ReflectorSpoof : public LabAgents {
protected:
    void SetUp() override {
        NETLAB_SKIP_UNLESS_AVAILABLE();
        startThroughRelay();
    }

    // Packets that crossed the relay each way since `since`.
    struct Crossed {
        std::uint64_t aToB, bToA;
    };
    Crossed crossedSince(const RelayStats& since) const {
        RelayStats now = relay_.stats();
        return {now.aToB.received - since.aToB.received, now.bToA.received - since.bToA.received};
    }
};

TEST_F(ReflectorSpoof, OneForgedProbeBetweenTwoReflectorsGetsOneReplyAndNoMore) {
    RelayStats before = relay_.stats();
    // From B's reflector port to A's: A answers it to B's reflector.
    sendForged(b_, a_.address(), udpProbe(kReflectorPort, kReflectorPort, false));
    ASSERT_TRUE(relay_.waitFor(
        [&](const RelayStats& s) { return s.aToB.received > before.aToB.received; }, 5s))
        << "agent A did not answer the forged probe";
    // Had B answered A's reply, the exchange would go on at thousands of
    // packets a second; a quiet half second shows it stopped.
    bool more = relay_.waitFor(
        [&](const RelayStats& s) {
            return s.aToB.received - before.aToB.received > 1 ||
                   s.bToA.received - before.bToA.received > 1;
        },
        500ms);
    Crossed crossed = crossedSince(before);
    EXPECT_FALSE(more) << crossed.bToA << " packets B to A, " << crossed.aToB << " A to B";
    EXPECT_EQ(crossed.bToA, 1u);  // the forged probe
    EXPECT_EQ(crossed.aToB, 1u);  // A's one reply

    // A forged datagram that already carries reflector times gets no reply at all.
    before = relay_.stats();
    sendForged(b_, a_.address(), udpProbe(kReflectorPort, kReflectorPort, true));
    ASSERT_TRUE(relay_.waitFor(
        [&](const RelayStats& s) { return s.bToA.received > before.bToA.received; }, 5s));
    more = relay_.waitFor(
        [&](const RelayStats& s) { return s.aToB.received > before.aToB.received; }, 500ms);
    EXPECT_FALSE(more) << "agent A answered a reply";

    // An ordinary response test between the two agents still works.
    int id = response::startResponseTest(a_, b_.address(), 5, 50, 10);
    ASSERT_GT(id, 0);
    std::string document = response::waitUntilDone(a_, id, 20s, 100ms);
    EXPECT_EQ(element(document, "done"), "1") << document;
    EXPECT_EQ(element(document, "sent"), "5") << document;
    EXPECT_EQ(element(document, "received"), "5") << document;
}

}  // namespace
}  // namespace trellon::netlab
