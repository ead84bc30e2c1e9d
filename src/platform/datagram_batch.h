// Several datagrams in one system call (recvmmsg / sendmmsg here), with each
// datagram's kernel receive time and TOS byte where the caller asks for them.
// Where the system has no batch call, the same functions move the datagrams
// one at a time (the *Singly versions, which are always there): the callers
// see the same datagrams, stamps and TOS either way.
//
// The caller owns every buffer: a Datagram only points at the data and the
// peer address, so a batch costs no allocation; the control data lives on the
// stack of the call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net_address.h"

namespace trellon::platform {

// Most datagrams one call moves; larger counts are cut to this.
constexpr int kMaxDatagramBatch = 64;

struct Datagram {
    // Receive: the room at data. Send: the bytes to send.
    void* data = nullptr;
    std::size_t size = 0;
    // Receive: filled with the sender (may be null). Send: the destination
    // (null on a connected socket).
    sockaddr_in* peer = nullptr;

    // Filled by the call.
    std::size_t length = 0;  // bytes received (at most size) or sent
    bool truncated = false;  // the datagram was longer than size; the rest is lost
    bool stamped = false;    // stampSeconds / stampMicroseconds hold the kernel's receive time
    std::int64_t stampSeconds = 0;
    std::int32_t stampMicroseconds = 0;
    int tos = -1;  // the TOS byte it arrived with, -1 when not known
};

enum DatagramReceiveFlags : unsigned {
    kDatagramDontWait = 1,  // take only what already waits
    kDatagramStamp = 2,     // fill the receive time (enableReceiveStamps first)
    kDatagramTos = 4,       // fill the TOS byte (enableReceivedTos first)
};

// Receive and send results below zero, as the socket calls' (socket.h).
constexpr int kDatagramWouldBlock = -1;
constexpr int kDatagramFailed = -2;

// Receives up to count datagrams: waits for the first as the socket's receive
// time-out allows (not at all with kDatagramDontWait), then takes those
// already queued without waiting. Returns how many were received (a shut-down
// socket gives empty datagrams), kDatagramWouldBlock or kDatagramFailed (error
// recorded).
int receiveDatagrams(NativeSocket handle, Datagram* datagrams, int count, unsigned flags);
int receiveDatagramsSingly(NativeSocket handle, Datagram* datagrams, int count, unsigned flags);

// Sends datagrams in order; returns how many went from the first (>= 1, each
// one's length set), or kDatagramWouldBlock / kDatagramFailed (error
// recorded) when the first could not be sent. No SIGPIPE.
int sendDatagrams(NativeSocket handle, Datagram* datagrams, int count);
int sendDatagramsSingly(NativeSocket handle, Datagram* datagrams, int count);

}  // namespace trellon::platform
