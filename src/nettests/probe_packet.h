// ProbePacket: the layout of a response-time probe, shared by the prober
// (ResponseWriterThread / ResponseReaderThread) and the ResponseReflector.
//
// One UDP datagram travels out and back; every numeric field is an unsigned
// 32-bit big-endian word. The prober writes everything except bytes 28-43,
// which the reflector stamps with its receive and send times, and word 44,
// where it says which DSCP the probe arrived with; all other bytes are
// echoed unchanged. Nothing here is trusted: callers check the length
// (at least kHeaderBytes) before reading a field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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
    // Word 44 (first reserved word): in a reply, the DSCP the reflector saw
    // on the probe (seenDscpWord). The prober sends it cleared, and an older
    // reflector echoes it so, which reads as "not known".
    static constexpr std::size_t kReserved1 = 44;
    static constexpr std::size_t kSeenDscp = kReserved1;
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

    // A time as it travels: two unsigned words. The seconds word passes 2^31
    // in 2038 and wraps to 0 in 2106; only differences of times are taken,
    // and those are computed so that neither matters.
    struct Time {
        std::uint32_t seconds = 0;
        std::uint32_t microseconds = 0;
    };

    static Time readProbeTime(const std::uint8_t* packet, std::size_t offset) {
        return Time{readWord(packet, offset), readWord(packet, offset + 4)};
    }

    static void writeProbeTime(std::uint8_t* packet, std::size_t offset, Time t) {
        writeWord(packet, offset, t.seconds);
        writeWord(packet, offset + 4, t.microseconds);
    }

    // This clock's time as the words a probe carries (the low 32 bits of the
    // seconds, whatever the year).
    static Time probeTime(const Timestamp& t) {
        return Time{static_cast<std::uint32_t>(t.seconds),
                    static_cast<std::uint32_t>(t.microseconds)};
    }

    // One number per send time, for recognising a probe's reply.
    static std::uint64_t timeKey(Time t) {
        return (std::uint64_t{t.seconds} << 32) | t.microseconds;
    }

    // to - from in microseconds. The seconds count as the signed 32-bit
    // distance between the two words, so times less than 68 years apart give
    // the right difference across 2038 and 2106 alike. Nothing when either
    // microseconds word lies outside 0..999999: no clock wrote that.
    static std::optional<std::int64_t> microsecondsBetween(Time from, Time to) {
        if (from.microseconds > 999999 || to.microseconds > 999999) return std::nullopt;
        auto seconds = static_cast<std::int32_t>(to.seconds - from.seconds);
        return std::int64_t{seconds} * 1000000 + std::int64_t{to.microseconds} -
               std::int64_t{from.microseconds};
    }

    // A time as a Timestamp: seconds at offset, microseconds at offset + 4,
    // each kept as its 32-bit pattern. For looking at a time; differences go
    // through microsecondsBetween, which survives the wrap of the words.
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

    // The flag that tells a filled word 44 from an old reflector's 0.
    static constexpr std::uint32_t kSeenDscpFlag = 0x100;

    // Word 44 for a probe that arrived with this code point (-1: not known).
    static std::uint32_t seenDscpWord(int dscp) {
        return dscp < 0 ? 0 : kSeenDscpFlag | static_cast<std::uint32_t>(dscp & 0x3F);
    }

    // The code point a reply's word 44 names, or -1 when it names none: no
    // flag (an old reflector), or bits that no reflector of ours writes.
    static int seenDscpFromWord(std::uint32_t word) {
        if ((word & kSeenDscpFlag) == 0 || (word & ~(kSeenDscpFlag | 0x3Fu)) != 0) return -1;
        return static_cast<int>(word & 0x3F);
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
