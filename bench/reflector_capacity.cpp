// Capacity and hold time of the response reflector on loopback.
//
// Several probers, each with its own UDP socket and thread, send 100-byte
// probes to one ResponseReflector for a fixed time and read the replies:
//
//   flood   as fast as they can, each keeping at most a window of probes in
//           flight (closed loop, so the figure is what the reflector turns
//           round rather than what the kernel throws away);
//   paced   together at a fixed rate (default 50000 probes per second),
//           which must come back without a single reply lost.
//
// Figures per phase: probes sent and reflected, reflected per second, replies
// lost, and the hold time T3 - T2 (reflector send stamp minus receive stamp)
// as median and 99th percentile in microseconds, with the round trip beside.
//
// Usage: bench_reflector_capacity [seconds=5] [probers=4] [rate=50000] [window=256]
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "nettests/filler.h"
#include "nettests/probe_packet.h"
#include "nettests/response_reflector.h"

using namespace trellon;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kProbeBytes = 100;
constexpr std::size_t kBatch = 32;

struct ProberResult {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::vector<std::int32_t> holdUs;
    std::vector<std::int32_t> roundTripUs;
};

class Prober {
public:
    Prober(int reflectorPort, ProberResult& result) : result_(result) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int size = 8 * 1024 * 1024;
        if (::setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
            ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        reflector_.sin_family = AF_INET;
        reflector_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        reflector_.sin_port = htons(static_cast<std::uint16_t>(reflectorPort));
        for (auto& probe : probes_) {
            probe.resize(kProbeBytes);
            Filler::fill(probe.data(), probe.size());
            ProbePacket::writeWord(probe.data(), ProbePacket::kHeaderWordA, 2);
            ProbePacket::writeWord(probe.data(), ProbePacket::kHeaderWordB, 2);
            for (std::size_t offset = 28; offset < 52; offset += 4)
                ProbePacket::writeWord(probe.data(), offset, 0);
            ProbePacket::writeWord(probe.data(), ProbePacket::kReplyDscp, ProbePacket::kNoMarking);
            ProbePacket::writeWord(probe.data(), ProbePacket::kReplyPriority,
                                   ProbePacket::kNoMarking);
        }
        for (auto& reply : replies_) reply.resize(2048);
    }
    ~Prober() { ::close(socket_); }

