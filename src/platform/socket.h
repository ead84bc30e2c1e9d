// Sockets: the few operations the agent's socket layer (src/lib) and its test
// code need, on the native handle. Every failing call records the thread's
// last socket error (platform/socket_error.h, Windows code space); an
// interrupted call is repeated here, never reported.
#pragma once

#include <cstddef>

#include "platform/net_address.h"

namespace trellon::platform {

// An IPv4 stream (TCP) or datagram (UDP) socket, not inherited by child
// processes. kNoSocket on failure.
NativeSocket openSocket(bool udp);
// False (error recorded) when the system reports a failure; the handle is gone either way.
bool closeSocket(NativeSocket handle);

bool bindSocket(NativeSocket handle, const sockaddr_in& local);
// Listens with the largest backlog the system allows.
bool listenSocket(NativeSocket handle);
// A blocking connect (bounded by the socket's send time-out where set).
bool connectSocket(NativeSocket handle, const sockaddr_in& remote);
bool localAddress(NativeSocket handle, sockaddr_in& local);
bool peerAddress(NativeSocket handle, sockaddr_in& peer);
// The bound local port in host order, or -1.
int localPort(NativeSocket handle);

enum class AcceptOutcome {
    accepted,
    none,       // nothing waiting, or the client gave up before we took it
    exhausted,  // out of descriptors or kernel memory: try again later (error recorded)
    failed,     // the listening socket itself is broken (error recorded)
};
// Takes one waiting connection, not inherited by children; nonBlocking makes
// the new socket non-blocking too.
AcceptOutcome acceptSocket(NativeSocket listener, bool nonBlocking, NativeSocket& connection,
                           sockaddr_in& peer);

enum class ShutdownHow { receive, send, both };
// Also wakes another thread blocked on the socket.
void shutdownSocket(NativeSocket handle, ShutdownHow how);

// Transfer results below zero. kIoWouldBlock: nothing could move now (a
// non-blocking call: no error recorded) or the socket's time-out passed (a
// blocking call: recorded as a time-out). kIoFailed: the error is recorded.
constexpr long kIoWouldBlock = -1;
constexpr long kIoFailed = -2;

// One send; never raises SIGPIPE. Bytes sent (>= 0) or kIoWouldBlock / kIoFailed.
long sendSome(NativeSocket handle, const void* data, std::size_t length, bool dontWait);
// One receive. Bytes (> 0), 0 at end of stream, kIoWouldBlock or kIoFailed.
long receiveSome(NativeSocket handle, void* data, std::size_t length, bool dontWait);
// One datagram to a destination; bytes sent, kIoWouldBlock or kIoFailed.
long sendTo(NativeSocket handle, const void* data, std::size_t length, const sockaddr_in& remote);

// SO_REUSEADDR: a restarted agent binds while old connections sit in TIME_WAIT.
bool setReuseAddress(NativeSocket handle);
bool setSendTimeout(NativeSocket handle, int milliseconds);
bool setReceiveTimeout(NativeSocket handle, int milliseconds);
bool setNonBlocking(NativeSocket handle);
// The final close resets the connection instead of waiting to deliver what is unsent.
bool setResetOnClose(NativeSocket handle);

// Buffer sizes in bytes. The setters return 0 on success, -1 on failure; the
// getters the size or -1.
int setReceiveBufferSize(NativeSocket handle, int bytes);
int setSendBufferSize(NativeSocket handle, int bytes);
int receiveBufferSize(NativeSocket handle);
int sendBufferSize(NativeSocket handle);
// Past the system's limit where the process may (SO_*BUFFORCE, privileged),
// else as far as the limit allows; false when neither was taken.
bool forceReceiveBufferSize(NativeSocket handle, int bytes);
bool forceSendBufferSize(NativeSocket handle, int bytes);

// Bytes received and waiting unread, or -1.
int pendingInputBytes(NativeSocket handle);

}  // namespace trellon::platform
