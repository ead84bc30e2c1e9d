#include "results/running_test_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "results/test_result.h"
#include "support/thread_barrier.h"

namespace trellon {
namespace {

constexpr int kMax = RunningTestSlots::kMaxRunningTests;

class RunningTestSlotsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(RunningTestSlots::inUse(), 0) << "a slot leaked"; }
    void TearDown() override { EXPECT_EQ(RunningTestSlots::inUse(), 0) << "a slot leaked"; }
};

TEST_F(RunningTestSlotsTest, AtMostTheCapAndEveryHandleGivesItsSlotBack) {
    EXPECT_EQ(kMax, 20);
    std::vector<RunningTestSlot> held;
    for (int i = 0; i < kMax; ++i) {
        held.push_back(RunningTestSlots::tryAcquire());
        ASSERT_TRUE(held.back()) << i;
    }
    EXPECT_EQ(RunningTestSlots::inUse(), kMax);
    EXPECT_FALSE(RunningTestSlots::tryAcquire());
    EXPECT_EQ(RunningTestSlots::inUse(), kMax);  // a refusal takes nothing

    // Moving hands the slot over once; the emptied handle gives nothing back.
    RunningTestSlot moved = std::move(held.back());
    held.pop_back();
    EXPECT_FALSE(RunningTestSlots::tryAcquire());
    RunningTestSlot target;
    target = std::move(moved);
    EXPECT_FALSE(moved);
    EXPECT_TRUE(target);
    target.release();
    target.release();
    EXPECT_EQ(RunningTestSlots::inUse(), kMax - 1);

    // Assigning over a held slot gives the old one back.
    RunningTestSlot again = RunningTestSlots::tryAcquire();
    ASSERT_TRUE(again);
    again = std::move(held.back());
    held.pop_back();
    EXPECT_EQ(RunningTestSlots::inUse(), kMax - 1);
    held.clear();
    EXPECT_EQ(RunningTestSlots::inUse(), 1);
}

// The test thread's pointer and every copy of it (its workers') keep the
// slot; the log's own pointer does not.
TEST_F(RunningTestSlotsTest, RecordPointerHoldsTheSlotUntilItsLastCopyGoes) {
    auto record = std::make_shared<TestResult>(1, LocalEndpoint{"here", "here", 4044});
    std::shared_ptr<TestResult> thread =
        RunningTestSlots::holdWhileRunning(record, RunningTestSlots::tryAcquire());
    EXPECT_EQ(thread.get(), record.get());
    EXPECT_EQ(RunningTestSlots::inUse(), 1);
    std::shared_ptr<TestResult> worker = thread;
    thread.reset();
    EXPECT_EQ(RunningTestSlots::inUse(), 1);
    worker->setState(TestResult::kFinished);
    worker.reset();
    EXPECT_EQ(RunningTestSlots::inUse(), 0);
    // The record itself lives on with its other owner.
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_EQ(record.use_count(), 1);

    // No record: nothing holds the slot.
    EXPECT_EQ(RunningTestSlots::holdWhileRunning(nullptr, RunningTestSlots::tryAcquire()), nullptr);
}

// Starters race for the last slots: in each round 8 threads ask for 3 each
// at once, and exactly the cap is handed out, whatever the interleaving.
TEST_F(RunningTestSlotsTest, ConcurrentStartersGetExactlyTheCap) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    std::atomic<int> granted{0};
    std::atomic<int> badRounds{0};
    testing::ThreadBarrier held(kThreads, [&] {
        if (granted.load() != kMax || RunningTestSlots::inUse() != kMax) ++badRounds;
        granted.store(0);
    });
    testing::ThreadBarrier released(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                std::vector<RunningTestSlot> mine;
                for (int k = 0; k < 3; ++k) {
                    if (RunningTestSlot slot = RunningTestSlots::tryAcquire()) {
                        mine.push_back(std::move(slot));
                        ++granted;
                    }
                }
                held.arriveAndWait();
                mine.clear();
                released.arriveAndWait();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(badRounds.load(), 0);
}

}  // namespace
}  // namespace trellon
