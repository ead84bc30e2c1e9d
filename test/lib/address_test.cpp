#include "lib/address.h"

#include <gtest/gtest.h>

#include "platform/net_address.h"

namespace trellon {
namespace {

TEST(DottedQuad, AcceptsOnlyFourDecimalGroups) {
    struct Case {
        const char* text;
        bool valid;
        const char* address;
    };
    const Case cases[] = {
        {"10.1.1.1", true, "10.1.1.1"},
        {"010.1.1.1", true, "10.1.1.1"},  // leading zeros are decimal, not octal
        {"0.0.0.0", true, "0.0.0.0"},
        {"255.255.255.255", true, "255.255.255.255"},
        {"192.168.000.001", true, "192.168.0.1"},
        {"1.2.3.256", false, nullptr},
        {"1.2.3", false, nullptr},
        {"1.2.3.4.", false, nullptr},
        {"1..2.3", false, nullptr},
        {".1.2.3", false, nullptr},
        {"1.2.3.4.5", false, nullptr},
        {"", false, nullptr},
        {"a.b.c.d", false, nullptr},
        {"1.2.3.4 ", false, nullptr},
        {"1.2.-3.4", false, nullptr},
        {"0000000000000001.2.3.4", true, "1.2.3.4"},
        {"1.2.3.99999999999999999999", false, nullptr},
    };
    for (const auto& c : cases) {
        std::uint32_t address = 0;
        EXPECT_EQ(parseDottedQuad(c.text, address), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(formatAddress(address), c.address) << c.text;
        }
    }
    std::uint32_t unused = 0;
    EXPECT_FALSE(parseDottedQuad(nullptr, unused));
}

TEST(BuildAddress, NonQuadsGoToNameResolution) {
    sockaddr_in address{};
    ASSERT_TRUE(buildAddress("localhost", 80, address));
    EXPECT_EQ(ntohl(address.sin_addr.s_addr) >> 24, 127u);
    EXPECT_EQ(ntohs(address.sin_port), 80);
    // Not quads, and not resolvable names either.
    EXPECT_FALSE(buildAddress("1.2.3.256", 1, address));
    EXPECT_FALSE(buildAddress("no-such-host.invalid", 1, address));
    ASSERT_TRUE(buildAddress(nullptr, 7, address));
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_TRUE(hostResolves("127.0.0.1"));
    EXPECT_FALSE(hostResolves(""));
}

}  // namespace
}  // namespace trellon
