#include "lib/timestamp.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace trellon {
namespace {

using testing::captureStdout;

TEST(Timestamp, CheckedSetReportsBadValuesButStoresThem) {
    Timestamp t;
    EXPECT_EQ(captureStdout([&] { t.set(5, 1000000); }), "");
    EXPECT_EQ(captureStdout([&] { t.set(5, 0); }), "");
    EXPECT_EQ(captureStdout([&] { t.set(5, 1000001); }), "bad Timestamp set(5,1000001)\n");
    EXPECT_EQ(t.microseconds, 1000001);
    EXPECT_EQ(captureStdout([&] { t.set(-1, 0); }), "bad Timestamp set(-1,0)\n");
    EXPECT_EQ(t.seconds, -1);
    EXPECT_EQ(captureStdout([&] { t.set(3, -1); }), "bad Timestamp set(3,-1)\n");
}

TEST(Timestamp, NowIsSaneAndArithmeticCarries) {
    std::string out = captureStdout([] {
        for (int i = 0; i < 1000; ++i) {
            Timestamp now = Timestamp::now();
            ASSERT_GT(now.seconds, 1600000000);
            ASSERT_GE(now.microseconds, 0);
            ASSERT_LE(now.microseconds, 999999);
        }
    });
    EXPECT_EQ(out, "");

    Timestamp a{10, 999999};
    Timestamp b{11, 1};
    EXPECT_EQ(b.microsecondsSince(a), 2);
    EXPECT_EQ(a.microsecondsSince(b), -2);
    a.addMicroseconds(2);
    EXPECT_EQ(a.seconds, 11);
    EXPECT_EQ(a.microseconds, 1);
    a.addMicroseconds(-3);
    EXPECT_EQ(a.seconds, 10);
    EXPECT_EQ(a.microseconds, 999998);
    // Far apart stamps do not overflow 32 bits of microseconds.
    Timestamp far{2000000000, 0};
    Timestamp near{0, 0};
    EXPECT_EQ(far.microsecondsSince(near), 2000000000LL * 1000000);
}

// A counter that moves only when the wait sleeps or yields, so the test sees
// exactly when the wait decides to stop and how it got there.
class SimulatedClock : public WaitClock {
public:
    std::uint64_t now = 0;
    int sleeps = 0;
    int yields = 0;
    std::uint64_t ticks() override { return now; }
    void sleepOneMillisecond() override {
        ++sleeps;
        now += 1000000;
    }
    void yield() override {
        ++yields;
        now += 10000;  // 10 us per yield
    }
};

TEST(PreciseWait, SleepsUntilTwoMillisecondsBeforeThenYields) {
    SimulatedClock clock;
    preciseWait(20, clock);
    EXPECT_GT(clock.now, 20000000u);
    EXPECT_LE(clock.now, 20010000u + 1000000u);
    EXPECT_EQ(clock.sleeps, 19);  // 0..18 ms asleep, then past the 18 ms mark
    EXPECT_GT(clock.yields, 0);
}

TEST(PreciseWait, LongWaitsDoNotWrapAround) {
    // At a nanosecond counter 32-bit tick arithmetic wraps after ~4.3 s.
    for (int ms : {5000, 10000, 3600000}) {
        SimulatedClock clock;
        clock.now = 0xFFFFFFFF00000000ULL;  // the counter itself may wrap in between
        std::uint64_t start = clock.now;
        preciseWait(ms, clock);
        std::uint64_t waited = clock.now - start;
        EXPECT_GT(waited, static_cast<std::uint64_t>(ms) * 1000000u) << ms;
        EXPECT_LT(waited, static_cast<std::uint64_t>(ms) * 1000000u + 2000000u) << ms;
    }
}

TEST(PreciseWait, ZeroReturnsAtOnce) {
    SimulatedClock clock;
    preciseWait(0, clock);
    EXPECT_LE(clock.sleeps + clock.yields, 1);
}

}  // namespace
}  // namespace trellon
