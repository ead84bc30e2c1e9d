// IPv4 addresses: dotted quads, name resolution, socket addresses.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net_address.h"

namespace trellon {

// Exactly four groups of decimal digits (leading zeros are decimal), each at
// most 255, separated by single dots. Gives the address in network order.
bool parseDottedQuad(const char* text, std::uint32_t& addressNetworkOrder);

// Resolves a host name through getaddrinfo (IPv4, stream, TCP) and takes the
// first result. The result code is also the thread's last socket error
// (0, or 11001 "Host not found.").
bool resolveName(const char* host, std::uint32_t& addressNetworkOrder);

// A dotted quad, else a resolved name; a null host is the "any" address.
bool buildAddress(const char* host, std::uint16_t port, sockaddr_in& out);

// Whether the text names an IPv4 address (a dotted quad or a resolvable name).
bool hostResolves(const std::string& host);

// "%d.%d.%d.%d" of an address in network order.
std::string formatAddress(std::uint32_t addressNetworkOrder);

}  // namespace trellon
