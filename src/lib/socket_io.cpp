#include "lib/socket_io.h"

#include "platform/socket.h"

namespace trellon::socketio {

AcceptResult acceptConnection(SocketHandle listener, SocketHandle& connection, sockaddr_in& peer) {
    switch (platform::acceptSocket(listener, true, connection, peer)) {
        case platform::AcceptOutcome::accepted:
            return AcceptResult::accepted;
        case platform::AcceptOutcome::none:
            return AcceptResult::none;
        case platform::AcceptOutcome::exhausted:
            return AcceptResult::exhausted;
        case platform::AcceptOutcome::failed:
            break;
    }
    return AcceptResult::failed;
}

long receiveSome(SocketHandle handle, void* data, std::size_t length) {
    long n = platform::receiveSome(handle, data, length, true);
    return n == platform::kIoWouldBlock ? kWouldBlock : n == platform::kIoFailed ? kFailed : n;
}

long sendSome(SocketHandle handle, const void* data, std::size_t length) {
    long n = platform::sendSome(handle, data, length, true);
    return n == platform::kIoWouldBlock ? kWouldBlock : n == platform::kIoFailed ? kFailed : n;
}

bool hasPendingInput(SocketHandle handle) {
    return platform::pendingInputBytes(handle) > 0;
}

bool setNonBlocking(SocketHandle handle) {
    return platform::setNonBlocking(handle);
}

void shutdownSend(SocketHandle handle) {
    platform::shutdownSocket(handle, platform::ShutdownHow::send);
}

void closeHandle(SocketHandle handle) {
    platform::closeSocket(handle);
}

}  // namespace trellon::socketio
