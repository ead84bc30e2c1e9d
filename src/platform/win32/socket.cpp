// Sockets on Winsock 2.2. Error codes are Winsock's own; the few places where
// Winsock behaves unlike the BSD sockets the callers were written against
// are evened out here (see the comments).
#include "platform/socket.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <mstcpip.h>
// clang-format on

#include <cstdio>
#include <mutex>

#include "platform/socket_error.h"
#include "platform/win32/winsock_start.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif
#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

namespace trellon::platform {

namespace win32 {

bool ensureWinsock() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data{};
        const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
        started = rc == 0;
        if (!started) {
            std::printf("WSAStartup failed\n");
            std::fflush(stdout);
            ::WSASetLastError(rc);
        }
    });
    return started;
}

}  // namespace win32

namespace {

SOCKET native(NativeSocket handle) {
    return static_cast<SOCKET>(handle);
}

int recordError() {
    return recordSocketErrorFromErrno();
}

// A time-out or a non-blocking call with nothing to move: the callers see a
// time-out either way.
long wouldBlockOrFailed() {
    const int code = ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAETIMEDOUT) {
        setLastSocketError(kErrorTimedOut);
        return kIoWouldBlock;
    }
    // A blocking call cut short by shutdownSocket's cancel.
    if (code == ERROR_OPERATION_ABORTED) {
        setLastSocketError(kErrorInterrupted);
        return kIoFailed;
    }
    recordError();
    return kIoFailed;
}

// Whether the socket is ready now, for the "don't wait" calls: Winsock has
// no per-call MSG_DONTWAIT.
bool readyNow(NativeSocket handle, short events) {
    WSAPOLLFD fd{};
    fd.fd = native(handle);
    fd.events = events;
    // A closed or unknown handle counts as ready, so that the call that
    // follows reports its error rather than "nothing yet".
    const int ready = ::WSAPoll(&fd, 1, 0);
    return ready < 0 || (ready > 0 && fd.revents != 0);
}

int sendTimeoutMs(NativeSocket handle) {
    DWORD value = 0;
    int size = sizeof(value);
    if (::getsockopt(native(handle), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&value),
                     &size) != 0)
        return 0;
    return static_cast<int>(value);
}

bool setBlocking(NativeSocket handle, bool blocking) {
    u_long mode = blocking ? 0 : 1;
    return ::ioctlsocket(native(handle), FIONBIO, &mode) == 0;
}

bool setIntOption(NativeSocket handle, int level, int name, int value) {
    if (::setsockopt(native(handle), level, name, reinterpret_cast<const char*>(&value),
                     sizeof(value)) == 0)
        return true;
    recordError();
    return false;
}

int intOption(NativeSocket handle, int level, int name) {
    int value = 0;
    int size = sizeof(value);
    if (::getsockopt(native(handle), level, name, reinterpret_cast<char*>(&value), &size) != 0) {
        recordError();
        return -1;
    }
    return value;
}

}  // namespace

NativeSocket openSocket(bool udp) {
    if (!win32::ensureWinsock()) {
        recordError();
        return kNoSocket;
    }
    SOCKET s =
        ::WSASocketW(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, udp ? IPPROTO_UDP : IPPROTO_TCP,
                     nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        recordError();
        return kNoSocket;
    }
    if (udp) {
        // An ICMP "port unreachable" for an earlier datagram would otherwise
        // fail the next receive with WSAECONNRESET: the reflector and the
        // probers would stop at the first vanished peer. BSD sockets report
        // nothing on an unconnected datagram socket.
        BOOL off = FALSE;
        DWORD unused = 0;
        ::WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof(off), nullptr, 0, &unused, nullptr, nullptr);
        ::WSAIoctl(s, SIO_UDP_NETRESET, &off, sizeof(off), nullptr, 0, &unused, nullptr, nullptr);
    }
    return static_cast<NativeSocket>(s);
}

bool closeSocket(NativeSocket handle) {
    if (handle == kNoSocket) return false;
    if (::closesocket(native(handle)) == 0) return true;
    recordError();
    return false;
}

