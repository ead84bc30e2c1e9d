#include "http/response_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "support/test_support.h"

namespace trellon {
namespace {

TEST(ResponseBufferTest, CapacityGrowsInWholeStepsKeepingRoomForOneMore) {
    struct Case {
        std::vector<std::size_t> appends;
        std::size_t capacity;
    };
    const Case cases[] = {
        {{}, 0},
        {{1}, 500},
        {{499}, 500},   // 499 + 1 fits 500
        {{500}, 1000},  // 500 + 1 does not
        {{499, 1}, 1000},
        {{200, 200, 99}, 500},
        {{1200}, 1500},
        {{100, 1000, 399}, 1500},
        {{100, 1000, 400}, 2000},
    };
    for (const Case& c : cases) {
        ResponseBuffer buffer;
        std::size_t total = 0;
        for (std::size_t n : c.appends) {
            buffer.append(std::string(n, 'x'));
            total += n;
        }
        EXPECT_EQ(buffer.capacity(), c.capacity) << "after " << c.appends.size() << " appends";
        EXPECT_EQ(buffer.size(), total);
        EXPECT_EQ(buffer.capacity() % ResponseBuffer::kGrowthStep, 0u);
    }
}

TEST(ResponseBufferTest, KeepsBinaryBytesAndOrder) {
    ResponseBuffer buffer;
    const char bytes[] = {'a', '\0', 'b', '\xff'};
    buffer.append(bytes, sizeof(bytes));
    buffer.appendCrLf();
    buffer.append("tail");
    EXPECT_EQ(buffer.str(), std::string("a\0b\xff\r\ntail", 10));
    EXPECT_FALSE(buffer.empty());
}

TEST(ResponseBufferTest, AppendsDecimalNumbers) {
    const std::pair<long long, const char*> cases[] = {
        {0, "0"},
        {-1, "-1"},
        {1234567, "1234567"},
        {LLONG_MAX, "9223372036854775807"},
        {LLONG_MIN, "-9223372036854775808"},
    };
    for (const auto& [value, text] : cases) {
        ResponseBuffer buffer;
        buffer.append("n=");
        buffer.appendNumber(value);
        EXPECT_EQ(buffer.str(), std::string("n=") + text);
    }
}

TEST(ResponseBufferTest, ClearEmptiesAndTheBufferIsUsableAgain) {
    ResponseBuffer buffer;
    buffer.append(std::string(1700, 's'));
    buffer.clear();
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.capacity(), 0u);
    buffer.append("fresh");
    EXPECT_EQ(buffer.str(), "fresh");
    EXPECT_EQ(buffer.capacity(), 500u);

    ResponseBuffer never;
    never.clear();  // nothing allocated yet
    EXPECT_TRUE(never.empty());
}

TEST(ResponseBufferTest, ImpossibleSizeReportsOutOfMemoryAndEmptiesTheBuffer) {
    ResponseBuffer buffer;
    buffer.append("some earlier text");
    const char byte = 'x';
    // The length is refused before anything is read from the pointer.
    std::string err = trellon::testing::captureStderr([&] { buffer.append(&byte, SIZE_MAX / 2); });
    EXPECT_EQ(err, "out of memory\n");
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.capacity(), 0u);

    err = trellon::testing::captureStderr([&] { buffer.append(&byte, SIZE_MAX); });
    EXPECT_EQ(err, "out of memory\n");
    EXPECT_TRUE(buffer.empty());

    buffer.append("again");
    EXPECT_EQ(buffer.str(), "again");
}

TEST(ResponseBufferTest, AssignReplacesContentsWithWholeStepCapacity) {
    ResponseBuffer buffer;
    buffer.append("old");
    buffer.assign(std::string(999, 'n'));
    EXPECT_EQ(buffer.str(), std::string(999, 'n'));
    EXPECT_EQ(buffer.capacity(), 1000u);
    buffer.assign(std::string(1000, 'n'));
    EXPECT_EQ(buffer.capacity(), 1500u);
    buffer.append("x");
    EXPECT_EQ(buffer.size(), 1001u);
}

}  // namespace
}  // namespace trellon
