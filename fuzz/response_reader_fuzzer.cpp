// The prober's reply check fed datagrams: the input is a list of records
// (two bytes of length, then that many bytes of datagram) against a test
// that sent a few probes of its own. A reply counts only for a probe that was
// sent and only once, its round trip is never below zero and the time held
// at the reflector never more than the round trip.
#include <set>
#include <vector>

#include "fuzz_check.h"
#include "nettests/probe_handling.h"
#include "nettests/response_test_thread.h"

using namespace trellon;

namespace {

// The probes this test sent: the send times a datagram has to echo to count.
constexpr std::uint32_t kSentSeconds[] = {1700000000u, 1700000000u, 1700000001u, 0u, 0xFFFFFFFFu};
constexpr std::uint32_t kSentMicroseconds[] = {0u, 999999u, 500000u, 1u, 999999u};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResponseTestControl control(std::chrono::seconds(10));
    std::set<std::uint64_t> outstanding;
    for (std::size_t i = 0; i < std::size(kSentSeconds); ++i) {
        const std::uint64_t key =
            ProbePacket::timeKey(ProbePacket::Time{kSentSeconds[i], kSentMicroseconds[i]});
        control.noteSent(key);
        outstanding.insert(key);
    }

    std::size_t at = 0;
    int counted = 0;
    while (at + 2 <= size) {
        std::size_t length = (std::size_t{data[at]} << 8 | data[at + 1]) % 2048;
        at += 2;
        length = std::min(length, size - at);
        // The reader's buffer is as long as what was received, no longer.
        std::vector<std::uint8_t> datagram(data + at, data + at + length);
        at += length;
        const ProbePacket::Time received{1700000002u, 250000u};
        const std::optional<ResponseTimes> times =
            takeProbeReply(datagram.data(), datagram.size(), received, control);
        if (!times) continue;
        FUZZ_CHECK(datagram.size() >= ProbePacket::kHeaderBytes);
        const std::uint64_t key = ProbePacket::timeKey(
            ProbePacket::readProbeTime(datagram.data(), ProbePacket::kSendSeconds));
        FUZZ_CHECK(outstanding.erase(key) == 1);
        FUZZ_CHECK(times->roundTrip >= 0);
        FUZZ_CHECK(times->held >= 0 && times->held <= times->roundTrip);
        ++counted;
    }
    FUZZ_CHECK(counted <= static_cast<int>(std::size(kSentSeconds)));
    return 0;
}
