// Helpers for the streaming tests on loopback: a UDP socket that plays the
// receiver or a stranger, and stream packets made by hand.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lib/timestamp.h"
#include "nettests/stream_packet.h"

namespace trellon::testing {

inline std::uint32_t loopback(std::uint8_t last = 1) {
    return htonl((127u << 24) | last);
}

class UdpPeer {
public:
    // Bound to 127.0.0.<last>, on a port of the system's choosing.
    explicit UdpPeer(std::uint8_t last = 1, int port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = loopback(last);
        local.sin_port = htons(static_cast<std::uint16_t>(port));
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0;
        socklen_t length = sizeof(local);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~UdpPeer() { close(); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool bound() const { return bound_; }
    int port() const { return port_; }
    int fd() const { return fd_; }

    bool sendTo(int port, const std::vector<std::uint8_t>& bytes, std::uint8_t last = 1) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = loopback(last);
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                        sizeof(to)) == static_cast<long>(bytes.size());
    }

    // Waits up to limit for one datagram; empty when none came.
    std::vector<std::uint8_t> receive(std::chrono::milliseconds limit,
                                      sockaddr_in* from = nullptr) const {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(limit.count())) <= 0) return {};
        std::vector<std::uint8_t> bytes(4096);
        sockaddr_in sender{};
        socklen_t length = sizeof(sender);
        long n = ::recvfrom(fd_, bytes.data(), bytes.size(), 0,
                            reinterpret_cast<sockaddr*>(&sender), &length);
        if (n < 0) return {};
        bytes.resize(static_cast<std::size_t>(n));
        if (from != nullptr) *from = sender;
        return bytes;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    bool bound_ = false;
};

// A stream packet of `size` bytes stamped now.
inline std::vector<std::uint8_t> streamPacket(std::uint32_t sequence, std::size_t size = 100,
                                              std::uint32_t senderDelay = 0) {
    std::vector<std::uint8_t> packet(std::max(size, StreamPacket::kHeaderBytes), 'A');
    Timestamp now = Timestamp::now();
    StreamPacket::writeHeader(packet.data(), sequence, static_cast<std::uint32_t>(now.seconds),
                              static_cast<std::uint32_t>(now.microseconds), senderDelay);
    packet.resize(size);
    return packet;
}

// Polls condition until it holds, bounded; false at the deadline.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace trellon::testing
