#include "platform/receive_stamp.h"

#include <sys/time.h>

#include <cstring>

namespace trellon::platform {

bool enableReceiveStamps(NativeSocket socket) {
    int on = 1;
    return ::setsockopt(socket, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on)) == 0;
}

bool receiveStamp(const msghdr& message, std::int64_t& seconds, std::int32_t& microseconds) {
    if ((message.msg_flags & MSG_CTRUNC) != 0 || message.msg_control == nullptr) return false;
    for (const cmsghdr* c = CMSG_FIRSTHDR(const_cast<msghdr*>(&message)); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMP) continue;
        if (c->cmsg_len < CMSG_LEN(sizeof(timeval))) return false;
        timeval stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
        if (stamp.tv_usec < 0 || stamp.tv_usec > 999999) return false;
        seconds = stamp.tv_sec;
        microseconds = static_cast<std::int32_t>(stamp.tv_usec);
        return true;
    }
    return false;
}

}  // namespace trellon::platform
