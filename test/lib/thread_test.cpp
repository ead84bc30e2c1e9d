#include "lib/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "lib/socket_exception.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using testing::captureStdout;

// A latch the test thread waits on, so a test decides when Run returns.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void release() {
        std::lock_guard<std::mutex> g(m);
        open = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return open; });
    }
};

class GatedThread : public Thread {
public:
    GatedThread(Gate& gate, std::atomic<int>& runs, bool deleteSelf = false)
        : Thread("GatedThread", deleteSelf), gate_(gate), runs_(runs) {}
    void stop() override { stopBase(); }
    void Run() override {
        runs_.fetch_add(1);
        gate_.wait();
    }

private:
    Gate& gate_;
    std::atomic<int>& runs_;
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

TEST(Thread, StartingARunningThreadAgainStartsOneNativeThread) {
    Gate gate;
    std::atomic<int> runs{0};
    GatedThread t(gate, runs);
    EXPECT_STREQ(t.stateText(), "CONSTRUCTED");
    t.start();
    t.start();  // before it can have marked itself running
    ASSERT_TRUE(waitFor([&] { return t.state() == Thread::RUNNING; }));
    t.start();
    gate.release();
    t.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_STREQ(t.stateText(), "STOPPED");
    EXPECT_FALSE(Thread::isRegistered(&t));
}

TEST(Thread, StateTextsAndStopBaseStep) {
    EXPECT_STREQ(Thread::stateText(0), "CONSTRUCTED");
    EXPECT_STREQ(Thread::stateText(1), "RUNNING");
    EXPECT_STREQ(Thread::stateText(2), "STOPPING");
    EXPECT_STREQ(Thread::stateText(3), "STOPPED");
    EXPECT_STREQ(Thread::stateText(4), "DESTRUCTED");
    EXPECT_STREQ(Thread::stateText(9), "Unknown state 9");

    Gate gate;
    std::atomic<int> runs{0};
    GatedThread t(gate, runs);
    std::string out = captureStdout([&] { t.stop(); });
    EXPECT_EQ(out, "+++ Thread GatedThread " + std::to_string(t.id()) + "\tstop, state=CONSTRUCTED\n");
    EXPECT_EQ(t.state(), Thread::CONSTRUCTED);  // only a running thread becomes STOPPED
    EXPECT_EQ(t.description(), "Uknown thread");
}

template <typename Exception>
class ThrowingThread : public Thread {
public:
    explicit ThrowingThread(Exception e) : Thread("Thrower", false), e_(std::move(e)) {}
    void stop() override { stopBase(); }
    void Run() override { throw e_; }

private:
    Exception e_;
};

TEST(Thread, ExceptionsFromRunArePrintedAndTheThreadUnregisters) {
    {
        ThrowingThread<std::runtime_error> t(std::runtime_error("boom"));
        std::string out = captureStdout([&] {
            t.start();
            t.join();
        });
        EXPECT_NE(out.find("std::runtime_error, Thread Thrower " + std::to_string(t.id()) + "\runWrapper, state=RUNNING\n"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("std::runtime_error: boom\n"), std::string::npos) << out;
        EXPECT_NE(out.find("(Thread::runWrapper() thread.cpp at line "), std::string::npos) << out;
        EXPECT_EQ(t.state(), Thread::RUNNING);  // the state stays as it was
        EXPECT_FALSE(Thread::isRegistered(&t));
    }
    {
        ThrowingThread<SocketException> t(SocketException("Connection refused", 10061));
        std::string out = captureStdout([&] {
            t.start();
            t.join();
        });
        EXPECT_NE(out.find("SocketException, Thread Thrower"), std::string::npos) << out;
        EXPECT_NE(out.find("Socket exception (error) Connection refused (Error 10061)\n"), std::string::npos) << out;
    }
    {
        ThrowingThread<int> t(42);
        std::string out = captureStdout([&] {
            t.start();
            t.join();
        });
        EXPECT_NE(out.find("Unknown exception, Thread Thrower"), std::string::npos) << out;
        EXPECT_NE(out.find("Unknown exception in thread\n"), std::string::npos) << out;
    }
}

class SelfDeletingThread : public Thread {
public:
    SelfDeletingThread(std::atomic<int>& deletions, Gate& gate)
        : Thread("SelfDeleting", true), deletions_(deletions), gate_(gate) {}
    ~SelfDeletingThread() override { deletions_.fetch_add(1); }
    void stop() override {
        stopBase();
        gate_.release();
    }
    void Run() override { gate_.wait(); }

private:
    std::atomic<int>& deletions_;
    Gate& gate_;
};

TEST(Thread, SelfDeletingThreadIsDeletedExactlyOnce) {
    std::atomic<int> deletions{0};
    Gate gate;
    int before = Thread::liveThreadCount();
    auto* t = new SelfDeletingThread(deletions, gate);
    EXPECT_EQ(Thread::liveThreadCount(), before + 1);
    t->start();
    gate.release();
    ASSERT_TRUE(waitFor([&] { return deletions.load() == 1; }));
    ASSERT_TRUE(waitFor([&] { return Thread::liveThreadCount() == before; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(deletions.load(), 1);
}

TEST(Thread, CancelAllThreadsWithEmptyRegistryReturnsAtOnce) {
    ASSERT_EQ(Thread::liveThreadCount(), 0);
    auto start = std::chrono::steady_clock::now();
    Thread::cancelAllThreads();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
}

class StubbornThread : public Thread {
public:
    explicit StubbornThread(Gate& gate) : Thread("Stubborn", false), gate_(gate) {}
    void stop() override { stopBase(); }  // does nothing to end Run
    void Run() override { gate_.wait(); }

private:
    Gate& gate_;
};

TEST(Thread, CancelAllThreadsGivesUpAfterItsWaits) {
    Thread::setCancelWait(60, 5ms);  // 60 waits, shortened from one second each
    Gate gate;
    StubbornThread t(gate);
    t.start();
    ASSERT_TRUE(waitFor([&] { return t.state() == Thread::RUNNING; }));
    auto start = std::chrono::steady_clock::now();
    captureStdout([] { Thread::cancelAllThreads(); });
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 60 * 5ms);
    EXPECT_TRUE(Thread::isRegistered(&t));  // stragglers are left as they are
    EXPECT_EQ(t.state(), Thread::STOPPED);  // stop was called on it
    gate.release();
    t.join();
    Thread::setCancelWait(60, 1000ms);
}

// Self-deleting threads that end on their own while cancellation walks its
// copy of the registry must never be touched after they freed themselves.
class RacingThread : public Thread {
public:
    explicit RacingThread(std::atomic<int>& stops) : Thread("Racing", true), stops_(stops) {}
    void stop() override {
        stopBase();
        stops_.fetch_add(1);
    }
    void Run() override { std::this_thread::sleep_for(std::chrono::microseconds(id() % 50)); }

private:
    std::atomic<int>& stops_;
};

TEST(Thread, CancelAllThreadsSurvivesThreadsEndingMeanwhile) {
    Thread::setCancelWait(200, 5ms);
    std::atomic<int> stops{0};
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 20; ++i) (new RacingThread(stops))->start();
        captureStdout([] { Thread::cancelAllThreads(); });
    }
    EXPECT_TRUE(waitFor([] { return Thread::liveThreadCount() == 0; }));
    Thread::setCancelWait(60, 1000ms);
}

// A thread that notices a stop reaching it once its destructor has begun:
// the derived part is going (or gone), so such a stop is a use of a dying
// object, and a moment later a pure virtual call.
class MortalThread : public Thread {
public:
    MortalThread(std::atomic<int>& stopsWhileDying, bool deleteSelf,
                 std::function<void()> whileDying = nullptr)
        : Thread("Mortal", deleteSelf),
          stopsWhileDying_(stopsWhileDying),
          whileDying_(std::move(whileDying)) {}
    ~MortalThread() override {
        // As the real workers do: end and join a started thread first, while
        // its members still stand.
        join();
        alive_.store(false);
        if (whileDying_) whileDying_();
        // Give a cancellation running elsewhere time to find this object.
        for (int i = 0; i < 50; ++i) std::this_thread::yield();
    }
    void stop() override {
        stopBase();
        if (!alive_.load()) stopsWhileDying_.fetch_add(1);
    }
    void Run() override {}

private:
    std::atomic<bool> alive_{true};
    std::atomic<int>& stopsWhileDying_;
    std::function<void()> whileDying_;
};

class CancelWaits {
public:
    CancelWaits(int waits, std::chrono::milliseconds interval) {
        Thread::setCancelWait(waits, interval);
    }
    ~CancelWaits() { Thread::setCancelWait(60, 1000ms); }
};

TEST(Thread, CancellationNeverStopsAThreadItsOwnerIsDestroying) {
    // The shutdown's cancellation runs while the owner of a worker that never
    // started destroys it: on the heap, on the stack and as a self-deleting
    // thread that was never started.
    CancelWaits noWaiting(0, 0ms);
    std::atomic<int> stopsWhileDying{0};
    auto cancelNow = [] { Thread::cancelAllThreads(); };
    std::string out = captureStdout([&] {
        auto heap = std::make_unique<MortalThread>(stopsWhileDying, false, cancelNow);
        heap.reset();
        { MortalThread onStack(stopsWhileDying, false, cancelNow); }
        delete new MortalThread(stopsWhileDying, true, cancelNow);
    });
    EXPECT_EQ(stopsWhileDying.load(), 0) << out;
    EXPECT_EQ(out.find("+++ Thread Mortal"), std::string::npos) << out;
    EXPECT_EQ(Thread::liveThreadCount(), 0);

    // A thread whose Run is under way is still stopped.
    Gate gate;
    std::atomic<int> runs{0};
    GatedThread running(gate, runs);
    running.start();
    ASSERT_TRUE(waitFor([&] { return running.state() == Thread::RUNNING; }));
    out = captureStdout([] { Thread::cancelAllThreads(); });
    EXPECT_NE(out.find("+++ Thread GatedThread " + std::to_string(running.id()) +
                       "\tstop, state=RUNNING\n"),
              std::string::npos)
        << out;
    gate.release();
    running.join();
    EXPECT_FALSE(Thread::isRegistered(&running));
}

TEST(Thread, CancellationRacingDestructionOfIdleAndFinishedThreads) {
    // Cancellation runs over and over on its own thread while threads that
    // never start, threads that ran (joined by their destructor) and
    // self-deleting threads come and go.
    CancelWaits noWaiting(0, 0ms);
    std::atomic<int> stopsWhileDying{0};
    int before = Thread::liveThreadCount();
    std::string out = captureStdout([&] {
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            while (!done.load()) {
                Thread::cancelAllThreads();
                std::this_thread::yield();  // let the owners take the registry lock too
            }
        });
        for (int round = 0; round < 300; ++round) {
            std::vector<std::unique_ptr<MortalThread>> idle;
            for (int i = 0; i < 4; ++i)
                idle.push_back(std::make_unique<MortalThread>(stopsWhileDying, false));
            auto finished = std::make_unique<MortalThread>(stopsWhileDying, false);
            finished->start();
            (new MortalThread(stopsWhileDying, true))->start();
            idle.clear();
            finished.reset();
        }
        done.store(true);
        canceller.join();
    });
    EXPECT_EQ(stopsWhileDying.load(), 0);
    EXPECT_TRUE(waitFor([&] { return Thread::liveThreadCount() == before; }));
}

}  // namespace
}  // namespace trellon
