// Traffic control: packet marking with a DSCP code point and an 802.1p
// priority for the traffic that matches an installed flow.
//
// The caller (QosMarking) builds the flow and its filter as the traffic
// control API describes them (the structures below keep that API's layout and
// sizes, so what was asked for can be checked as data), adds the flow set,
// and deletes it later. The layer keeps the process-wide table of installed
// flows and of the sockets it was told about; a socket is marked while its
// flow is installed and goes back to TOS 0 and priority 0 when the flow goes.
//
// On this platform the marking is put on the sockets themselves: IP_TOS =
// code point << 2 and SO_PRIORITY = the priority (a VLAN interface's
// egress-qos-map turns it into the PCP bits). A priority above 6 needs
// CAP_NET_ADMIN; without it the add fails as a refused traffic-control call
// does, and nothing is marked.
//
// Threads: any test thread, the reflector writer and the shutdown call in; one
// internal lock guards both tables and is held only around setsockopt calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/native_socket.h"

namespace trellon::platform {

constexpr std::uint32_t kQosNotSpecified = 0xFFFFFFFF;
constexpr std::uint32_t kServiceTypeBestEffort = 1;
constexpr std::uint32_t kQosObjectDsClass = 0xFA1;
constexpr std::uint32_t kQosObjectTrafficClass = 0xFA2;
constexpr std::uint16_t kNdisProtocolIdTcpIp = 2;
// The marking values given for "not set".
constexpr std::uint32_t kMarkNotSet = 0xFFFF;

struct TcFlowspec {
    std::uint32_t tokenRate = kQosNotSpecified;
    std::uint32_t tokenBucketSize = kQosNotSpecified;
    std::uint32_t peakBandwidth = kQosNotSpecified;
    std::uint32_t latency = kQosNotSpecified;
    std::uint32_t delayVariation = kQosNotSpecified;
    std::uint32_t serviceType = kQosNotSpecified;
    std::uint32_t maxSduSize = kQosNotSpecified;
    std::uint32_t minimumPolicedSize = kQosNotSpecified;
};

// QOS_TRAFFIC_CLASS or QOS_DS_CLASS: an object header and one value.
struct TcObject {
    std::uint32_t objectType = 0;
    std::uint32_t objectLength = 0;
    std::uint32_t value = 0;  // TrafficClass or DSField
};
static_assert(sizeof(TcObject) == 12, "a marking object is 12 bytes");

struct TcGenFlow {
    TcFlowspec sendingFlowspec;
    TcFlowspec receivingFlowspec;
    std::uint32_t tcObjectsLength = 0;
    std::vector<TcObject> tcObjects;
};

// IP_PATTERN: addresses in network order, ports in network order.
struct IpPattern {
    std::uint32_t reserved1 = 0;
    std::uint32_t reserved2 = 0;
    std::uint32_t srcAddr = 0;
    std::uint32_t dstAddr = 0;
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    std::uint8_t protocolId = 0;
    std::uint8_t reserved3[3] = {0, 0, 0};
};
static_assert(sizeof(IpPattern) == 24, "IP_PATTERN is 24 bytes");

struct TcGenFilter {
    std::uint16_t addressType = kNdisProtocolIdTcpIp;
    std::uint32_t patternSize = sizeof(IpPattern);
    IpPattern pattern;
    IpPattern mask;
};

// A flow set's handle; 0 is none.
using TcFlowHandle = std::uint64_t;
constexpr TcFlowHandle kNoFlow = 0;

// Why an add failed.
enum class TcError {
    none,
    badFlow,       // no marking object, or a filter that is not IPv4
    accessDenied,  // the system refused the marking (no right to that priority)
    unavailable,   // the system has no traffic control to mark with: the marking is absent
};

// Adds a flow set; kNoFlow (and *error) when it fails. Sockets told about
// with attachSocket whose traffic it matches are marked now.
TcFlowHandle tcAddFlow(const TcGenFlow& flow, const TcGenFilter& filter, TcError* error = nullptr);
// Deletes a flow set; the sockets it marked go back to TOS 0, priority 0.
void tcDeleteFlow(TcFlowHandle flow);
// Agent shutdown: gives up the client. Flows still installed stay until
// their owners delete them.
void tcDeregisterClient();
bool tcClientRegistered();

// Tells the layer that socket sends to this destination (address in network
// order, port in host order). With a flow, the socket carries that flow's marking only (when the
// flow does not exist any more or does not match: no marking); without one,
// the newest installed flow whose filter matches. Called again for the same
// socket it changes the destination, e.g. for each run of replies of a
// socket that answers many senders. Returns false when the system refused
// the marking (the socket is then unmarked).
bool tcAttachSocket(NativeSocket socket, std::uint32_t addressNetworkOrder, std::uint16_t port,
                    std::optional<TcFlowHandle> flow);
// Forgets the socket (before it is closed) and unmarks it.
void tcDetachSocket(NativeSocket socket);

// What the layer has put on a socket it knows: TOS byte and priority.
struct TcSocketMarks {
    int tos = 0;
    int priority = 0;
};
std::optional<TcSocketMarks> tcSocketMarks(NativeSocket socket);

struct TcInstalledFlow {
    TcFlowHandle handle = kNoFlow;
    TcGenFlow flow;
    TcGenFilter filter;
};
// The installed flows, oldest first.
std::vector<TcInstalledFlow> tcInstalledFlows();

}  // namespace trellon::platform
