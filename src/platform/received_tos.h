// The TOS byte of received datagrams (IP_RECVTOS): which DSCP a packet still
// carried when it arrived, so re-marking on the path can be seen. A socket
// asks once; datagrams received through platform/datagram_batch.h with
// kDatagramTos then carry it.
#pragma once

#include <cstddef>

#include "platform/native_socket.h"

#ifndef _WIN32
#include <sys/socket.h>
#endif

namespace trellon::platform {

// Room for the control message carrying the TOS byte (and a little more,
// should the system add another).
constexpr std::size_t kReceivedTosControlBytes = 64;

// Asks for the TOS byte with every datagram; false when the system refused.
bool enableReceivedTos(NativeSocket socket);

#ifndef _WIN32
// The TOS byte of a datagram received with recvmsg / recvmmsg into message
// (msg_control pointing at kReceivedTosControlBytes of room), or -1 when it
// did not come with it (not asked for, control data cut short).
int receivedTos(const msghdr& message);
#endif

}  // namespace trellon::platform
