#include "lib/units.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace trellon {
namespace {

std::string format(double bytes, char letter) {
    char buffer[64];
    formatQuantity(buffer, sizeof(buffer), bytes, letter);
    return buffer;
}

TEST(FormatQuantity, ChoosesScaleAndPrecision) {
    struct Case {
        double bytes;
        char letter;
        const char* expected;
    };
    const Case cases[] = {
        {1536, 'A', "1.50 KByte"},
        {1536, 'a', "12.3 Kbit"},
        {5.0 * 1024 * 1024 * 1024 * 1024, 'A', "5120 GByte"},  // adaptive stops at giga
        {125, 'k', "1.00 Kbit"},
        {0, 'A', "0.00 Byte"},
        {1023, 'A', "1023 Byte"},
        {1024, 'A', "1.00 KByte"},
        {99.94, 'B', "99.9 Byte"},
        {99.96, 'B', " 100 Byte"},  // right-aligned in four places
        {9.994, 'B', "9.99 Byte"},
        {9.996, 'B', "10.0 Byte"},
        {1048576, 'M', "1.00 MByte"},
        {1048576, 'K', "1024 KByte"},
        {12500000, 'm', " 100 Mbit"},
        {125000000, 'g', "1.00 Gbit"},
        {1e12, 'a', "8000 Gbit"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format(c.bytes, c.letter), c.expected) << c.bytes << " " << c.letter;
    }
}

TEST(FormatQuantity, ReturnsLengthAndRespectsBuffer) {
    char small[6];
    int n = formatQuantity(small, sizeof(small), 1536, 'A');
    EXPECT_EQ(n, 10);  // what would have been written
    EXPECT_STREQ(small, "1.50 ");
}

TEST(ParseQuantity, SuffixesAndFailures) {
    EXPECT_EQ(parseQuantity("2K"), 2048);
    EXPECT_EQ(parseQuantity("2k"), 2000);
    EXPECT_EQ(parseQuantity("1.5M"), 1572864);
    EXPECT_EQ(parseQuantity("3m"), 3000000);
    EXPECT_EQ(parseQuantity("1G"), 1073741824 < INT_MAX ? 1073741824 : INT_MIN);
    EXPECT_EQ(parseQuantity("1g"), 1000000000);
    EXPECT_EQ(parseQuantity("123"), 123);
    EXPECT_EQ(parseQuantity("7x"), 7);  // an unknown suffix leaves the number
    EXPECT_EQ(parseQuantity("abc"), 0);
    EXPECT_EQ(parseQuantity(""), 0);
    EXPECT_EQ(parseQuantity(nullptr), 0);
    EXPECT_EQ(parseQuantity("nan"), 0);
    EXPECT_EQ(parseQuantity("2G"), INT_MIN);  // beyond the int range
    EXPECT_EQ(parseQuantity("-3G"), INT_MIN);
    EXPECT_EQ(parseQuantity("1e300"), INT_MIN);
    EXPECT_EQ(parseQuantity("2.9"), 2);  // truncation
}

}  // namespace
}  // namespace trellon
