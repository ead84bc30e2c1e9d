// Socket: a thin IPv4 socket object shared by the agent's network code.
//
// Each failing call is a warning report with the operation's message, after
// which the handle is closed and the operation returns false. Objects are used
// by one thread at a time, except that another thread may call shutdownBoth()
// (through a thread's stop) to end a blocked accept or transfer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/net_address.h"

namespace trellon {

using SocketHandle = platform::NativeSocket;
constexpr SocketHandle kInvalidSocket = platform::kNoSocket;

class Socket {
public:
    explicit Socket(bool udp = false) : udp_(udp) {}
    virtual ~Socket();

    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Called on every new handle before it is used.
    virtual void configure(SocketHandle) {}

    // Binds to any local address (and listens, for TCP). Port 0 lets the
    // system choose; the chosen port is stored.
    bool Listen(int port);

    // A new connection, or kInvalidSocket on failure or once shutdown is
    // requested. Waits in short slices so the shutdown flag is seen promptly.
    SocketHandle Accept(sockaddr_in* peer = nullptr);

    // Connects to a host (dotted quad or name). A local port above 1023 is bound first.
    bool Connect(const char* host, int port, int localPort);
    // The same with a 4-byte address in network order; local ports 1024..65534 are bound.
    bool Connect(const std::uint32_t* address, int port, int localPort);

    void Close();

    // True when the port looks free: for TCP when nothing accepts a
    // connection on localhost, for UDP when a connect succeeds.
    bool Probe(int port);

    // Ends blocked calls on the socket from another thread (both directions).
    void shutdownBoth();

    // Sends all bytes (no SIGPIPE); the count sent, or -1 with the socket error recorded.
    long sendBytes(const void* data, std::size_t length);
    // One receive; the count, 0 at end of stream, -1 with the socket error recorded.
    long receiveBytes(void* data, std::size_t length);

    static int setReceiveBufferSize(SocketHandle handle, int size);
    static int setSendBufferSize(SocketHandle handle, int size);
    static int getReceiveBufferSize(SocketHandle handle);
    static int getSendBufferSize(SocketHandle handle);

    SocketHandle handle() const { return handle_.load(); }
    std::uint16_t port() const { return port_.load(); }
    bool udp() const { return udp_; }
    int localPort() const { return localPort_; }

    // Takes over an open handle (an accepted connection).
    void adopt(SocketHandle handle) { handle_.store(handle); }
    // Gives the handle up without closing it.
    SocketHandle release() { return handle_.exchange(kInvalidSocket); }

protected:
    bool fail(const char* message, const char* file, int line);
    bool openHandle(const char* failureMessage);
    bool connectTo(const sockaddr_in& remote, int localPort, bool bindLocal,
                   const char* connectMessage, const char* host);

    std::atomic<SocketHandle> handle_{kInvalidSocket};
    std::atomic<std::uint16_t> port_{0};
    bool udp_;
    int localPort_ = -1;
};

// A socket whose send and receive time-out is set on every new handle.
class TimeoutSocket : public Socket {
public:
    TimeoutSocket(int timeoutMs, bool udp = false) : Socket(udp), timeout_(timeoutMs) {}

    void configure(SocketHandle handle) override;

    int timeout() const { return timeout_; }
    int dscp() const { return dscp_; }
    void setDscp(int dscp) { dscp_ = dscp; }

private:
    int timeout_;
    int dscp_ = -1;
};

// Sets both time-outs on a handle, in milliseconds; false when either fails.
bool setSocketTimeouts(SocketHandle handle, int timeoutMs, bool* sendFailed = nullptr,
                       bool* receiveFailed = nullptr);

}  // namespace trellon
