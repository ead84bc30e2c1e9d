// RunningTestSlots: the process-wide cap on tests that run at once.
//
// Whatever starts a test (the run commands; the stream server and the plug-in
// runner alike) takes a slot before it takes the test's record, and refuses
// the test when none is free. A slot is an owning handle that gives itself
// back when destroyed, so no way out of the starter (an early return, an
// exception, a thread that is never made) can keep one.
//
// holdWhileRunning moves the slot into the record pointer that the test
// thread is given: the slot then goes back when the last copy of that pointer
// goes, that is when the thread object (and the workers it handed the record
// to) is gone, however the test ended. The test log's own copy and those the
// pages take are separate pointers and do not hold the slot.
//
// Any thread may take and give back slots; the count is one atomic.
#pragma once

#include <memory>

namespace trellon {

class TestResult;

class RunningTestSlot {
public:
    RunningTestSlot() = default;  // holds no slot
    ~RunningTestSlot() { release(); }
    RunningTestSlot(RunningTestSlot&& other) noexcept : held_(other.held_) { other.held_ = false; }
    RunningTestSlot& operator=(RunningTestSlot&& other) noexcept;
    RunningTestSlot(const RunningTestSlot&) = delete;
    RunningTestSlot& operator=(const RunningTestSlot&) = delete;

    explicit operator bool() const { return held_; }
    void release();

private:
    friend class RunningTestSlots;
    explicit RunningTestSlot(bool held) : held_(held) {}

    bool held_ = false;
};

class RunningTestSlots {
public:
    static constexpr int kMaxRunningTests = 20;

    // A slot, or an empty handle when kMaxRunningTests are taken.
    static RunningTestSlot tryAcquire();
    static int inUse();

    // The record as the test thread keeps it: the same object, and the slot
    // stays taken until every copy of the returned pointer is gone.
    static std::shared_ptr<TestResult> holdWhileRunning(std::shared_ptr<TestResult> record,
                                                        RunningTestSlot slot);
};

}  // namespace trellon
