#include "lib/socket.h"

#include <cstdio>
#include <string>

#include "lib/address.h"
#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "platform/socket_error.h"

namespace trellon {

namespace {
// How often a blocked accept looks at the shutdown flag.
constexpr int kAcceptSliceMs = 200;
}  // namespace

bool setSocketTimeouts(SocketHandle handle, int timeoutMs, bool* sendFailed, bool* receiveFailed) {
    bool sendOk = platform::setSendTimeout(handle, timeoutMs);
    bool receiveOk = platform::setReceiveTimeout(handle, timeoutMs);
    if (sendFailed != nullptr) *sendFailed = !sendOk;
    if (receiveFailed != nullptr) *receiveFailed = !receiveOk;
    return sendOk && receiveOk;
}

Socket::~Socket() {
    Close();
}

bool Socket::fail(const char* message, const char* file, int line) {
    warningReport(message, file, line);
    SocketHandle h = handle_.exchange(kInvalidSocket);
    if (h != kInvalidSocket) {
        // The report above already read the error; closing must not replace it.
        int error = platform::lastSocketError();
        platform::closeSocket(h);
        platform::setLastSocketError(error);
    }
    return false;
}

bool Socket::openHandle(const char* failureMessage) {
    SocketHandle h = platform::openSocket(udp_);
    if (h == kInvalidSocket) return fail(failureMessage, __FILE__, __LINE__);
    handle_.store(h);
    configure(h);
    return true;
}

bool Socket::Listen(int port) {
    port_.store(static_cast<std::uint16_t>(port));
    if (!openHandle("socket( domain, type, 0 ) failed")) return false;
    SocketHandle h = handle_.load();
    platform::setReuseAddress(h);
    sockaddr_in local{};
    buildAddress(nullptr, static_cast<std::uint16_t>(port), local);
    if (!platform::bindSocket(h, local)) return fail("bind failed", __FILE__, __LINE__);
    if (port == 0) {
        sockaddr_in bound{};
        if (!platform::localAddress(h, bound))
            return fail("getsockname failed", __FILE__, __LINE__);
        port_.store(platform::addressPort(bound));
    }
    if (udp_) return true;
    // The largest backlog the system allows: a test controller may open
    // hundreds of data connections at once, and with a short queue the
    // kernel drops their handshakes, which then wait seconds to retry.
    if (!platform::listenSocket(h)) return fail("listen failed", __FILE__, __LINE__);
    return true;
}

SocketHandle Socket::Accept(sockaddr_in* peer) {
    for (;;) {
        if (isShutdownRequested()) return kInvalidSocket;
        SocketHandle h = handle_.load();
        if (h == kInvalidSocket) return kInvalidSocket;
        int ready = platform::waitFor(h, platform::Readiness::kReadable, kAcceptSliceMs);
        if (ready < 0) return kInvalidSocket;
        if (ready == 0) continue;
        if ((ready & platform::Readiness::kReadable) == 0)
            return kInvalidSocket;  // shut down by stop()
        sockaddr_in address{};
        SocketHandle c = kInvalidSocket;
        switch (platform::acceptSocket(h, false, c, address)) {
            case platform::AcceptOutcome::accepted:
                if (peer != nullptr) *peer = address;
                return c;
            case platform::AcceptOutcome::none:
                continue;  // the client gave up first
            case platform::AcceptOutcome::exhausted:
            case platform::AcceptOutcome::failed:
                return kInvalidSocket;
        }
    }
}

bool Socket::connectTo(const sockaddr_in& remote, int localPort, bool bindLocal,
                       const char* connectMessage, const char* host) {
    SocketHandle h = handle_.load();
    if (bindLocal) {
        sockaddr_in local{};
        buildAddress(nullptr, static_cast<std::uint16_t>(localPort), local);
        platform::setReuseAddress(h);
        if (!platform::bindSocket(h, local)) return fail("bind failed", __FILE__, __LINE__);
    }
    if (!platform::connectSocket(h, remote)) {
        if (host != nullptr) {
            char message[600];
            std::snprintf(message, sizeof(message), connectMessage, host,
                          static_cast<int>(port_.load()));
            return fail(message, __FILE__, __LINE__);
        }
        return fail(connectMessage, __FILE__, __LINE__);
    }
    sockaddr_in bound{};
    if (!platform::localAddress(h, bound)) return fail("getsockname failed", __FILE__, __LINE__);
    localPort_ = platform::addressPort(bound);
    return true;
}

bool Socket::Connect(const char* host, int port, int localPort) {
    if (host == nullptr) return false;
    port_.store(static_cast<std::uint16_t>(port));
    if (!openHandle("socket(domain, type, 0) failed")) return false;
    sockaddr_in remote{};
    if (!buildAddress(host, static_cast<std::uint16_t>(port), remote)) {
        char message[600];
        std::snprintf(message, sizeof(message), "Failed to connect to host %s on port %d\n", host,
                      port);
        return fail(message, __FILE__, __LINE__);
    }
    return connectTo(remote, localPort, localPort > 1023,
                     "Failed to connect to host %s on port %d\n", host);
}

bool Socket::Connect(const std::uint32_t* address, int port, int localPort) {
    if (address == nullptr) {
        std::printf("Socket::Connect failed to get ipAddress\n");
        std::fflush(stdout);
        return false;
    }
    port_.store(static_cast<std::uint16_t>(port));
    if (!openHandle("socket(domain, type, 0) failed")) return false;
    sockaddr_in remote = platform::ipv4Address(*address, static_cast<std::uint16_t>(port));
    return connectTo(remote, localPort, localPort >= 1024 && localPort < 65535, "connect failed",
                     nullptr);
}

void Socket::Close() {
    SocketHandle h = handle_.exchange(kInvalidSocket);
    if (h == kInvalidSocket) return;
    if (!platform::closeSocket(h)) warningReport("socket close failed", __FILE__, __LINE__);
}

bool Socket::Probe(int port) {
    port_.store(static_cast<std::uint16_t>(port));
    int savedError = platform::lastSocketError();
    SocketHandle h = platform::openSocket(udp_);
    if (h == kInvalidSocket) {
        platform::setLastSocketError(savedError);
        return false;
    }
    // The socket's time-outs (a TimeoutSocket's) bound the connect too: a
    // port whose handshakes are dropped must not hold the install for minutes.
    configure(h);
    sockaddr_in remote{};
    bool connected = false;
    if (buildAddress("localhost", static_cast<std::uint16_t>(port), remote))
        connected = platform::connectSocket(h, remote);
    platform::closeSocket(h);
    // A probe is a question, not a failure of this socket: the error stays as it was.
    platform::setLastSocketError(savedError);
    return udp_ ? connected : !connected;
}

void Socket::shutdownBoth() {
    SocketHandle h = handle_.load();
    if (h != kInvalidSocket) platform::shutdownSocket(h, platform::ShutdownHow::both);
}

long Socket::sendBytes(const void* data, std::size_t length) {
    SocketHandle h = handle_.load();
    std::size_t done = 0;
    const char* bytes = static_cast<const char*>(data);
    while (done < length) {
        long n = platform::sendSome(h, bytes + done, length - done, false);
        if (n < 0) return done > 0 ? static_cast<long>(done) : -1;
        if (udp_) return n;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

long Socket::receiveBytes(void* data, std::size_t length) {
    long n = platform::receiveSome(handle_.load(), data, length, false);
    return n < 0 ? -1 : n;
}

int Socket::setReceiveBufferSize(SocketHandle handle, int size) {
    if (size < 1) return 0;
    return platform::setReceiveBufferSize(handle, size);
}

int Socket::setSendBufferSize(SocketHandle handle, int size) {
    if (size < 1) return 0;
    return platform::setSendBufferSize(handle, size);
}

namespace {
// Without a handle, the system's default for a new stream socket.
int readBufferSize(SocketHandle handle, bool receive) {
    bool temporary = handle == kInvalidSocket;
    if (temporary) handle = platform::openSocket(false);
    if (handle == kInvalidSocket) return -1;
    int value = receive ? platform::receiveBufferSize(handle) : platform::sendBufferSize(handle);
    if (temporary) platform::closeSocket(handle);
    return value;
}
}  // namespace

int Socket::getReceiveBufferSize(SocketHandle handle) {
    return readBufferSize(handle, true);
}

int Socket::getSendBufferSize(SocketHandle handle) {
    return readBufferSize(handle, false);
}

void TimeoutSocket::configure(SocketHandle handle) {
    bool sendFailed = false;
    bool receiveFailed = false;
    setSocketTimeouts(handle, timeout_, &sendFailed, &receiveFailed);
    if (sendFailed) std::printf("timeout fpr send set failed\n");
    if (receiveFailed) std::printf("timeout set for rcv failed\n");
}

}  // namespace trellon
