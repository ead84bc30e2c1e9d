#include "lib/socket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "lib/address.h"
#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "platform/socket_error.h"

namespace trellon {

namespace {
// How often a blocked accept looks at the shutdown flag.
constexpr int kAcceptSliceMs = 200;
}  // namespace

bool setSocketTimeouts(SocketHandle handle, int timeoutMs, bool* sendFailed, bool* receiveFailed) {
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    bool sendOk = ::setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0;
    bool receiveOk = ::setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0;
    if (sendFailed != nullptr) *sendFailed = !sendOk;
    if (receiveFailed != nullptr) *receiveFailed = !receiveOk;
    return sendOk && receiveOk;
}

Socket::~Socket() { Close(); }

bool Socket::fail(const char* message, const char* file, int line) {
    warningReport(message, file, line);
    SocketHandle h = handle_.exchange(kInvalidSocket);
    if (h != kInvalidSocket) ::close(h);
    return false;
}

bool Socket::openHandle(const char* failureMessage) {
    SocketHandle h = ::socket(AF_INET, (udp_ ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (h < 0) {
        platform::recordSocketErrorFromErrno();
        return fail(failureMessage, __FILE__, __LINE__);
    }
    handle_.store(h);
    configure(h);
    return true;
}

bool Socket::Listen(int port) {
    port_.store(static_cast<std::uint16_t>(port));
    if (!openHandle("socket( domain, type, 0 ) failed")) return false;
    SocketHandle h = handle_.load();
    int one = 1;
    ::setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in local{};
    buildAddress(nullptr, static_cast<std::uint16_t>(port), local);
    if (::bind(h, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        platform::recordSocketErrorFromErrno();
        return fail("bind failed", __FILE__, __LINE__);
    }
    if (port == 0) {
        sockaddr_in bound{};
        socklen_t length = sizeof(bound);
        if (::getsockname(h, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            platform::recordSocketErrorFromErrno();
            return fail("getsockname failed", __FILE__, __LINE__);
        }
        port_.store(ntohs(bound.sin_port));
    }
    if (udp_) return true;
    // The largest backlog the system allows: a test controller may open
    // hundreds of data connections at once, and with a short queue the
    // kernel drops their handshakes, which then wait seconds to retry.
    if (::listen(h, SOMAXCONN) != 0) {
        platform::recordSocketErrorFromErrno();
        return fail("listen failed", __FILE__, __LINE__);
    }
    return true;
}

SocketHandle Socket::Accept(sockaddr_in* peer) {
    for (;;) {
        if (isShutdownRequested()) return kInvalidSocket;
        SocketHandle h = handle_.load();
        if (h == kInvalidSocket) return kInvalidSocket;
        pollfd pfd{h, POLLIN, 0};
        int ready = ::poll(&pfd, 1, kAcceptSliceMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            platform::recordSocketErrorFromErrno();
            return kInvalidSocket;
        }
        if (ready == 0) continue;
        if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (pfd.revents & POLLIN) == 0) {
            return kInvalidSocket;  // shut down by stop()
        }
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        SocketHandle c = ::accept4(h, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            platform::recordSocketErrorFromErrno();
            return kInvalidSocket;
        }
        if (peer != nullptr) *peer = address;
        return c;
    }
}

bool Socket::connectTo(const sockaddr_in& remote, int localPort, bool bindLocal, const char* connectMessage,
                       const char* host) {
    SocketHandle h = handle_.load();
    if (bindLocal) {
        sockaddr_in local{};
        buildAddress(nullptr, static_cast<std::uint16_t>(localPort), local);
        int one = 1;
        ::setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        if (::bind(h, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
            platform::recordSocketErrorFromErrno();
            return fail("bind failed", __FILE__, __LINE__);
        }
    }
    int rc;
    do {
        rc = ::connect(h, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        platform::recordSocketErrorFromErrno();
        if (host != nullptr) {
            char message[600];
            std::snprintf(message, sizeof(message), connectMessage, host, static_cast<int>(port_.load()));
            return fail(message, __FILE__, __LINE__);
        }
        return fail(connectMessage, __FILE__, __LINE__);
    }
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    if (::getsockname(h, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        platform::recordSocketErrorFromErrno();
        return fail("getsockname failed", __FILE__, __LINE__);
    }
    localPort_ = ntohs(bound.sin_port);
    return true;
}

bool Socket::Connect(const char* host, int port, int localPort) {
    if (host == nullptr) return false;
    port_.store(static_cast<std::uint16_t>(port));
    if (!openHandle("socket(domain, type, 0) failed")) return false;
    sockaddr_in remote{};
    if (!buildAddress(host, static_cast<std::uint16_t>(port), remote)) {
        char message[600];
        std::snprintf(message, sizeof(message), "Failed to connect to host %s on port %d\n", host, port);
        return fail(message, __FILE__, __LINE__);
    }
    return connectTo(remote, localPort, localPort > 1023, "Failed to connect to host %s on port %d\n", host);
}

bool Socket::Connect(const std::uint32_t* address, int port, int localPort) {
    if (address == nullptr) {
        std::printf("Socket::Connect failed to get ipAddress\n");
        std::fflush(stdout);
        return false;
    }
    port_.store(static_cast<std::uint16_t>(port));
    if (!openHandle("socket(domain, type, 0) failed")) return false;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    remote.sin_addr.s_addr = *address;
    return connectTo(remote, localPort, localPort >= 1024 && localPort < 65535, "connect failed", nullptr);
}

void Socket::Close() {
    SocketHandle h = handle_.exchange(kInvalidSocket);
    if (h == kInvalidSocket) return;
    if (::close(h) != 0) {
        platform::recordSocketErrorFromErrno();
        warningReport("socket close failed", __FILE__, __LINE__);
    }
}

bool Socket::Probe(int port) {
    port_.store(static_cast<std::uint16_t>(port));
    SocketHandle h = ::socket(AF_INET, (udp_ ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (h < 0) return false;
    // The socket's time-outs (a TimeoutSocket's) bound the connect too: a
    // port whose handshakes are dropped must not hold the install for minutes.
    configure(h);
    sockaddr_in remote{};
    bool connected = false;
    if (buildAddress("localhost", static_cast<std::uint16_t>(port), remote)) {
        connected = ::connect(h, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) == 0;
    }
    ::close(h);
    return udp_ ? connected : !connected;
}

void Socket::shutdownBoth() {
    SocketHandle h = handle_.load();
    if (h != kInvalidSocket) ::shutdown(h, SHUT_RDWR);
}

long Socket::sendBytes(const void* data, std::size_t length) {
    SocketHandle h = handle_.load();
    std::size_t done = 0;
    const char* bytes = static_cast<const char*>(data);
    while (done < length) {
        ssize_t n = ::send(h, bytes + done, length - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            platform::recordSocketErrorFromErrno();
            return done > 0 ? static_cast<long>(done) : -1;
        }
        if (udp_) return static_cast<long>(n);
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

long Socket::receiveBytes(void* data, std::size_t length) {
    SocketHandle h = handle_.load();
    for (;;) {
        ssize_t n = ::recv(h, data, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            platform::recordSocketErrorFromErrno();
            return -1;
        }
        return static_cast<long>(n);
    }
}

int Socket::setReceiveBufferSize(SocketHandle handle, int size) {
    if (size < 1) return 0;
    return ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

int Socket::setSendBufferSize(SocketHandle handle, int size) {
    if (size < 1) return 0;
    return ::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

namespace {
int readBufferOption(SocketHandle handle, int option) {
    bool temporary = handle < 0;
    if (temporary) handle = ::socket(AF_INET, SOCK_STREAM, 0);
    int value = 0;
    socklen_t length = sizeof(value);
    int rc = ::getsockopt(handle, SOL_SOCKET, option, &value, &length);
    if (temporary && handle >= 0) ::close(handle);
    return rc != 0 ? rc : value;
}
}  // namespace

int Socket::getReceiveBufferSize(SocketHandle handle) { return readBufferOption(handle, SO_RCVBUF); }

int Socket::getSendBufferSize(SocketHandle handle) { return readBufferOption(handle, SO_SNDBUF); }

void TimeoutSocket::configure(SocketHandle handle) {
    bool sendFailed = false;
    bool receiveFailed = false;
    setSocketTimeouts(handle, timeout_, &sendFailed, &receiveFailed);
    if (sendFailed) std::printf("timeout fpr send set failed\n");
    if (receiveFailed) std::printf("timeout set for rcv failed\n");
}

}  // namespace trellon