    void send(std::size_t count) {
        count = std::min(count, kBatch);
        mmsghdr messages[kBatch];
        iovec vectors[kBatch];
        Timestamp now = Timestamp::now();
        for (std::size_t i = 0; i < count; ++i) {
            ProbePacket::writeTime(probes_[i].data(), ProbePacket::kSendSeconds, now);
            vectors[i] = {probes_[i].data(), probes_[i].size()};
            std::memset(&messages[i], 0, sizeof(messages[i]));
            messages[i].msg_hdr.msg_name = &reflector_;
            messages[i].msg_hdr.msg_namelen = sizeof(reflector_);
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        std::size_t done = 0;
        while (done < count) {
            int n = ::sendmmsg(socket_, &messages[done], static_cast<unsigned>(count - done), 0);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        result_.sent += done;
    }

    // Reads every reply already there; returns how many.
    std::size_t drain() {
        std::size_t total = 0;
        for (;;) {
            mmsghdr messages[kBatch];
            iovec vectors[kBatch];
            for (std::size_t i = 0; i < kBatch; ++i) {
                vectors[i] = {replies_[i].data(), replies_[i].size()};
                std::memset(&messages[i], 0, sizeof(messages[i]));
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            int n = ::recvmmsg(socket_, messages, kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0) return total;
            Timestamp now = Timestamp::now();
            for (int i = 0; i < n; ++i) {
                if (messages[i].msg_len < ProbePacket::kHeaderBytes) continue;
                const std::uint8_t* reply = replies_[i].data();
                Timestamp sent = ProbePacket::readTime(reply, ProbePacket::kSendSeconds);
                Timestamp in = ProbePacket::readTime(reply, ProbePacket::kReflectorReceiveSeconds);
                Timestamp out = ProbePacket::readTime(reply, ProbePacket::kReflectorSendSeconds);
                result_.holdUs.push_back(static_cast<std::int32_t>(out.microsecondsSince(in)));
                result_.roundTripUs.push_back(
                    static_cast<std::int32_t>(now.microsecondsSince(sent)));
                ++result_.received;
            }
            total += static_cast<std::size_t>(n);
        }
    }

    void waitReadable(int milliseconds) {
        pollfd fd{socket_, POLLIN, 0};
        ::poll(&fd, 1, milliseconds);
    }

    std::uint64_t inFlight() const { return result_.sent - result_.received; }

private:
    int socket_ = -1;
    sockaddr_in reflector_{};
    ProberResult& result_;
    std::vector<std::uint8_t> probes_[kBatch];
    std::vector<std::uint8_t> replies_[kBatch];
};

void finish(Prober& prober, const ProberResult& result) {
    // Replies still on their way: wait for them, but not for ever.
    auto deadline = Clock::now() + std::chrono::seconds(1);
    while (result.received < result.sent && Clock::now() < deadline) {
        prober.waitReadable(10);
        prober.drain();
    }
}

void flood(int port, double seconds, std::uint64_t window, ProberResult& result) {
    Prober prober(port, result);
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        std::uint64_t room = window > prober.inFlight() ? window - prober.inFlight() : 0;
        if (room > 0) prober.send(static_cast<std::size_t>(room));
        if (prober.drain() == 0 && room == 0) prober.waitReadable(1);
    }
    finish(prober, result);
}

void paced(int port, double seconds, double ratePerSecond, ProberResult& result) {
    Prober prober(port, result);
    auto start = Clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    for (auto now = start; now < end; now = Clock::now()) {
        double elapsed = std::chrono::duration<double>(now - start).count();
        auto due = static_cast<std::uint64_t>(elapsed * ratePerSecond);
        while (result.sent < due) prober.send(static_cast<std::size_t>(due - result.sent));
        prober.drain();
        prober.waitReadable(1);
    }
    finish(prober, result);
}

std::int32_t percentile(std::vector<std::int32_t>& values, double fraction) {
    if (values.empty()) return 0;
    auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

void report(const char* phase, double seconds, std::vector<ProberResult>& results,
            const ResponseReflector& r, std::uint64_t droppedBefore) {
    ProberResult total;
    for (auto& result : results) {
        total.sent += result.sent;
        total.received += result.received;
        total.holdUs.insert(total.holdUs.end(), result.holdUs.begin(), result.holdUs.end());
        total.roundTripUs.insert(total.roundTripUs.end(), result.roundTripUs.begin(),
                                 result.roundTripUs.end());
    }
    std::printf(
        "%-6s sent %10llu  reflected %10llu  = %9.0f probes/s  lost %llu  (queue drops %llu)\n",
        phase, static_cast<unsigned long long>(total.sent),
        static_cast<unsigned long long>(total.received),
        static_cast<double>(total.received) / seconds,
        static_cast<unsigned long long>(total.sent - total.received),
        static_cast<unsigned long long>(r.queue().dropped() - droppedBefore));
    std::printf(
        "       hold T3-T2 median %d us  p99 %d us  max %d us;  round trip median %d us  p99 %d "
        "us\n",
        percentile(total.holdUs, 0.5), percentile(total.holdUs, 0.99),
        percentile(total.holdUs, 1.0), percentile(total.roundTripUs, 0.5),
        percentile(total.roundTripUs, 0.99));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    int probers = argc > 2 ? std::atoi(argv[2]) : 4;
    double rate = argc > 3 ? std::atof(argv[3]) : 50000.0;
    std::uint64_t window = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 256;
    if (seconds <= 0 || probers < 1 || rate <= 0 || window < 1) {
        std::fprintf(stderr, "usage: %s [seconds] [probers] [rate] [window]\n", argv[0]);
        return 2;
    }

    ResponseReflector reflector(0);
    reflector.openSocketRunThreads();
    std::printf("reflector on UDP port %d; %d probers, %zu-byte probes, %.1f s per phase\n",
                reflector.port(), probers, kProbeBytes, seconds);

    auto runPhase = [&](const char* phase, auto body) {
        std::vector<ProberResult> results(static_cast<std::size_t>(probers));
        std::uint64_t dropped = reflector.queue().dropped();
        std::vector<std::thread> threads;
        for (auto& result : results)
            threads.emplace_back([&, resultPtr = &result] { body(*resultPtr); });
        for (auto& thread : threads) thread.join();
        report(phase, seconds, results, reflector, dropped);
    };

    std::printf("flood: each prober keeps up to %llu probes in flight\n",
                static_cast<unsigned long long>(window));
    runPhase("flood",
             [&](ProberResult& result) { flood(reflector.port(), seconds, window, result); });
    std::printf("paced: %.0f probes/s in all\n", rate);
    runPhase("paced", [&](ProberResult& result) {
        paced(reflector.port(), seconds, rate / probers, result);
    });
    return 0;
}
