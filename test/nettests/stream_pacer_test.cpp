#include "nettests/stream_pacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace trellon {
namespace {

constexpr std::uint64_t kMs = 1000000;  // ns
constexpr std::uint64_t kUs = 1000;

// A simulated counter: a sleep ends `wakeLate` after its deadline, a yield
// takes a microsecond, and the test moves time on for what it does itself.
class FakeClock : public PacingClock {
public:
    std::uint64_t ticks() override { return now; }
    void sleepUntil(std::uint64_t deadline) override {
        longestSleep = std::max(longestSleep, deadline > now ? deadline - now : 0);
        ++sleeps;
        now = std::max(now, deadline) + wakeLate;
    }
    void yield() override {
        ++yields;
        now += kUs;
    }

    std::uint64_t now = 5 * kMs;
    std::uint64_t wakeLate = 0;
    std::uint64_t longestSleep = 0;
    int sleeps = 0;
    int yields = 0;
};

// Sends `count` packets: each send takes sendTime (or the value given for
// that packet); returns when each packet went, relative to the start.
std::vector<std::uint64_t> run(StreamPacer& pacer, FakeClock& clock, int count,
                               std::uint64_t sendTime,
                               const std::vector<std::pair<int, std::uint64_t>>& slowSends = {}) {
    std::vector<std::uint64_t> departures;
    pacer.start();
    std::uint64_t start = clock.now;
    for (int i = 0; i < count; ++i) {
        departures.push_back(clock.now - start);
        std::uint64_t took = sendTime;
        for (auto [index, time] : slowSends)
            if (index == i) took = time;
        clock.now += took;
        pacer.packetSent(clock.now);
        if (i + 1 < count) {
            EXPECT_TRUE(pacer.waitUntilDue([] { return false; }));
        }
    }
    return departures;
}

TEST(StreamPacerTest, DeparturesKeepTheScheduleWhateverTheSendsTake) {
    FakeClock clock;
    StreamPacer pacer(20 * kMs, clock);
    auto departures = run(pacer, clock, 100, 10 * kUs);
    for (int i = 0; i < 100; ++i) {
        std::uint64_t planned = static_cast<std::uint64_t>(i) * 20 * kMs;
        EXPECT_GE(departures[i], planned) << i;
        EXPECT_LE(departures[i] - planned, 1 * kUs) << i;
    }
    // It slept most of each period and spun only the last stretch.
    EXPECT_LE(clock.yields, 100 * static_cast<int>(StreamPacer::kSpinMargin / kUs + 1));
    EXPECT_GE(clock.sleeps, 99);

    // Wake-ups that come late, within the spin margin, change nothing; later
    // ones make single packets late but the schedule does not drift.
    for (std::uint64_t late : {100 * kUs, 900 * kUs}) {
        FakeClock slow;
        slow.wakeLate = late;
        StreamPacer paced(4 * kMs, slow);
        auto times = run(paced, slow, 500, 20 * kUs);
        std::uint64_t worst = 0;
        for (int i = 0; i < 500; ++i) {
            std::uint64_t planned = static_cast<std::uint64_t>(i) * 4 * kMs;
            ASSERT_GE(times[i], planned);
            worst = std::max(worst, times[i] - planned);
        }
        if (late < StreamPacer::kSpinMargin) {
            EXPECT_LE(worst, 1 * kUs) << late;
        } else {
            EXPECT_LE(worst, late) << late;
        }
    }
}

TEST(StreamPacerTest, ALateSendIsMadeUpAndAStallIsNotRepaidInABurst) {
    // One send takes 30 ms of a 20 ms period: the next packet leaves at once,
    // the ones after are back on the schedule.
    FakeClock clock;
    StreamPacer pacer(20 * kMs, clock);
    auto departures = run(pacer, clock, 10, 10 * kUs, {{3, 30 * kMs}});
    EXPECT_EQ(departures[4], 3 * 20 * kMs + 30 * kMs);
    for (int i = 5; i < 10; ++i) EXPECT_LE(departures[i] - i * 20 * kMs, 1 * kUs) << i;
    EXPECT_EQ(pacer.carry(), 0u);

    // A stall of a second: the debt is capped, so at most
    // kMaxCarry / period + 1 packets go back to back.
    FakeClock stalled;
    StreamPacer video(4 * kMs, stalled);
    auto times = run(video, stalled, 60, 10 * kUs, {{10, 1000 * kMs}});
    int burst = 0;
    for (int i = 12; i < 60 && times[i] - times[i - 1] < 1 * kMs; ++i) ++burst;
    EXPECT_LE(burst, static_cast<int>(StreamPacer::kMaxCarry / (4 * kMs)) + 1);
    EXPECT_GE(burst, 1);
    // After it the spacing is the period again.
    EXPECT_LE(times[59] - times[58], 4 * kMs + 1 * kUs);
    EXPECT_GE(times[59] - times[58], 4 * kMs - 1 * kUs);
}

TEST(StreamPacerTest, AWaitEndsAtOnceWhenToldToStop) {
    // One packet a minute; the stop comes 120 ms into the wait.
    FakeClock clock;
    StreamPacer pacer(60000 * kMs, clock);
    pacer.start();
    std::uint64_t start = clock.now;
    pacer.packetSent(clock.now);
    int asked = 0;
    bool due = pacer.waitUntilDue([&] {
        ++asked;
        return clock.now - start >= 120 * kMs;
    });
    EXPECT_FALSE(due);
    EXPECT_LE(clock.now - start, 120 * kMs + StreamPacer::kSlice);
    EXPECT_LE(clock.longestSleep, StreamPacer::kSlice);
    EXPECT_GE(asked, 3);
}

}  // namespace
}  // namespace trellon
