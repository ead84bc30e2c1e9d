#include "platform/receive_stamp.h"

namespace trellon::platform {

// Winsock offers no per-datagram receive time (SO_TIMESTAMP) to ordinary
// sockets: the callers take the time themselves when this says no.
bool enableReceiveStamps(NativeSocket) {
    return false;
}

}  // namespace trellon::platform
