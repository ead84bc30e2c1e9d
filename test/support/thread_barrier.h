// A reusable barrier for tests that line threads up, on a mutex and a
// condition variable: the C++20 barrier and latch wait on atomics, which the
// mingw-w64 runtime can leave asleep for ever (a lost wake-up), and the same
// tests run under wine.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace trellon::testing {

class ThreadBarrier {
public:
    // onEachRound runs once per round, in the last thread to arrive, before
    // any thread is let go.
    explicit ThreadBarrier(int count, std::function<void()> onEachRound = {})
        : count_(count), waiting_(count), onEachRound_(std::move(onEachRound)) {}

    void arriveAndWait() {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t round = round_;
        if (--waiting_ == 0) {
            if (onEachRound_) onEachRound_();
            waiting_ = count_;
            ++round_;
            changed_.notify_all();
            return;
        }
        changed_.wait(lock, [&] { return round_ != round; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const int count_;
    int waiting_;
    std::uint64_t round_ = 0;
    std::function<void()> onEachRound_;
};

}  // namespace trellon::testing
