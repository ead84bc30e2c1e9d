#include "nettests/probe_handling.h"

#include "nettests/response_test_thread.h"

namespace trellon {

ProbeVerdict acceptProbe(std::uint8_t* bytes, std::size_t length, bool truncated,
                         const Timestamp& receiveTime, int& replyDscp, int& replyPriority) {
    if (truncated || length > ProbePacket::kMaxReflectedBytes) return ProbeVerdict::tooLong;
    if (length < ProbePacket::kHeaderBytes) return ProbeVerdict::tooShort;
    if (ProbePacket::carriesReflectorStamps(bytes)) return ProbeVerdict::notProbe;
    ProbePacket::writeTime(bytes, ProbePacket::kReflectorReceiveSeconds, receiveTime);
    replyDscp = ProbePacket::markingFromWord(ProbePacket::readWord(bytes, ProbePacket::kReplyDscp));
    replyPriority =
        ProbePacket::markingFromWord(ProbePacket::readWord(bytes, ProbePacket::kReplyPriority));
    return ProbeVerdict::accepted;
}

std::optional<ResponseTimes> takeProbeReply(const std::uint8_t* bytes, std::size_t length,
                                            ProbePacket::Time received,
                                            ResponseTestControl& control) {
    // Shorter than the header: the times cannot be read from it.
    if (length < ProbePacket::kHeaderBytes) return std::nullopt;
    ProbePacket::Time sent = ProbePacket::readProbeTime(bytes, ProbePacket::kSendSeconds);
    // Only a reply to a probe of ours counts, and once: a duplicate made on
    // the way would push the loss below zero, and a datagram that carries a
    // send time we never used would bring times of its own into the figures.
    if (!control.takeReply(ProbePacket::timeKey(sent))) return std::nullopt;
    return ResponseTimes::of(
        sent, ProbePacket::readProbeTime(bytes, ProbePacket::kReflectorReceiveSeconds),
        ProbePacket::readProbeTime(bytes, ProbePacket::kReflectorSendSeconds), received);
}

}  // namespace trellon
