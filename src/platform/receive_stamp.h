// When the kernel received a datagram (SO_TIMESTAMP, the wall clock). A thread
// that wakes late after a poll would otherwise add its own wake-up time to
// every round trip it measures, which on a LAN is as long as the trip itself.
// Datagrams received through platform/datagram_batch.h with kDatagramStamp
// carry it.
#pragma once

#include <cstdint>

#include "platform/native_socket.h"

#ifndef _WIN32
#include <sys/socket.h>
#endif

namespace trellon::platform {

// Asks for the receive time with every datagram; false when the system refused.
bool enableReceiveStamps(NativeSocket socket);

#ifndef _WIN32
// The receive time carried in message's control data: false when it is not
// there (not asked for, cut short), leaving seconds and microseconds alone.
bool receiveStamp(const msghdr& message, std::int64_t& seconds, std::int32_t& microseconds);
#endif

}  // namespace trellon::platform
