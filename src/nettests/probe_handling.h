// What each end of the response-time test does with one datagram, as
// functions of its bytes: the reflector's reader deciding whether a datagram
// is a probe to answer, and the prober's reader deciding whether one is a
// reply to a probe of its own. The threads do the socket work around them;
// everything in the bytes is somebody else's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "lib/timestamp.h"
#include "nettests/probe_packet.h"

namespace trellon {

class ResponseTestControl;
struct ResponseTimes;

enum class ProbeVerdict {
    accepted,  // a probe: stamped and to be answered
    tooShort,  // shorter than the probe header
    tooLong,   // longer than the reflector returns (or cut by the receive)
    notProbe,  // its reflector times are filled in: another reflector's reply
};

// The reflector's side. bytes holds the first `length` bytes received (at
// least kHeaderBytes of room); truncated: the datagram was longer than the
// room. An accepted probe gets its receive time stamped into bytes 28-35,
// and its reply marking words are read into replyDscp and replyPriority (-1
// for none); a refused one is left as it was.
ProbeVerdict acceptProbe(std::uint8_t* bytes, std::size_t length, bool truncated,
                         const Timestamp& receiveTime, int& replyDscp, int& replyPriority);

// The prober's side: the trip's times when the datagram is a reply to one of
// this test's probes whose reply had not come yet (taken from control, so a
// duplicate counts once), received at `received`; nothing otherwise.
std::optional<ResponseTimes> takeProbeReply(const std::uint8_t* bytes, std::size_t length,
                                            ProbePacket::Time received,
                                            ResponseTestControl& control);

}  // namespace trellon
