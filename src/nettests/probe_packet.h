// ProbePacket: the layout of a response-time probe, shared by the prober
// (ResponseWriterThread / ResponseReaderThread) and the ResponseReflector.
//
// One UDP datagram travels out and back; every numeric field is an unsigned
// 32-bit big-endian word. The prober writes everything except bytes 28-43,
// which the reflector stamps with its receive and send times; all other bytes
// are echoed unchanged. Nothing here is trusted: callers check the length
// (at least kHeaderBytes) before reading a field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/timestamp.h"

namespace trellon {

struct ProbePacket {
    static constexpr std::size_t kHeaderWordA = 0;
    static constexpr std::size_t kHeaderWordB = 4;
    static constexpr std::size_t kFiller = 8;  // 12 bytes, not interpreted
    static constexpr std::size_t kSendSeconds = 20;
    static constexpr std::size_t kSendMicroseconds = 24;
    static constexpr std::size_t kReflectorReceiveSeconds = 28;
    static constexpr std::size_t kReflectorReceiveMicroseconds = 32;
    static constexpr std::size_t kReflectorSendSeconds = 36;
    static constexpr std::size_t kReflectorSendMicroseconds = 40;
    static constexpr std::size_t kReserved1 = 44;
    static constexpr std::size_t kReserved2 = 48;
    static constexpr std::size_t kReplyDscp = 52;
    static constexpr std::size_t kReplyPriority = 56;
    static constexpr std::size_t kPayload = 60;

    static constexpr std::size_t kHeaderBytes = 60;
    // The reflector returns datagrams up to this size and drops longer ones.
    static constexpr std::size_t kMaxReflectedBytes = 2000;

    static constexpr std::uint32_t kHeaderWordValue = 2;
    // In kReplyDscp / kReplyPriority: no marking asked for.
    static constexpr std::uint32_t kNoMarking = 0xFFFF;

    static std::uint32_t readWord(const std::uint8_t* packet, std::size_t offset) {
        const std::uint8_t* p = packet + offset;
        return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
               (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    }

    static void writeWord(std::uint8_t* packet, std::size_t offset, std::uint32_t value) {
        std::uint8_t* p = packet + offset;
        p[0] = static_cast<std::uint8_t>(value >> 24);
        p[1] = static_cast<std::uint8_t>(value >> 16);
        p[2] = static_cast<std::uint8_t>(value >> 8);
        p[3] = static_cast<std::uint8_t>(value);
    }

    // A time as two words: seconds at offset, microseconds at offset + 4.
    // Words above INT32_MAX (only a hostile or broken peer sends them) are
    // kept as their 32-bit pattern; the arithmetic downstream is 64-bit.
    static Timestamp readTime(const std::uint8_t* packet, std::size_t offset) {
        Timestamp t;
        t.seconds = static_cast<std::int32_t>(readWord(packet, offset));
        t.microseconds = static_cast<std::int32_t>(readWord(packet, offset + 4));
        return t;
    }

    static void writeTime(std::uint8_t* packet, std::size_t offset, const Timestamp& t) {
        writeWord(packet, offset, static_cast<std::uint32_t>(t.seconds));
        writeWord(packet, offset + 4, static_cast<std::uint32_t>(t.microseconds));
    }

    // Whether the reflector times (bytes 28-43) hold anything. A prober sends
    // them cleared and a reflector fills them, so a datagram that carries them
    // is a reply, not a probe: answering it would let one spoofed datagram
    // between two reflectors bounce back and forth for ever.
    static bool carriesReflectorStamps(const std::uint8_t* packet) {
        for (std::size_t offset = kReflectorReceiveSeconds; offset <= kReflectorSendMicroseconds;
             offset += 4) {
            if (readWord(packet, offset) != 0) return true;
        }
        return false;
    }

    // The marking word of a probe as a value, -1 for "none". Anything above
    // 0xFFFF cannot be a code point or a priority either and also means none.
    static int markingFromWord(std::uint32_t word) {
        return word >= kNoMarking ? -1 : static_cast<int>(word);
    }

    // -1 (or any negative value) travels as 0xFFFF.
    static std::uint32_t wordFromMarking(int value) {
        return value < 0 ? kNoMarking : static_cast<std::uint32_t>(value);
    }
};

}  // namespace trellon
