#include "lib/thread.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "lib/error_report.h"
#include "lib/socket_exception.h"
#include "platform/clock.h"
#include "platform/thread_priority.h"

namespace trellon {

namespace {

std::vector<Thread*>& registry() {
    static std::vector<Thread*> list;
    return list;
}

std::atomic<int> gThreadIdCounter{0};
std::atomic<int> gCancelWaits{60};
std::atomic<long long> gCancelIntervalMs{1000};

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::recursive_mutex& Thread::registryLock() {
    static std::recursive_mutex m;
    return m;
}

Thread::Thread(std::string name, bool deleteSelf)
    : name_(std::move(name)), mDeleteSelf(deleteSelf), id_(++gThreadIdCounter) {
    threadIdentity_ = id_;
    std::lock_guard<std::recursive_mutex> guard(registryLock());
    registry().push_back(this);
}

Thread::~Thread() {
    // A thread that never ran is still registered; it must not stay there as
    // a dangling pointer. (cancelAllThreads never stops such a thread, so it
    // cannot reach this object while its derived part is being destroyed.)
    unregister(this);
    if (state_.load() != DESTRUCTED) {
        state_.store(DESTRUCTED);
        description_.clear();
    }
    if (native_.joinable()) {
        // An owner that deletes a thread it never joined: wait for it rather
        // than leave a native thread running on a freed object.
        if (native_.isCurrent()) native_.detach();
        else native_.join();
    }
}

const char* Thread::stateText(int state) {
    switch (state) {
        case CONSTRUCTED: return "CONSTRUCTED";
        case RUNNING: return "RUNNING";
        case STOPPING: return "STOPPING";
        case STOPPED: return "STOPPED";
        case DESTRUCTED: return "DESTRUCTED";
        default: {
            static thread_local char buffer[32];
            std::snprintf(buffer, sizeof(buffer), "Unknown state %d", state);
            return buffer;
        }
    }
}

void Thread::start() {
    if (state_.load() == RUNNING) return;
    // A second start before the new thread has marked itself running must not
    // launch another one either.
    bool expected = false;
    if (!launched_.compare_exchange_strong(expected, true)) return;
    if (native_.joinable()) native_.join();  // a finished earlier run
    {
        // A thread run again after an earlier run ended left the registry then.
        std::lock_guard<std::recursive_mutex> guard(registryLock());
        auto& list = registry();
        if (std::find(list.begin(), list.end(), this) == list.end()) list.push_back(this);
    }
    try {
        if (mDeleteSelf) {
            // The new thread may finish and free this object at once, so
            // nothing of it is touched once the thread exists.
            platform::NativeThread([this] { runWrapper(this); }).detach();
        } else {
            native_ = platform::NativeThread([this] { runWrapper(this); });
        }
    } catch (const std::system_error&) {
        launched_.store(false);
        failureReport("Thread start failed in call to _beginthread", __FILE__, __LINE__, false);
        // Nobody touches a self-deleting thread after start(): unstarted, it
        // would stay in the registry for ever, and with it what it holds (a
        // test's record and its running-test slot).
        if (mDeleteSelf) delete this;
    }
}

void Thread::join() {
    if (threadIdentity_ == 0) return;
    if (native_.joinable() && !native_.isCurrent()) native_.join();
}

void Thread::raisePriority() { platform::raiseCurrentThreadPriority(); }

void Thread::normalPriority() { platform::normalCurrentThreadPriority(); }

void Thread::stopBase() {
    printLine("+++ Thread " + name_ + " " + std::to_string(id_) + "\tstop, state=" + stateText() + "\n");
    int running = RUNNING;
    state_.compare_exchange_strong(running, STOPPED);
}

void Thread::runWrapper(Thread* thread) {
    thread->state_.store(RUNNING);
    auto heading = [thread](const char* kind) {
        return std::string(kind) + ", Thread " + thread->name_ + " " + std::to_string(thread->id_) +
               "\runWrapper, state=" + thread->stateText() + "\n";
    };
    auto location = [](int line) {
        return std::string("(Thread::runWrapper() ") + sourceFileName(__FILE__) + " at line " +
               std::to_string(line) + "\n";
    };
    bool ended = false;
    try {
        thread->Run();
        ended = true;
    } catch (const SocketException& e) {
        printLine(heading("SocketException") + e.description() + location(__LINE__));
    } catch (const std::runtime_error& e) {
        printLine(heading("std::runtime_error") + "std::runtime_error: " + e.what() + "\n" +
                  location(__LINE__));
    } catch (...) {
        printLine(heading("Unknown exception") + "Unknown exception in thread\n" + location(__LINE__));
    }
    std::lock_guard<std::recursive_mutex> guard(registryLock());
    // Out of the registry first: a self-deleting thread is freed here, and an
    // owner whose join has returned may free the object at once. A
    // cancellation that is stopping it holds this lock until its stop returns.
    unregister(thread);
    if (ended && thread->state_.load() != DESTRUCTED) thread->state_.store(STOPPED);
    if (thread->mDeleteSelf) {
        delete thread;
        return;
    }
    thread->launched_.store(false);
}

void Thread::unregister(Thread* thread) {
    std::lock_guard<std::recursive_mutex> guard(registryLock());
    auto& list = registry();
    auto it = std::find(list.begin(), list.end(), thread);
    if (it != list.end()) list.erase(it);
}

int Thread::liveThreadCount() {
    std::lock_guard<std::recursive_mutex> guard(registryLock());
    return static_cast<int>(registry().size());
}

bool Thread::isRegistered(const Thread* thread) {
    std::lock_guard<std::recursive_mutex> guard(registryLock());
    const auto& list = registry();
    return std::find(list.begin(), list.end(), thread) != list.end();
}

void Thread::setCancelWait(int waits, std::chrono::milliseconds interval) {
    gCancelWaits.store(waits);
    gCancelIntervalMs.store(interval.count());
}

void Thread::cancelAllThreads() {
    std::vector<std::pair<Thread*, int>> copy;
    {
        std::lock_guard<std::recursive_mutex> guard(registryLock());
        for (Thread* t : registry()) copy.emplace_back(t, t->id_);
    }
    for (auto it = copy.rbegin(); it != copy.rend(); ++it) {
        // A self-deleting thread may have ended and freed itself since the copy
        // was taken: only threads still registered, checked under the lock, are
        // touched, and the lock is held across stop() so none can vanish meanwhile.
        std::lock_guard<std::recursive_mutex> guard(registryLock());
        Thread* t = it->first;
        if (!isRegistered(t) || t->id_ != it->second) continue;
        if (t->state_.load() == DESTRUCTED) {
            printLine("Thread already destructed\n");
        } else if (t->launched_.load()) {
            t->stop();
        }
        // Never started: there is no Run to end, and the object may be half
        // built or half destroyed by its owner right now.
    }
    int waits = gCancelWaits.load();
    for (int i = 0; i < waits; ++i) {
        if (liveThreadCount() == 0) return;
        platform::sleepMilliseconds(static_cast<int>(gCancelIntervalMs.load()));
    }
}

}  // namespace trellon