bool bindSocket(NativeSocket handle, const sockaddr_in& local) {
    if (::bind(native(handle), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0)
        return true;
    recordError();
    return false;
}

bool listenSocket(NativeSocket handle) {
    if (::listen(native(handle), SOMAXCONN) == 0) return true;
    recordError();
    return false;
}

bool connectSocket(NativeSocket handle, const sockaddr_in& remote) {
    const int timeout = sendTimeoutMs(handle);
    if (timeout <= 0) {
        if (::connect(native(handle), reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) ==
            0)
            return true;
        recordError();
        return false;
    }
    // A blocking connect on Windows ignores SO_SNDTIMEO (it gives up after
    // about 21 s); BSD sockets bound it by the send time-out, which the
    // callers rely on. So: connect without blocking and wait that long.
    if (!setBlocking(handle, false)) {
        recordError();
        return false;
    }
    bool connected = false;
    if (::connect(native(handle), reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) ==
        0) {
        connected = true;
    } else if (::WSAGetLastError() != WSAEWOULDBLOCK) {
        recordError();
    } else {
        WSAPOLLFD fd{};
        fd.fd = native(handle);
        fd.events = POLLWRNORM;
        const int ready = ::WSAPoll(&fd, 1, timeout);
        if (ready == 0) {
            setLastSocketError(kErrorTimedOut);
        } else if (ready < 0) {
            recordError();
        } else {
            int error = 0;
            int size = sizeof(error);
            ::getsockopt(native(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                         &size);
            // WSAPoll may report a refused connection as POLLHUP/POLLERR
            // with SO_ERROR still 0 on some systems.
            if (error == 0 && (fd.revents & (POLLERR | POLLHUP)) != 0) error = WSAECONNREFUSED;
            if (error == 0)
                connected = true;
            else
                setLastSocketError(error);
        }
    }
    setBlocking(handle, true);
    return connected;
}

bool localAddress(NativeSocket handle, sockaddr_in& local) {
    int size = sizeof(local);
    if (::getsockname(native(handle), reinterpret_cast<sockaddr*>(&local), &size) == 0) return true;
    recordError();
    return false;
}

bool peerAddress(NativeSocket handle, sockaddr_in& peer) {
    int size = sizeof(peer);
    if (::getpeername(native(handle), reinterpret_cast<sockaddr*>(&peer), &size) == 0) return true;
    recordError();
    return false;
}

int localPort(NativeSocket handle) {
    sockaddr_in local{};
    if (!localAddress(handle, local)) return -1;
    return ntohs(local.sin_port);
}

AcceptOutcome acceptSocket(NativeSocket listener, bool nonBlocking, NativeSocket& connection,
                           sockaddr_in& peer) {
    int size = sizeof(peer);
    SOCKET s = ::accept(native(listener), reinterpret_cast<sockaddr*>(&peer), &size);
    if (s == INVALID_SOCKET) {
        const int code = ::WSAGetLastError();
        recordError();
        switch (code) {
            case WSAEWOULDBLOCK:
            case WSAECONNRESET:
            case WSAECONNABORTED:
            case WSAENETDOWN:
            case WSAEINTR:
                return AcceptOutcome::none;
            case WSAEMFILE:
            case WSAENOBUFS:
                return AcceptOutcome::exhausted;
            default:
                return AcceptOutcome::failed;
        }
    }
    // The accepted socket takes the listener's mode; set the one asked for.
    // Children must not inherit it either.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (!setBlocking(static_cast<NativeSocket>(s), !nonBlocking)) {
        recordError();
        ::closesocket(s);
        return AcceptOutcome::exhausted;
    }
    connection = static_cast<NativeSocket>(s);
    return AcceptOutcome::accepted;
}

void shutdownSocket(NativeSocket handle, ShutdownHow how) {
    const int mode = how == ShutdownHow::receive ? SD_RECEIVE
                     : how == ShutdownHow::send  ? SD_SEND
                                                 : SD_BOTH;
    ::shutdown(native(handle), mode);
    // Winsock's shutdown does not wake a thread blocked in a receive (a
    // datagram socket's least of all); cancelling the socket's pending I/O
    // does, as shutdown does on BSD sockets.
    if (how != ShutdownHow::send) ::CancelIoEx(reinterpret_cast<HANDLE>(native(handle)), nullptr);
}

long sendSome(NativeSocket handle, const void* data, std::size_t length, bool dontWait) {
    if (dontWait && !readyNow(handle, POLLWRNORM)) {
        setLastSocketError(kErrorTimedOut);
        return kIoWouldBlock;
    }
    const int chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    const int sent = ::send(native(handle), static_cast<const char*>(data), chunk, 0);
    if (sent >= 0) return sent;
    return wouldBlockOrFailed();
}

long receiveSome(NativeSocket handle, void* data, std::size_t length, bool dontWait) {
    if (dontWait && !readyNow(handle, POLLRDNORM)) {
        setLastSocketError(kErrorTimedOut);
        return kIoWouldBlock;
    }
    const int chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    const int got = ::recv(native(handle), static_cast<char*>(data), chunk, 0);
    if (got >= 0) return got;
    // A datagram longer than the room: the room is filled and the rest
    // lost, which BSD sockets report as a full read.
    if (::WSAGetLastError() == WSAEMSGSIZE) return chunk;
    return wouldBlockOrFailed();
}

long sendTo(NativeSocket handle, const void* data, std::size_t length, const sockaddr_in& remote) {
    const int chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    const int sent = ::sendto(native(handle), static_cast<const char*>(data), chunk, 0,
                              reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    if (sent >= 0) return sent;
    return wouldBlockOrFailed();
}

// SO_EXCLUSIVEADDRUSE: no other socket may bind the port while we hold it
// (Windows would otherwise let a second program take over with
// SO_REUSEADDR); a restarted agent still binds past TIME_WAIT connections.
bool setReuseAddress(NativeSocket handle) {
    return setIntOption(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
}

bool setSendTimeout(NativeSocket handle, int milliseconds) {
    return setIntOption(handle, SOL_SOCKET, SO_SNDTIMEO, milliseconds < 0 ? 0 : milliseconds);
}

bool setReceiveTimeout(NativeSocket handle, int milliseconds) {
    return setIntOption(handle, SOL_SOCKET, SO_RCVTIMEO, milliseconds < 0 ? 0 : milliseconds);
}

bool setNonBlocking(NativeSocket handle) {
    if (setBlocking(handle, false)) return true;
    recordError();
    return false;
}

bool setResetOnClose(NativeSocket handle) {
    linger value{};
    value.l_onoff = 1;
    value.l_linger = 0;
    if (::setsockopt(native(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                     sizeof(value)) == 0)
        return true;
    recordError();
    return false;
}

int setReceiveBufferSize(NativeSocket handle, int bytes) {
    return setIntOption(handle, SOL_SOCKET, SO_RCVBUF, bytes) ? 0 : -1;
}

int setSendBufferSize(NativeSocket handle, int bytes) {
    return setIntOption(handle, SOL_SOCKET, SO_SNDBUF, bytes) ? 0 : -1;
}

int receiveBufferSize(NativeSocket handle) {
    return intOption(handle, SOL_SOCKET, SO_RCVBUF);
}

int sendBufferSize(NativeSocket handle) {
    return intOption(handle, SOL_SOCKET, SO_SNDBUF);
}

// Windows has no privileged override of the buffer limit: the plain option
// takes what the system allows.
bool forceReceiveBufferSize(NativeSocket handle, int bytes) {
    return setReceiveBufferSize(handle, bytes) == 0;
}

bool forceSendBufferSize(NativeSocket handle, int bytes) {
    return setSendBufferSize(handle, bytes) == 0;
}

int pendingInputBytes(NativeSocket handle) {
    u_long waiting = 0;
    if (::ioctlsocket(native(handle), FIONREAD, &waiting) != 0) {
        recordError();
        return -1;
    }
    return waiting > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(waiting);
}

}  // namespace trellon::platform
