// QosMarking: one marked destination (DSCP code point and/or 802.1p
// priority) for as long as the object lives or until remove().
//
// Users: the response-test writer, the reflector writer (per reply), the
// bandwidth test and the stream server. Every call that touches the
// process-wide marking state holds the traffic-control lock, which is
// re-entrant because destruction removes a flow set while holding it.
//
// This version keeps the process-wide table of installed flows but marks no
// traffic yet: install() records the flow when it carries a marking in range,
// remove() and destruction take it out again. Code that asks for marking and
// tests that look at what was asked for work already; putting the marks on
// the sockets is the platform layer's later work.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace trellon {

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
    // Removes the flow set if one is kept; prints "tcCount=%d (destructor)".
    ~QosMarking();

    QosMarking(const QosMarking&) = delete;
    QosMarking& operator=(const QosMarking&) = delete;

    // Adds the flow set; true when one is kept. Without a DSCP in 0-63 or a
    // priority in 0-7 there is nothing to mark and nothing is kept.
    bool install();
    // Deletes the flow set, if one is kept.
    void remove();
    bool installed() const;

    int protocol() const { return protocol_; }
    const std::string& address() const { return address_; }
    std::uint16_t port() const { return port_; }
    int dscp() const { return dscp_; }
    int priority() const { return priority_; }

    // The traffic-control lock: guards the flow table, tcCount and every
    // QosMarking's installed state.
    static std::recursive_mutex& trafficControlLock();
    // Number of QosMarking objects in existence.
    static int count();
    // Snapshot of the installed flows, oldest first.
    static std::vector<Flow> installedFlows();
    // Agent shutdown: gives up the traffic-control client (nothing to do yet).
    static void deregisterClient();

private:
    int protocol_;
    std::string address_;  // empty = any
    std::uint16_t port_;
    int dscp_;
    int priority_;
    std::uint64_t serial_;
    bool installed_ = false;  // guarded by the traffic-control lock
};

}  // namespace trellon
