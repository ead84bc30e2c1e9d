// StreamPacket: the layout of one datagram of the streaming test, written by
// StreamServer and read by StreamClient.
//
// Every numeric field is an unsigned 32-bit big-endian word; the payload
// after the header is filler. The receiver trusts nothing in it: a datagram
// shorter than the header is ignored, and the times are only ever subtracted
// (so the wrap of the seconds word in 2106 changes nothing).
#pragma once

#include <cstddef>
#include <cstdint>

#include "nettests/probe_packet.h"

namespace trellon {

struct StreamPacket {
    static constexpr std::size_t kHeaderWordA = 0;
    static constexpr std::size_t kHeaderWordB = 4;
    static constexpr std::size_t kSequence = 8;
    static constexpr std::size_t kHeaderWordC = 12;
    static constexpr std::size_t kSendSeconds = 16;
    static constexpr std::size_t kSendMicroseconds = 20;
    // How long the sender's previous send call took, in microseconds.
    static constexpr std::size_t kSenderDelayPrevious = 24;
    static constexpr std::size_t kPayload = 28;

    static constexpr std::size_t kHeaderBytes = 28;
    // The sender's buffer; the answering agent refuses larger packets.
    static constexpr std::size_t kBufferBytes = 2000;
    static constexpr int kMinPacketSize = 28;
    static constexpr int kMaxPacketSize = 1500;

    static constexpr std::uint32_t kWordA = 3;
    static constexpr std::uint32_t kWordB = 0;
    static constexpr std::uint32_t kWordC = 102;

    static std::uint32_t readWord(const std::uint8_t* packet, std::size_t offset) {
        return ProbePacket::readWord(packet, offset);
    }
    static void writeWord(std::uint8_t* packet, std::size_t offset, std::uint32_t value) {
        ProbePacket::writeWord(packet, offset, value);
    }

    // The header as the sender writes it.
    static void writeHeader(std::uint8_t* packet, std::uint32_t sequence, std::uint32_t seconds,
                            std::uint32_t microseconds, std::uint32_t senderDelayPrevious) {
        writeWord(packet, kHeaderWordA, kWordA);
        writeWord(packet, kHeaderWordB, kWordB);
        writeWord(packet, kSequence, sequence);
        writeWord(packet, kHeaderWordC, kWordC);
        writeWord(packet, kSendSeconds, seconds);
        writeWord(packet, kSendMicroseconds, microseconds);
        writeWord(packet, kSenderDelayPrevious, senderDelayPrevious);
    }

    // Whether a datagram of this length carries the three fixed words of a
    // stream packet (callers check the length first).
    static bool hasStreamWords(const std::uint8_t* packet) {
        return readWord(packet, kHeaderWordA) == kWordA &&
               readWord(packet, kHeaderWordB) == kWordB && readWord(packet, kHeaderWordC) == kWordC;
    }
};

}  // namespace trellon
