// Datagrams on Winsock: there is no batch call, so both forms move one
// datagram at a time. The TOS byte comes from WSARecvMsg's control data
// where the system gives it (IP_RECVTOS); receive time stamps are not
// offered, so no datagram is stamped and the callers time it themselves.
#include "platform/datagram_batch.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>
// clang-format on

#include <cstring>
#include <mutex>

#include "platform/socket_error.h"

namespace trellon::platform {

namespace {

SOCKET native(NativeSocket handle) {
    return static_cast<SOCKET>(handle);
}

LPFN_WSARECVMSG recvMsgFunction(SOCKET s) {
    static std::once_flag once;
    static LPFN_WSARECVMSG function = nullptr;
    std::call_once(once, [s] {
        GUID guid = WSAID_WSARECVMSG;
        DWORD bytes = 0;
        LPFN_WSARECVMSG found = nullptr;
        if (::WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof(guid), &found,
                       sizeof(found), &bytes, nullptr, nullptr) == 0)
            function = found;
    });
    return function;
}

// Whether a datagram waits now. A closed or unknown handle is "ready": the
// receive that follows then fails with the handle's own error instead of
// reporting "nothing yet" to a caller that would ask again for ever.
bool readableNow(SOCKET s) {
    WSAPOLLFD fd{};
    fd.fd = s;
    fd.events = POLLRDNORM;
    const int ready = ::WSAPoll(&fd, 1, 0);
    return ready < 0 || (ready > 0 && fd.revents != 0);
}

int failure() {
    const int code = ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAETIMEDOUT) {
        setLastSocketError(kErrorTimedOut);
        return kDatagramWouldBlock;
    }
    if (code == ERROR_OPERATION_ABORTED) {
        setLastSocketError(kErrorInterrupted);
        return kDatagramFailed;
    }
    recordSocketErrorFromErrno();
    return kDatagramFailed;
}

// One datagram into d; 1, or a failure result.
int receiveOne(SOCKET s, Datagram& d, unsigned flags) {
    d.length = 0;
    d.truncated = false;
    d.stamped = false;
    d.tos = -1;
    const int room = d.size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(d.size);
    sockaddr_in from{};
    LPFN_WSARECVMSG recvMsg = (flags & kDatagramTos) != 0 ? recvMsgFunction(s) : nullptr;
    if (recvMsg != nullptr) {
        alignas(WSACMSGHDR) char control[64] = {};
        WSABUF buffer{static_cast<ULONG>(room), static_cast<char*>(d.data)};
        WSAMSG message{};
        message.name = reinterpret_cast<sockaddr*>(&from);
        message.namelen = sizeof(from);
        message.lpBuffers = &buffer;
        message.dwBufferCount = 1;
        message.Control.buf = control;
        message.Control.len = sizeof(control);
        DWORD got = 0;
        if (recvMsg(s, &message, &got, nullptr, nullptr) != 0) {
            if (::WSAGetLastError() != WSAEMSGSIZE) return failure();
            got = static_cast<DWORD>(room);
            message.dwFlags |= MSG_TRUNC;
        }
        d.length = got;
        d.truncated = (message.dwFlags & MSG_TRUNC) != 0;
        if ((message.dwFlags & MSG_CTRUNC) == 0) {
            for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
                 c = WSA_CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_TOS) continue;
                if (c->cmsg_len < WSA_CMSG_LEN(1)) break;
                // Windows passes an int where Linux passes a byte; the
                // first byte is the TOS on this little-endian machine either way.
                unsigned char tos = 0;
                std::memcpy(&tos, WSA_CMSG_DATA(c), 1);
                d.tos = tos;
                break;
            }
        }
    } else {
        int fromSize = sizeof(from);
        const int got = ::recvfrom(s, static_cast<char*>(d.data), room, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (got < 0) {
            if (::WSAGetLastError() != WSAEMSGSIZE) return failure();
            d.length = static_cast<std::size_t>(room);
            d.truncated = true;
        } else {
            d.length = static_cast<std::size_t>(got);
        }
    }
    if (d.peer != nullptr) *d.peer = from;
    return 1;
}

}  // namespace

int receiveDatagramsSingly(NativeSocket handle, Datagram* datagrams, int count, unsigned flags) {
    if (count <= 0 || datagrams == nullptr) return 0;
    if (count > kMaxDatagramBatch) count = kMaxDatagramBatch;
    const SOCKET s = native(handle);
    if ((flags & kDatagramDontWait) != 0 && !readableNow(s)) {
        setLastSocketError(kErrorTimedOut);
        return kDatagramWouldBlock;
    }
    const int first = receiveOne(s, datagrams[0], flags);
    if (first < 0) return first;
    int received = 1;
    // The rest only as far as they already wait.
    while (received < count && readableNow(s)) {
        if (receiveOne(s, datagrams[received], flags) < 0) break;
        ++received;
    }
    return received;
}

int receiveDatagrams(NativeSocket handle, Datagram* datagrams, int count, unsigned flags) {
    return receiveDatagramsSingly(handle, datagrams, count, flags);
}

int sendDatagramsSingly(NativeSocket handle, Datagram* datagrams, int count) {
    if (count <= 0 || datagrams == nullptr) return 0;
    if (count > kMaxDatagramBatch) count = kMaxDatagramBatch;
    int sent = 0;
    for (; sent < count; ++sent) {
        Datagram& d = datagrams[sent];
        const int length = d.size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(d.size);
        const int n = d.peer != nullptr
                          ? ::sendto(native(handle), static_cast<const char*>(d.data), length, 0,
                                     reinterpret_cast<const sockaddr*>(d.peer), sizeof(*d.peer))
                          : ::send(native(handle), static_cast<const char*>(d.data), length, 0);
        if (n < 0) {
            if (sent == 0) return failure();
            break;
        }
        d.length = static_cast<std::size_t>(n);
    }
    return sent;
}

int sendDatagrams(NativeSocket handle, Datagram* datagrams, int count) {
    return sendDatagramsSingly(handle, datagrams, count);
}

}  // namespace trellon::platform
