#include "results/running_test_slots.h"

#include <atomic>

#include "results/test_result.h"

namespace trellon {

namespace {

std::atomic<int> gSlotsInUse{0};

// What the test thread's record pointer owns besides the record.
struct HeldRecord {
    std::shared_ptr<TestResult> record;
    RunningTestSlot slot;
};

}  // namespace

RunningTestSlot& RunningTestSlot::operator=(RunningTestSlot&& other) noexcept {
    if (this != &other) {
        release();
        held_ = other.held_;
        other.held_ = false;
    }
    return *this;
}

void RunningTestSlot::release() {
    if (!held_) return;
    held_ = false;
    gSlotsInUse.fetch_sub(1);
}

RunningTestSlot RunningTestSlots::tryAcquire() {
    int taken = gSlotsInUse.load();
    while (taken < kMaxRunningTests) {
        if (gSlotsInUse.compare_exchange_weak(taken, taken + 1)) return RunningTestSlot(true);
    }
    return RunningTestSlot();
}

int RunningTestSlots::inUse() {
    return gSlotsInUse.load();
}

std::shared_ptr<TestResult> RunningTestSlots::holdWhileRunning(std::shared_ptr<TestResult> record,
                                                               RunningTestSlot slot) {
    if (!record) return nullptr;  // the slot goes back here
    TestResult* object = record.get();
    auto held = std::make_shared<HeldRecord>(HeldRecord{std::move(record), std::move(slot)});
    // Aliasing: copies point at the record but share ownership of held.
    return std::shared_ptr<TestResult>(std::move(held), object);
}

}  // namespace trellon
