#include "lib/address.h"

#include <cstdio>
#include <cstring>

namespace trellon {

bool parseDottedQuad(const char* text, std::uint32_t& addressNetworkOrder) {
    if (text == nullptr) return false;
    unsigned groups[4] = {0, 0, 0, 0};
    int group = 0;
    bool digitSeen = false;
    for (const char* p = text; *p != '\0'; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') {
            groups[group] = groups[group] * 10 + static_cast<unsigned>(c - '0');
            if (groups[group] > 255) return false;
            digitSeen = true;
        } else if (c == '.') {
            if (!digitSeen || group == 3) return false;
            ++group;
            digitSeen = false;
        } else {
            return false;
        }
    }
    if (group != 3 || !digitSeen) return false;
    std::uint32_t host = (groups[0] << 24) | (groups[1] << 16) | (groups[2] << 8) | groups[3];
    addressNetworkOrder = htonl(host);
    return true;
}

bool resolveName(const char* host, std::uint32_t& addressNetworkOrder) {
    return platform::resolveIpv4(host, addressNetworkOrder);
}

bool buildAddress(const char* host, std::uint16_t port, sockaddr_in& out) {
    std::memset(&out, 0, sizeof(out));
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (host == nullptr) {
        out.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    std::uint32_t address = 0;
    if (!parseDottedQuad(host, address) && !resolveName(host, address)) return false;
    out.sin_addr.s_addr = address;
    return true;
}

bool hostResolves(const std::string& host) {
    sockaddr_in address{};
    return !host.empty() && buildAddress(host.c_str(), 0, address);
}

std::string formatAddress(std::uint32_t addressNetworkOrder) {
    const auto* b = reinterpret_cast<const unsigned char*>(&addressNetworkOrder);
    char text[32];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

}  // namespace trellon
