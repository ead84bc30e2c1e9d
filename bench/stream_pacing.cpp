// Prints how well the stream sender keeps its pace on loopback, for the voice
// and video presets: the rate achieved against the one asked for, the error
// of the time between departures (p50, p99, worst), and the sender's CPU use.
// Departures are taken as the kernel's receive stamps of a loopback socket.
// For comparison the same figures for the wait the sender would otherwise
// use: a precise wait of whole milliseconds after each send.
//
//   bench_stream_pacing [seconds per run, default 10]
//
// Targets: rate within 0.5 %, p99 error below 200 us.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "lib/timestamp.h"
#include "nettests/stream_packet.h"
#include "nettests/stream_server.h"
#include "results/test_result.h"

namespace {

using namespace trellon;

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Receiver {
    int fd = -1;
    int port = 0;
    Receiver() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
        int buffer = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        socklen_t length = sizeof(local);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
    }
    ~Receiver() { ::close(fd); }

    // Kernel stamps (ns) of what arrives until nothing has for idleMs.
    std::vector<double> collect(int idleMs) const {
        std::vector<double> stamps;
        for (;;) {
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, idleMs) <= 0) return stamps;
            char data[2048];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            iovec iov{data, sizeof(data)};
            msghdr message{};
            message.msg_iov = &iov;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            if (::recvmsg(fd, &message, 0) < 0) continue;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof(ts));
                    stamps.push_back(ts.tv_sec * 1e9 + ts.tv_nsec);
                }
            }
        }
    }
};

struct Figures {
    double rate = 0;                     // bytes per second
    double p50 = 0, p99 = 0, worst = 0;  // microseconds
    double cpuPercent = 0;
    std::size_t packets = 0;
};

Figures analyse(const std::vector<double>& stamps, int packetSize, double periodNs,
                double senderCpu, double wallSeconds) {
    Figures f;
    f.packets = stamps.size();
    if (stamps.size() < 3) return f;
    f.rate = (stamps.size() - 1) * static_cast<double>(packetSize) /
             ((stamps.back() - stamps.front()) / 1e9);
    std::vector<double> errors;
    for (std::size_t i = 1; i < stamps.size(); ++i)
        errors.push_back(std::fabs(stamps[i] - stamps[i - 1] - periodNs) / 1000.0);
    std::sort(errors.begin(), errors.end());
    f.p50 = errors[errors.size() / 2];
    f.p99 = errors[std::min(errors.size() - 1, errors.size() * 99 / 100)];
    f.worst = errors.back();
    f.cpuPercent = 100.0 * senderCpu / wallSeconds;
    return f;
}

// The StreamServer itself, as an agent runs it.
Figures runServer(int packetSize, int flowRate, int seconds) {
    Receiver receiver;
    auto record = std::make_shared<TestResult>(1, LocalEndpoint{"bench", "127.0.0.1", 4044});
    StreamServer::Settings settings;
    settings.clientAddress = htonl(INADDR_LOOPBACK);
    settings.destinationPort = receiver.port;
    settings.packetSize = packetSize;
    settings.flowRate = flowRate;
    settings.timeLimit = seconds;
    StreamServer server(settings, record, false);
    if (!server.open(nullptr)) {
        std::printf("cannot open the stream socket\n");
        std::exit(1);
    }
    double cpuBefore = cpuSeconds(RUSAGE_SELF);
    double receiverBefore = cpuSeconds(RUSAGE_THREAD);
    auto start = std::chrono::steady_clock::now();
    server.start();
    std::vector<double> stamps = receiver.collect(1500);
    server.join();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double senderCpu =
        (cpuSeconds(RUSAGE_SELF) - cpuBefore) - (cpuSeconds(RUSAGE_THREAD) - receiverBefore);
    return analyse(stamps, packetSize,
                   static_cast<double>(StreamServer::periodNanoseconds(packetSize, flowRate)),
                   senderCpu, std::max(wall - 1.5, 0.001));
}

// The other pacing: after each send, wait (period - carry - send time) in
// whole milliseconds with the precise wait; a late send carries its debt
// into the next wait.
Figures runMillisecondWait(int packetSize, int flowRate, int seconds) {
    Receiver receiver;
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(receiver.port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    std::vector<std::uint8_t> packet(StreamPacket::kBufferBytes, 'A');
    const long long periodUs = static_cast<long long>(packetSize) * 1000000 / flowRate;
    std::atomic<bool> done{false};
    double senderCpu = 0;
    auto start = std::chrono::steady_clock::now();
    std::thread sender([&] {
        double before = cpuSeconds(RUSAGE_THREAD);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        long long carry = 0;
        std::uint32_t sequence = 0;
        while (std::chrono::steady_clock::now() < end) {
            Timestamp now = Timestamp::now();
            StreamPacket::writeHeader(packet.data(), sequence++,
                                      static_cast<std::uint32_t>(now.seconds),
                                      static_cast<std::uint32_t>(now.microseconds), 0);
            auto a = std::chrono::steady_clock::now();
            ::send(fd, packet.data(), static_cast<std::size_t>(packetSize), 0);
            auto b = std::chrono::steady_clock::now();
            long long d = std::chrono::duration_cast<std::chrono::microseconds>(b - a).count();
            long long remaining = periodUs - carry - d;
            if (remaining > 0) {
                preciseWait(static_cast<int>(remaining / 1000));
                carry = 0;
            } else {
                carry = remaining;
            }
        }
        senderCpu = cpuSeconds(RUSAGE_THREAD) - before;
        done.store(true);
    });
    std::vector<double> stamps = receiver.collect(1500);
    sender.join();
    ::close(fd);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return analyse(stamps, packetSize, periodUs * 1000.0, senderCpu, std::max(wall - 1.5, 0.001));
}

void print(const char* name, const char* pacing, int packetSize, int flowRate, const Figures& f) {
    double off = f.rate > 0 ? 100.0 * (f.rate - flowRate) / flowRate : 0;
    std::printf(
        "%-6s %-22s %5zu packets  rate %10.1f B/s of %7d (%+6.2f %%)  "
        "inter-departure error p50 %7.1f us  p99 %8.1f us  max %8.1f us  sender CPU %5.1f %%\n",
        name, pacing, f.packets, f.rate, flowRate, off, f.p50, f.p99, f.worst, f.cpuPercent);
    (void)packetSize;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    struct Preset {
        const char* name;
        int packetSize;
        int flowRate;
    } presets[] = {{"voice", 172, 8600}, {"video", 1000, 250000}};
    std::printf(
        "stream pacing on loopback, %d s per run (targets: rate within 0.5 %%, p99 below 200 us)\n",
        seconds);
    for (const Preset& p : presets) {
        print(p.name, "StreamServer", p.packetSize, p.flowRate,
              runServer(p.packetSize, p.flowRate, seconds));
        print(p.name, "whole-millisecond wait", p.packetSize, p.flowRate,
              runMillisecondWait(p.packetSize, p.flowRate, seconds));
    }
    return 0;
}
