// Non-blocking socket calls for the control port's event loop: accept,
// receive and send what can be done now, and never wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/socket.h"

namespace trellon::socketio {

enum class AcceptResult {
    accepted,
    none,       // nothing waiting (or the client gave up before we took it)
    exhausted,  // out of descriptors or kernel memory: try again later
    failed,     // the listening socket itself is broken
};

// Takes one waiting connection as a non-blocking socket, with the client's address.
AcceptResult acceptConnection(SocketHandle listener, SocketHandle& connection, sockaddr_in& peer);

constexpr long kWouldBlock = -1;
constexpr long kFailed = -2;

// Bytes received (> 0), 0 when the peer ended its stream, kWouldBlock or kFailed.
long receiveSome(SocketHandle handle, void* data, std::size_t length);
// Bytes sent (>= 0), kWouldBlock or kFailed. Never raises SIGPIPE.
long sendSome(SocketHandle handle, const void* data, std::size_t length);

// Whether received bytes wait unread in the kernel.
bool hasPendingInput(SocketHandle handle);

bool setNonBlocking(SocketHandle handle);
void shutdownSend(SocketHandle handle);
// Closes a handle that no Socket object owns (a connection refused at once).
void closeHandle(SocketHandle handle);

}  // namespace trellon::socketio
