#include "platform/received_tos.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace trellon::platform {

// IP_RECVTOS exists from Windows 10 1903; older systems (and wine) refuse it,
// and the datagrams then carry no TOS.
bool enableReceivedTos(NativeSocket socket) {
    DWORD on = 1;
    return ::setsockopt(static_cast<SOCKET>(socket), IPPROTO_IP, IP_RECVTOS,
                        reinterpret_cast<const char*>(&on), sizeof(on)) == 0;
}

}  // namespace trellon::platform
