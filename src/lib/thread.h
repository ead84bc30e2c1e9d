// Thread: base of every background activity of the agent.
//
// Each object wraps one native thread and a life-cycle state, and sits in the
// process-wide thread registry from construction until its native thread ends
// (or until its object is destroyed), so shutdown can count and
// cancel what still runs. A thread made with deleteSelf deletes its own object
// when Run returns; nobody may touch it after that. The registry lock is
// recursive: a self-deleting thread's destructor runs while runWrapper holds
// it, and destructors that unregister themselves take it again.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

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
    std::thread native_;
    std::atomic<bool> starting_{false};  // a native thread was launched and has not ended
    std::string description_ = "Uknown thread";
};

}  // namespace trellon
