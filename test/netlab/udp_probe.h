// Numbered UDP datagrams from one lab host to another, for the relay tests:
// the receiver (its own thread) notes each datagram's number and one-way
// delay, from the sender's wall-clock stamp to the kernel's receive stamp
// (both hosts share this machine's clock).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/netlab.h"

namespace trellon::netlab::probe {

inline std::int64_t wallNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct Arrival {
    std::uint32_t number;
    double delayMs;
};

// What the receiver saw of `sent` numbered datagrams.
struct Arrivals {
    std::size_t total = 0;       // datagrams received, copies included
    std::size_t distinct = 0;    // different numbers received
    std::size_t copies = 0;      // total - distinct
    std::size_t outOfOrder = 0;  // arrived after a higher number had
    double minDelayMs = 0;
    double maxDelayMs = 0;
};

inline Arrivals summarize(const std::vector<Arrival>& arrivals, std::uint32_t sent) {
    Arrivals result;
    std::vector<bool> seen(sent, false);
    std::int64_t highest = -1;
    result.minDelayMs = arrivals.empty() ? 0 : arrivals.front().delayMs;
    result.maxDelayMs = result.minDelayMs;
    for (const auto& arrival : arrivals) {
        ++result.total;
        if (arrival.number < sent && !seen[arrival.number]) {
            seen[arrival.number] = true;
            ++result.distinct;
        }
        if (static_cast<std::int64_t>(arrival.number) < highest) {
            ++result.outOfOrder;
        } else {
            highest = arrival.number;
        }
        result.minDelayMs = std::min(result.minDelayMs, arrival.delayMs);
        result.maxDelayMs = std::max(result.maxDelayMs, arrival.delayMs);
    }
    result.copies = result.total - result.distinct;
    return result;
}

class UdpProbe {
public:
    static constexpr int kPort = 9000;

    UdpProbe(const Host& from, const Host& to, const std::string& toAddress)
        : sender_(from.openSocket(AF_INET, SOCK_DGRAM)),
          receiver_(to.openSocket(AF_INET, SOCK_DGRAM)) {
        int big = 16 << 20;
        ::setsockopt(receiver_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        int on = 1;
        ::setsockopt(receiver_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(kPort);
        if (::bind(receiver_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            throw std::runtime_error("probe: bind failed");
        }
        target_.sin_family = AF_INET;
        target_.sin_port = htons(kPort);
        ::inet_pton(AF_INET, toAddress.c_str(), &target_.sin_addr);
        thread_ = std::thread([this] { receive(); });
    }

    ~UdpProbe() {
        stopping_.store(true);
        thread_.join();
    }

    // Sends datagrams first..first+count-1, one every `gap` (0: back to back).
    // With a relay given, waits every `window` datagrams until the relay has
    // read them, so no queue on the way overflows.
    void send(std::uint32_t first, std::uint32_t count, std::chrono::microseconds gap,
              const RelayLink* relay = nullptr, std::uint64_t relayBase = 0,
              std::uint32_t window = 200) {
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t number = first + i;
            std::int64_t stamp = wallNs();
            char payload[64] = {};
            std::memcpy(payload, &number, sizeof number);
            std::memcpy(payload + 8, &stamp, sizeof stamp);
            if (::sendto(sender_.get(), payload, sizeof payload, 0,
                         reinterpret_cast<sockaddr*>(&target_),
                         sizeof target_) != static_cast<ssize_t>(sizeof payload)) {
                throw std::runtime_error("probe: sendto failed");
            }
            if (gap.count() > 0) {
                // Pacing on an absolute schedule: this shapes the traffic, it
                // synchronises nothing.
                next.tv_nsec += static_cast<long>(gap.count() * 1000);
                while (next.tv_nsec >= 1'000'000'000) {
                    next.tv_nsec -= 1'000'000'000;
                    ++next.tv_sec;
                }
                ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            }
            if (relay != nullptr && (i + 1) % window == 0) {
                std::uint64_t want = relayBase + i + 1;
                if (!relay->waitFor([&](const RelayStats& s) { return s.aToB.received >= want; },
                                    std::chrono::seconds(5))) {
                    throw std::runtime_error("probe: the relay did not see the datagrams sent");
                }
            }
        }
    }

    // Waits until `expected` datagrams have arrived (or the timeout), then
    // returns everything received so far.
    std::vector<Arrival> collect(std::size_t expected, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait_for(lock, timeout, [&] { return arrivals_.size() >= expected; });
        return arrivals_;
    }

    // Everything received within `quiet` more (for counts that must not grow).
    std::vector<Arrival> settle(std::chrono::milliseconds quiet) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::size_t before = arrivals_.size();
        arrived_.wait_for(lock, quiet, [&] { return arrivals_.size() > before; });
        return arrivals_;
    }

private:
    void receive() {
        while (!stopping_.load()) {
            pollfd wait{receiver_.get(), POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0) continue;
            char payload[128];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            iovec part{payload, sizeof payload};
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t size = ::recvmsg(receiver_.get(), &message, MSG_DONTWAIT);
            if (size < 16) continue;
            std::int64_t received = wallNs();
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp{};
                    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                    received =
                        static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
                }
            }
            std::uint32_t number = 0;
            std::int64_t sent = 0;
            std::memcpy(&number, payload, sizeof number);
            std::memcpy(&sent, payload + 8, sizeof sent);
            {
                std::lock_guard<std::mutex> guard(mutex_);
                arrivals_.push_back(Arrival{number, static_cast<double>(received - sent) / 1e6});
            }
            arrived_.notify_all();
        }
    }

    UniqueFd sender_;
    UniqueFd receiver_;
    sockaddr_in target_{};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;  // guards arrivals_
    std::condition_variable arrived_;
    std::vector<Arrival> arrivals_;
    std::thread thread_;
};

}  // namespace trellon::netlab::probe
