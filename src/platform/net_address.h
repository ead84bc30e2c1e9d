// IPv4 socket addresses and the native socket handle, the types the socket
// layer above passes around. The system's socket headers are included here and
// nowhere above src/platform, so sockaddr_in, htons and friends reach the
// callers through this header alone.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <string>

#include "platform/native_socket.h"

namespace trellon::platform {

// Resolves a host name to its first IPv4 address (stream, TCP), in network
// order. On failure the thread's last socket error is 11001 (host not found);
// on success it is 0.
bool resolveIpv4(const char* host, std::uint32_t& addressNetworkOrder);

// An IPv4 socket address for an address in network order and a port.
sockaddr_in ipv4Address(std::uint32_t addressNetworkOrder, std::uint16_t port);

// The port of a socket address, in host order.
inline std::uint16_t addressPort(const sockaddr_in& address) {
    return ntohs(address.sin_port);
}

// The address as a dotted quad.
std::string addressText(const sockaddr_in& address);

}  // namespace trellon::platform
