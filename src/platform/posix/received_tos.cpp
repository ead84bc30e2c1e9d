#include "platform/received_tos.h"

#include <netinet/in.h>
#include <netinet/ip.h>

#include <cstring>

namespace trellon::platform {

bool enableReceivedTos(NativeSocket socket) {
    int on = 1;
    return ::setsockopt(socket, IPPROTO_IP, IP_RECVTOS, &on, sizeof(on)) == 0;
}

int receivedTos(const msghdr& message) {
    // Cut control data may hold half a message: take none of it.
    if ((message.msg_flags & MSG_CTRUNC) != 0 || message.msg_control == nullptr) return -1;
    for (const cmsghdr* c = CMSG_FIRSTHDR(const_cast<msghdr*>(&message)); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_TOS) continue;
        // Linux passes one byte; a length that does not hold it is no TOS.
        if (c->cmsg_len < CMSG_LEN(1)) return -1;
        unsigned char tos = 0;
        std::memcpy(&tos, CMSG_DATA(c), 1);
        return tos;
    }
    return -1;
}

}  // namespace trellon::platform
