// QosMarking: one marked destination (DSCP code point and/or 802.1p
// priority) for as long as the object lives or until remove().
//
// Users: the response-test writer, the reflector writer (per run of replies),
// the bandwidth test and the stream server. Every call that touches the
// process-wide marking state holds the traffic-control lock, which is
// re-entrant because destruction removes a flow set while holding it.
//
// install() builds the flow (its marking objects) and the filter (protocol
// any, destination address or any, destination port) and adds them through
// the platform's traffic control; markSocket() then ties the user's socket to
// that flow, so the socket carries this marking and no other test's. remove()
// deletes the flow and the socket goes back to unmarked; destruction also
// forgets the socket, so it must come before the socket is closed.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/traffic_control.h"

namespace trellon {

class TestResult;

class QosMarking {
public:
    static constexpr int kUdp = 17;
    static constexpr int kTcp = 6;

    // An installed flow, as the table holds it.
    struct Flow {
        int protocol = 0;
        std::string address;  // dotted decimal, empty = any address
        std::uint16_t port = 0;
        int dscp = -1;      // -1 = no DSCP mark
        int priority = -1;  // -1 = no 802.1p mark
        std::uint64_t owner = 0;
    };

    // address: IPv4 in network order, or none for any destination address.
    // Prints "tcCount=%d (constructor)".
    QosMarking(int protocol, std::uint16_t port, int dscp, int priority,
               std::optional<std::uint32_t> addressNetworkOrder);
    // Removes the flow set if one is kept, forgets the marked sockets;
    // prints "tcCount=%d (destructor)".
    ~QosMarking();

    QosMarking(const QosMarking&) = delete;
    QosMarking& operator=(const QosMarking&) = delete;

    // Adds the flow set; true when one is kept. Without a DSCP in 0-63 or a
    // priority in 0-7 there is nothing to mark and nothing is kept; refused()
    // tells whether the system said no.
    bool install();
    // Deletes the flow set, if one is kept; marked sockets become unmarked.
    void remove();
    bool installed() const;
    bool refused() const;

    // The socket sends this marking's traffic to the destination (address in
    // network order, port in host order): it carries the marking while the
    // flow is installed, and nothing otherwise. False when the system refused.
    bool markSocket(platform::NativeSocket socket, std::uint32_t addressNetworkOrder,
                    std::uint16_t port);

    int protocol() const { return protocol_; }
    const std::string& address() const { return address_; }
    std::uint16_t port() const { return port_; }
    int dscp() const { return dscp_; }
    int priority() const { return priority_; }

    // The flow and filter for these values, as traffic control takes them.
    // buildFilter gives none for an address text that is not one IPv4 address.
    static platform::TcGenFlow buildFlow(int dscp, int priority);
    static std::optional<platform::TcGenFilter> buildFilter(const std::string& address,
                                                            std::uint16_t port);

    // The traffic-control lock: guards the flow table, tcCount and every
    // QosMarking's installed state.
    static std::recursive_mutex& trafficControlLock();
    // Number of QosMarking objects in existence.
    static int count();
    // Snapshot of the installed flows, oldest first.
    static std::vector<Flow> installedFlows();
    // Agent shutdown: gives up the traffic-control client.
    static void deregisterClient();

private:
    int protocol_;
    std::string address_;  // empty = any
    std::uint16_t port_;
    int dscp_;
    int priority_;
    std::uint64_t serial_;
    // Guarded by the traffic-control lock.
    platform::TcFlowHandle flow_ = platform::kNoFlow;
    bool refused_ = false;
    std::vector<platform::NativeSocket> sockets_;
};

// The results' account of a marking: the sentences of the explanation once
// it is in place, or a message when the system refused it. A marking that
// asks for nothing adds nothing.
void reportMarking(TestResult& result, const QosMarking& marking);
// "<br>IP DSCP quality of service set to <b>46</b>." and the 802.1p sentence,
// for the values in range.
std::string markingSentences(int dscp, int priority);

}  // namespace trellon
