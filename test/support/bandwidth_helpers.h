// Helpers for the bandwidth tests in process: a connected loopback TCP pair,
// the agent's data sink on a port of the system's choosing, and bounded
// polling.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "lib/listener_thread.h"
#include "lib/thread.h"
#include "nettests/data_sink.h"
#include "support/test_support.h"

namespace trellon::testing {

// Polls until done() holds, at most `limit`; whether it held.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

inline Fd connectLoopback(int port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return Fd();
    return fd;
}

// Both ends of one loopback TCP connection.
struct TcpPair {
    Fd client;
    Fd server;
    bool ok() const { return client.get() >= 0 && server.get() >= 0; }
};

inline TcpPair loopbackPair() {
    TcpPair pair;
    Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return pair;
    pair.client = connectLoopback(ntohs(address.sin_port));
    pair.server = Fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return pair;
}

// Whether the peer has closed (or reset) a connection, within `limit`.
inline bool peerClosed(int fd, std::chrono::milliseconds limit) {
    timeval tv{};
    tv.tv_sec = static_cast<long>(limit.count() / 1000);
    tv.tv_usec = static_cast<long>(limit.count() % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char byte;
    for (;;) {
        ssize_t n = ::recv(fd, &byte, 1, 0);
        if (n == 0) return true;
        if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

// The agent's data sink (ListenerThread with the sink's handler) on a port
// of the system's choosing; stopped at destruction, which waits (bounded)
// until the listener and every reader thread are gone.
class DataSinkListener {
public:
    DataSinkListener() {
        ListenerThread::resetListeningPortForTests();
        installDataSinkHandler();
        listener_ = new ListenerThread(0);  // frees itself when its thread ends
        port_ = ListenerThread::listeningPort();
        listener_->start();
    }
    ~DataSinkListener() {
        captureStdout([&] { listener_->stop(); });
        // The readers end on their own (their peers close, or their deadlines).
        waitUntil(
            [&] { return !Thread::isRegistered(listener_) && DataSink::activeConnections() == 0; },
            std::chrono::seconds(10));
        ListenerThread::setConnectionHandler({});
    }
    DataSinkListener(const DataSinkListener&) = delete;
    DataSinkListener& operator=(const DataSinkListener&) = delete;

    int port() const { return port_; }

private:
    ListenerThread* listener_ = nullptr;
    int port_ = 0;
};

}  // namespace trellon::testing
