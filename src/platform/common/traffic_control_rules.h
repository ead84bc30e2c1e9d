// What a flow set means, the same on every system: the traffic-control
// backends differ only in how they put it on the wire.
#pragma once

#include <cstdint>

#include "platform/traffic_control.h"

namespace trellon::platform::tc_rules {

// A marking object, an IPv4 filter, and code points that exist (DSCP 0-63,
// 802.1p 0-7).
bool wellFormed(const TcGenFlow& flow, const TcGenFilter& filter);
// Whether traffic to this address and port (network order, host order) is
// the filter's.
bool matches(const TcGenFilter& filter, std::uint32_t address, std::uint16_t port);
// The TOS byte and socket priority the flow's objects ask for.
TcSocketMarks marksOf(const TcGenFlow& flow);

}  // namespace trellon::platform::tc_rules
