#include "platform/datagram_batch.h"

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/receive_stamp.h"
#include "platform/received_tos.h"
#include "platform/socket_error.h"

namespace trellon::platform {

namespace {

// Set once the kernel answers ENOSYS to a batch call (an old kernel or a
// sandbox that filters it); from then on datagrams move one at a time.
std::atomic<bool> gNoReceiveBatch{false};
std::atomic<bool> gNoSendBatch{false};

// Room for a receive time and a TOS byte, each datagram its own.
struct alignas(cmsghdr) ControlRoom {
    unsigned char bytes[kReceivedTosControlBytes];
};

int clampCount(int count) {
    return count < 0 ? 0 : count > kMaxDatagramBatch ? kMaxDatagramBatch : count;
}

// As the socket calls: "nothing now" on a non-blocking call is no error to record.
int transferFailure(bool dontWait) {
    int err = errno;
    bool wouldBlock = err == EAGAIN || err == EWOULDBLOCK;
    if (!wouldBlock || !dontWait) recordSocketErrorFromErrno();
    return wouldBlock ? kDatagramWouldBlock : kDatagramFailed;
}

// One datagram's message; control room only for a receive that wants it.
void prepareMessage(Datagram& datagram, msghdr& message, iovec& vector,
                    ControlRoom* control = nullptr) {
    vector.iov_base = datagram.data;
    vector.iov_len = datagram.size;
    std::memset(&message, 0, sizeof(message));
    message.msg_name = datagram.peer;
    message.msg_namelen = datagram.peer != nullptr ? sizeof(sockaddr_in) : 0;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    if (control != nullptr) {
        message.msg_control = control->bytes;
        message.msg_controllen = sizeof(control->bytes);
    }
}

void finishReceive(Datagram& datagram, const msghdr& message, std::size_t length, unsigned flags) {
    datagram.length = length < datagram.size ? length : datagram.size;
    datagram.truncated = (message.msg_flags & MSG_TRUNC) != 0;
    datagram.stamped = (flags & kDatagramStamp) != 0 &&
                       receiveStamp(message, datagram.stampSeconds, datagram.stampMicroseconds);
    datagram.tos = (flags & kDatagramTos) != 0 ? receivedTos(message) : -1;
}

}  // namespace

int receiveDatagrams(NativeSocket handle, Datagram* datagrams, int count, unsigned flags) {
    count = clampCount(count);
    if (count == 0) return 0;
    if (gNoReceiveBatch.load(std::memory_order_relaxed))
        return receiveDatagramsSingly(handle, datagrams, count, flags);
    const bool wantControl = (flags & (kDatagramStamp | kDatagramTos)) != 0;
    mmsghdr messages[kMaxDatagramBatch];
    iovec vectors[kMaxDatagramBatch];
    ControlRoom controls[kMaxDatagramBatch];
    for (int i = 0; i < count; ++i) {
        prepareMessage(datagrams[i], messages[i].msg_hdr, vectors[i],
                       wantControl ? &controls[i] : nullptr);
        messages[i].msg_len = 0;
    }
    const int native = MSG_WAITFORONE | ((flags & kDatagramDontWait) != 0 ? MSG_DONTWAIT : 0);
    int received;
    do {
        received = ::recvmmsg(handle, messages, static_cast<unsigned>(count), native, nullptr);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        if (errno == ENOSYS) {
            gNoReceiveBatch.store(true, std::memory_order_relaxed);
            return receiveDatagramsSingly(handle, datagrams, count, flags);
        }
        return transferFailure((flags & kDatagramDontWait) != 0);
    }
    for (int i = 0; i < received; ++i)
        finishReceive(datagrams[i], messages[i].msg_hdr, messages[i].msg_len, flags);
    return received;
}

int receiveDatagramsSingly(NativeSocket handle, Datagram* datagrams, int count, unsigned flags) {
    count = clampCount(count);
    const bool wantControl = (flags & (kDatagramStamp | kDatagramTos)) != 0;
    int received = 0;
    while (received < count) {
        Datagram& datagram = datagrams[received];
        msghdr message;
        iovec vector;
        ControlRoom control;
        prepareMessage(datagram, message, vector, wantControl ? &control : nullptr);
        // As MSG_WAITFORONE: only the first may wait.
        const bool dontWait = received > 0 || (flags & kDatagramDontWait) != 0;
        ssize_t n = ::recvmsg(handle, &message, dontWait ? MSG_DONTWAIT : 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (received > 0) break;
            return transferFailure(dontWait);
        }
        finishReceive(datagram, message, static_cast<std::size_t>(n), flags);
        ++received;
    }
    return received;
}

int sendDatagrams(NativeSocket handle, Datagram* datagrams, int count) {
    count = clampCount(count);
    if (count == 0) return 0;
    if (gNoSendBatch.load(std::memory_order_relaxed))
        return sendDatagramsSingly(handle, datagrams, count);
    mmsghdr messages[kMaxDatagramBatch];
    iovec vectors[kMaxDatagramBatch];
    for (int i = 0; i < count; ++i) {
        prepareMessage(datagrams[i], messages[i].msg_hdr, vectors[i]);
        messages[i].msg_len = 0;
    }
    int sent;
    do {
        sent = ::sendmmsg(handle, messages, static_cast<unsigned>(count), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        if (errno == ENOSYS) {
            gNoSendBatch.store(true, std::memory_order_relaxed);
            return sendDatagramsSingly(handle, datagrams, count);
        }
        return transferFailure(false);
    }
    for (int i = 0; i < sent; ++i) datagrams[i].length = messages[i].msg_len;
    return sent;
}

int sendDatagramsSingly(NativeSocket handle, Datagram* datagrams, int count) {
    count = clampCount(count);
    int sent = 0;
    while (sent < count) {
        Datagram& datagram = datagrams[sent];
        msghdr message;
        iovec vector;
        prepareMessage(datagram, message, vector);
        ssize_t n = ::sendmsg(handle, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            // As sendmmsg: a failure after the first ends the call with what went.
            if (sent > 0) break;
            return transferFailure(false);
        }
        datagram.length = static_cast<std::size_t>(n);
        ++sent;
    }
    return sent;
}

}  // namespace trellon::platform
