// The reflector's probe check fed any datagram: the input's first byte says
// whether the receive was cut, the rest is the datagram. Only the stamp
// bytes of an accepted probe change, the verdict follows the length and the
// stamp words, and the marking words asked for are none or 0..0xFFFE; a
// probe once answered is never a probe again (no two reflectors can bounce a
// datagram between them).
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "nettests/probe_handling.h"

using namespace trellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool truncated = (data[0] & 1) != 0;
    const std::size_t length = size - 1;
    // As the reflector's buffer: at least the header's room, the bytes after
    // the datagram left as they were.
    std::vector<std::uint8_t> bytes(std::max(length, ProbePacket::kHeaderBytes), 0xA5);
    if (length > 0) std::memcpy(bytes.data(), data + 1, length);
    const std::vector<std::uint8_t> before = bytes;

    Timestamp now;
    now.seconds = 1700000000;
    now.microseconds = 123456;
    int dscp = -7;
    int priority = -7;
    const ProbeVerdict verdict = acceptProbe(bytes.data(), length, truncated, now, dscp, priority);

    if (truncated || length > ProbePacket::kMaxReflectedBytes) {
        FUZZ_CHECK(verdict == ProbeVerdict::tooLong);
    } else if (length < ProbePacket::kHeaderBytes) {
        FUZZ_CHECK(verdict == ProbeVerdict::tooShort);
    } else {
        FUZZ_CHECK(verdict == (ProbePacket::carriesReflectorStamps(before.data())
                                   ? ProbeVerdict::notProbe
                                   : ProbeVerdict::accepted));
    }
    if (verdict != ProbeVerdict::accepted) {
        FUZZ_CHECK(bytes == before);
        FUZZ_CHECK(dscp == -7 && priority == -7);
        return 0;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i >= ProbePacket::kReflectorReceiveSeconds && i < ProbePacket::kReflectorSendSeconds)
            continue;
        FUZZ_CHECK(bytes[i] == before[i]);
    }
    FUZZ_CHECK(ProbePacket::readWord(bytes.data(), ProbePacket::kReflectorReceiveSeconds) ==
               static_cast<std::uint32_t>(now.seconds));
    FUZZ_CHECK(dscp >= -1 && dscp < 0xFFFF && priority >= -1 && priority < 0xFFFF);

    // The answer, stamped, comes back to a reflector: it is not a probe.
    std::vector<std::uint8_t> again = bytes;
    int dscp2 = -7;
    int priority2 = -7;
    FUZZ_CHECK(acceptProbe(again.data(), length, false, now, dscp2, priority2) ==
               ProbeVerdict::notProbe);
    return 0;
}
