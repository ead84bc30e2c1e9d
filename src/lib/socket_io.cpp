#include "lib/socket_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/socket_error.h"

namespace trellon::socketio {

AcceptResult acceptConnection(SocketHandle listener, SocketHandle& connection, sockaddr_in& peer) {
    for (;;) {
        socklen_t length = sizeof(peer);
        SocketHandle h = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (h >= 0) {
            connection = h;
            return AcceptResult::accepted;
        }
        switch (errno) {
            case EINTR:
                continue;
            case EAGAIN:
#if EAGAIN != EWOULDBLOCK
            case EWOULDBLOCK:
#endif
            // A client that went away before we took it is no failure of ours;
            // Linux also passes pending network errors of the new socket here.
            case ECONNABORTED:
            case EPROTO:
            case ENETDOWN:
            case ENOPROTOOPT:
            case EHOSTDOWN:
            case ENONET:
            case EHOSTUNREACH:
            case EOPNOTSUPP:
            case ENETUNREACH:
            case EPERM:
                return AcceptResult::none;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                platform::recordSocketErrorFromErrno();
                return AcceptResult::exhausted;
            default:
                platform::recordSocketErrorFromErrno();
                return AcceptResult::failed;
        }
    }
}

long receiveSome(SocketHandle handle, void* data, std::size_t length) {
    for (;;) {
        ssize_t n = ::recv(handle, data, length, MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        platform::recordSocketErrorFromErrno();
        return kFailed;
    }
}

long sendSome(SocketHandle handle, const void* data, std::size_t length) {
    for (;;) {
        ssize_t n = ::send(handle, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        platform::recordSocketErrorFromErrno();
        return kFailed;
    }
}

bool hasPendingInput(SocketHandle handle) {
    int pending = 0;
    return ::ioctl(handle, FIONREAD, &pending) == 0 && pending > 0;
}

bool setNonBlocking(SocketHandle handle) {
    int flags = ::fcntl(handle, F_GETFL, 0);
    return flags >= 0 && ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0;
}

void shutdownSend(SocketHandle handle) {
    ::shutdown(handle, SHUT_WR);
}

void closeHandle(SocketHandle handle) {
    ::close(handle);
}

}  // namespace trellon::socketio
