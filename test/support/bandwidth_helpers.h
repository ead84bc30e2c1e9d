// Helpers for the bandwidth tests in process: a connected loopback TCP pair,
// the agent's data sink on a port of the system's choosing, and bounded
// polling.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "lib/listener_thread.h"
#include "lib/thread.h"
#include "nettests/data_sink.h"
#include "platform/net_address.h"
#include "platform/socket.h"
#include "support/http_client.h"
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

// A socket that closes itself (a descriptor on Linux, a SOCKET on Windows).
class Fd {
public:
    using Handle = platform::NativeSocket;
    explicit Fd(Handle fd = platform::kNoSocket) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = platform::kNoSocket; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = platform::kNoSocket;
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Handle get() const { return fd_; }
    bool valid() const { return fd_ != platform::kNoSocket; }
    Handle release() {
        Handle fd = fd_;
        fd_ = platform::kNoSocket;
        return fd;
    }
    void reset() {
        if (valid()) platform::closeSocket(fd_);
        fd_ = platform::kNoSocket;
    }

private:
    Handle fd_;
};

inline sockaddr_in loopbackAddress(int port) {
    return platform::ipv4Address(htonl(INADDR_LOOPBACK), static_cast<std::uint16_t>(port));
}

inline Fd connectLoopback(int port) {
    Fd fd(platform::openSocket(false));
    if (!fd.valid() || !platform::connectSocket(fd.get(), loopbackAddress(port))) return Fd();
    return fd;
}

// Both ends of one loopback TCP connection.
struct TcpPair {
    Fd client;
    Fd server;
    bool ok() const { return client.valid() && server.valid(); }
};

inline TcpPair loopbackPair() {
    TcpPair pair;
    Fd listener(platform::openSocket(false));
    if (!listener.valid() || !platform::bindSocket(listener.get(), loopbackAddress(0)) ||
        !platform::listenSocket(listener.get()))
        return pair;
    pair.client = connectLoopback(platform::localPort(listener.get()));
    platform::NativeSocket accepted = platform::kNoSocket;
    sockaddr_in peer{};
    if (platform::acceptSocket(listener.get(), false, accepted, peer) ==
        platform::AcceptOutcome::accepted)
        pair.server = Fd(accepted);
    return pair;
}

inline bool sendAll(const Fd& fd, const std::string& text) {
    return sendAll(fd.get(), text);
}

// Whether the peer has closed (or reset) a connection, within `limit`.
inline bool peerClosed(Fd::Handle fd, std::chrono::milliseconds limit) {
    platform::setReceiveTimeout(fd, static_cast<int>(limit.count()));
    char byte;
    for (;;) {
        long n = platform::receiveSome(fd, &byte, 1, false);
        if (n == 0) return true;
        if (n < 0) return n == platform::kIoFailed;
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
