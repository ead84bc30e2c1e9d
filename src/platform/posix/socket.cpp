#include "platform/socket.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/socket_error.h"

namespace trellon::platform {

namespace {

bool failed() {
    recordSocketErrorFromErrno();
    return false;
}

bool wouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

// The result of a failed transfer: a time-out or "nothing now" apart from a
// failure. "Nothing now" on a non-blocking call is no error to record.
long transferFailure(bool dontWait) {
    int err = errno;
    if (wouldBlock(err)) {
        if (!dontWait) recordSocketErrorFromErrno();
        return kIoWouldBlock;
    }
    recordSocketErrorFromErrno();
    return kIoFailed;
}

bool setTimeout(NativeSocket handle, int option, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return ::setsockopt(handle, SOL_SOCKET, option, &tv, sizeof(tv)) == 0 || failed();
}

int setIntOption(NativeSocket handle, int option, int value) {
    return ::setsockopt(handle, SOL_SOCKET, option, &value, sizeof(value)) == 0 ? 0 : -1;
}

int intOption(NativeSocket handle, int option) {
    int value = 0;
    socklen_t length = sizeof(value);
    return ::getsockopt(handle, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

}  // namespace

NativeSocket openSocket(bool udp) {
    NativeSocket h = ::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (h < 0) {
        recordSocketErrorFromErrno();
        return kNoSocket;
    }
    return h;
}

bool closeSocket(NativeSocket handle) {
    // Linux frees the descriptor even when close reports EINTR: never retry.
    return ::close(handle) == 0 || failed();
}

bool bindSocket(NativeSocket handle, const sockaddr_in& local) {
    return ::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0 ||
           failed();
}

bool listenSocket(NativeSocket handle) {
    return ::listen(handle, SOMAXCONN) == 0 || failed();
}

bool connectSocket(NativeSocket handle, const sockaddr_in& remote) {
    int rc;
    do {
        rc = ::connect(handle, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || failed();
}

bool localAddress(NativeSocket handle, sockaddr_in& local) {
    socklen_t length = sizeof(local);
    return ::getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length) == 0 || failed();
}

bool peerAddress(NativeSocket handle, sockaddr_in& peer) {
    socklen_t length = sizeof(peer);
    return ::getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &length) == 0 || failed();
}

int localPort(NativeSocket handle) {
    sockaddr_in local{};
    return localAddress(handle, local) ? ntohs(local.sin_port) : -1;
}

AcceptOutcome acceptSocket(NativeSocket listener, bool nonBlocking, NativeSocket& connection,
                           sockaddr_in& peer) {
    for (;;) {
        socklen_t length = sizeof(peer);
        NativeSocket h = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                                   SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
        if (h >= 0) {
            connection = h;
            return AcceptOutcome::accepted;
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
                return AcceptOutcome::none;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                recordSocketErrorFromErrno();
                return AcceptOutcome::exhausted;
            default:
                recordSocketErrorFromErrno();
                return AcceptOutcome::failed;
        }
    }
}

void shutdownSocket(NativeSocket handle, ShutdownHow how) {
    int native = how == ShutdownHow::receive ? SHUT_RD
                 : how == ShutdownHow::send  ? SHUT_WR
                                             : SHUT_RDWR;
    if (::shutdown(handle, native) != 0) recordSocketErrorFromErrno();
}

long sendSome(NativeSocket handle, const void* data, std::size_t length, bool dontWait) {
    const int flags = MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0);
    for (;;) {
        ssize_t n = ::send(handle, data, length, flags);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return transferFailure(dontWait);
    }
}

long receiveSome(NativeSocket handle, void* data, std::size_t length, bool dontWait) {
    const int flags = dontWait ? MSG_DONTWAIT : 0;
    for (;;) {
        ssize_t n = ::recv(handle, data, length, flags);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return transferFailure(dontWait);
    }
}

long sendTo(NativeSocket handle, const void* data, std::size_t length, const sockaddr_in& remote) {
    for (;;) {
        ssize_t n = ::sendto(handle, data, length, MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return transferFailure(false);
    }
}

bool setReuseAddress(NativeSocket handle) {
    return setIntOption(handle, SO_REUSEADDR, 1) == 0 || failed();
}

bool setSendTimeout(NativeSocket handle, int milliseconds) {
    return setTimeout(handle, SO_SNDTIMEO, milliseconds);
}

bool setReceiveTimeout(NativeSocket handle, int milliseconds) {
    return setTimeout(handle, SO_RCVTIMEO, milliseconds);
}

bool setNonBlocking(NativeSocket handle) {
    int flags = ::fcntl(handle, F_GETFL, 0);
    return (flags >= 0 && ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0) || failed();
}

bool setResetOnClose(NativeSocket handle) {
    linger off{};
    off.l_onoff = 1;
    off.l_linger = 0;
    return ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &off, sizeof(off)) == 0 || failed();
}

int setReceiveBufferSize(NativeSocket handle, int bytes) {
    return setIntOption(handle, SO_RCVBUF, bytes);
}

int setSendBufferSize(NativeSocket handle, int bytes) {
    return setIntOption(handle, SO_SNDBUF, bytes);
}

int receiveBufferSize(NativeSocket handle) {
    return intOption(handle, SO_RCVBUF);
}

int sendBufferSize(NativeSocket handle) {
    return intOption(handle, SO_SNDBUF);
}

bool forceReceiveBufferSize(NativeSocket handle, int bytes) {
    return setIntOption(handle, SO_RCVBUFFORCE, bytes) == 0 ||
           setIntOption(handle, SO_RCVBUF, bytes) == 0;
}

bool forceSendBufferSize(NativeSocket handle, int bytes) {
    return setIntOption(handle, SO_SNDBUFFORCE, bytes) == 0 ||
           setIntOption(handle, SO_SNDBUF, bytes) == 0;
}

int pendingInputBytes(NativeSocket handle) {
    int pending = 0;
    return ::ioctl(handle, FIONREAD, &pending) == 0 ? pending : -1;
}

}  // namespace trellon::platform
