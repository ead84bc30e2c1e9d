// Thread: base of every background activity of the agent.
//
// Each object wraps one native thread and a life-cycle state, and sits in the
// process-wide thread registry from construction until its Run ends (or, for
// one that never ran, until its object is destroyed), so shutdown can count
// and cancel what still runs. A thread made with deleteSelf deletes its own
// object when Run returns; nobody may touch it after that. The registry lock is
// recursive: a self-deleting thread's destructor runs while runWrapper holds
// it, and destructors that unregister themselves take it again.
//
// cancelAllThreads stops only threads whose Run is under way. A thread that
// was never started has nothing to stop, and its owner may be destroying it at
// that very moment: a stop then would run on an object whose derived part is
// already gone. A thread whose Run has ended leaves the registry, under its
// lock, before its join returns. So an owner that destroys a thread it started
// ends and joins it in its own (most derived) destructor, as Run may not
// outlive the members it uses either; after that join no cancellation can
// reach the object. (A stop sets STOPPED while Run still runs: the state
// never tells that Run has ended.)
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "platform/native_thread.h"

namespace trellon {

class Thread {
public:
    enum State { CONSTRUCTED = 0, RUNNING = 1, STOPPING = 2, STOPPED = 3, DESTRUCTED = 4 };

    Thread(std::string name, bool deleteSelf);
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Ask the thread to end its work. Overrides call stopBase() and then do what
    // makes their Run return; they must not wait for the thread.
    virtual void stop() = 0;
    virtual void Run() = 0;

    void start();  // does nothing while a native thread runs
    void join();   // waits for the native thread, if one was started

    void raisePriority();
    void normalPriority();

    int state() const { return state_.load(); }
    const char* stateText() const { return stateText(state_.load()); }
    static const char* stateText(int state);

    const std::string& name() const { return name_; }
    int id() const { return id_; }
    bool deleteSelf() const { return mDeleteSelf; }
    const std::string& description() const { return description_; }

    static void unregister(Thread* thread);
    static int liveThreadCount();
    static bool isRegistered(const Thread* thread);
    static void cancelAllThreads();

    // How long cancelAllThreads() waits for stragglers (60 waits of one second
    // unless a test shortens it).
    static void setCancelWait(int waits, std::chrono::milliseconds interval);

    static void runWrapper(Thread* thread);

    static std::recursive_mutex& registryLock();

protected:
    void stopBase();  // the step every stop() override performs first
    void setState(State state) { state_.store(state); }
    void setDescription(std::string text) { description_ = std::move(text); }

    std::string name_;
    int threadIdentity_;
    bool mDeleteSelf;
    bool flag_ = false;
    std::recursive_mutex lock_;  // free for derived classes' own fields

private:
    std::atomic<int> state_{CONSTRUCTED};
    int id_;
    platform::NativeThread native_;
    // A native thread was launched and its Run has not ended; only then is
    // there anything for cancelAllThreads to stop.
    std::atomic<bool> launched_{false};
    std::string description_ = "Uknown thread";
};

}  // namespace trellon
