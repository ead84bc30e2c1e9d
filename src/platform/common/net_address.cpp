#include "platform/net_address.h"

#ifndef _WIN32
#include <netdb.h>
#endif

#include <cstring>

#include "platform/socket_error.h"
#ifdef _WIN32
#include "platform/win32/winsock_start.h"
#endif

namespace trellon::platform {

bool resolveIpv4(const char* host, std::uint32_t& addressNetworkOrder) {
    if (host == nullptr) return false;
#ifdef _WIN32
    win32::ensureWinsock();
#endif
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(host, nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
        setLastSocketError(kErrorHostNotFound);
        if (result != nullptr) ::freeaddrinfo(result);
        return false;
    }
    setLastSocketError(0);
    addressNetworkOrder = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return true;
}

sockaddr_in ipv4Address(std::uint32_t addressNetworkOrder, std::uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = addressNetworkOrder;
    return address;
}

std::string addressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr copy = address.sin_addr;  // Winsock's inet_ntop takes a non-const pointer
    return ::inet_ntop(AF_INET, &copy, text, sizeof(text)) != nullptr ? text : "?";
}

}  // namespace trellon::platform
