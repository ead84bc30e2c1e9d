// The TOS byte of received datagrams (IP_RECVTOS): which DSCP a packet still
// carried when it arrived, so re-marking on the path can be seen. A socket
// asks once; each receive then passes a control buffer of kControlBytes and
// reads the byte from what the kernel put there.
#pragma once

#include <sys/socket.h>

#include <cstddef>

namespace trellon::platform {

// Room for the control message carrying the TOS byte (and a little more,
// should the system add another).
constexpr std::size_t kReceivedTosControlBytes = 64;

// Asks for the TOS byte with every datagram; false when the system refused.
bool enableReceivedTos(int socket);

// The TOS byte of a datagram received with recvmsg / recvmmsg into message
// (msg_control pointing at kReceivedTosControlBytes of room), or -1 when it
// did not come with it (not asked for, control data cut short).
int receivedTos(const msghdr& message);

}  // namespace trellon::platform
