// HttpRequestPool: ten request threads (PendingHttpRequestThread) that serve
// the requests whose heads the connection loop has read.
//
// dispatch() never waits: a request for which no thread is idle joins a
// queue, and the next thread to become idle takes the oldest one. The pool
// lock guards every thread's state and the queue. When a thread has served
// a request (it has an answer, or wants to wait for something), the request
// goes to the completion handler (the connection loop, which sends the answer
// or parks the request); without a handler it is destroyed, which closes it.
//
// Requests for commands that may wait on other computers (a run command's
// remote check, a name to resolve) take at most kSlowThreads of the threads
// at once, so ten such requests cannot keep the pages, status and cancel
// from being served; they queue for their own turn instead.
//
// A thread that cannot be started is reported and the pool runs with those
// it has; replenish() tries again. Shutdown lets every thread finish the
// request it serves, drops what is queued, and waits until all have ended.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/native_thread.h"

namespace trellon {

class HttpRequest;

class PendingHttpRequestThread {
public:
    enum State { idle = 0, busy = 1, ended = 2 };

    int sequenceNumber() const { return sequenceNumber_; }

private:
    friend class HttpRequestPool;
    int sequenceNumber_ = 0;
    State state_ = ended;  // until its thread runs
    platform::NativeThread thread_;
};

class HttpRequestPool {
public:
    static constexpr int kPoolSize = 10;
    static constexpr int kSlowThreads = kPoolSize - 2;

    using Completion = std::function<void(std::unique_ptr<HttpRequest>)>;
    // Starts one worker; tests replace it to see the pool survive a failed start.
    using ThreadStarter = std::function<platform::NativeThread(std::function<void()>)>;

    explicit HttpRequestPool(Completion completion = {}, ThreadStarter starter = {});
    ~HttpRequestPool();  // shuts down if that has not happened yet

    HttpRequestPool(const HttpRequestPool&) = delete;
    HttpRequestPool& operator=(const HttpRequestPool&) = delete;

    // Queues the request for the next idle thread. Returns false (and drops
    // the request, closing it) once shutdown has begun.
    bool dispatch(std::unique_ptr<HttpRequest> request);

    // Starts the threads that are missing (a start that failed); returns how
    // many live.
    int replenish();

    // No new requests; idle threads end now, busy ones when their request is
    // served. Does not wait. Gives back the requests still queued.
    std::deque<std::unique_ptr<HttpRequest>> beginShutdown();
    // beginShutdown (dropping the queued requests, which closes them), then
    // waits until every thread has ended.
    void shutdown();

    int liveThreadCount();
    int busyThreadCount();
    int queuedCount();

private:
    void startThread(PendingHttpRequestThread& slot);
    // The next request a thread may take now, or null (called with the lock held).
    std::unique_ptr<HttpRequest> takeNext(bool& slow);
    bool workWaiting() const;
    void worker(PendingHttpRequestThread* self);

    Completion completion_;
    ThreadStarter starter_;
    std::mutex lock_;               // the pool lock: states, queue, stopping_
    std::condition_variable work_;  // a request was queued, or shutdown began
    std::condition_variable threadEnded_;
    std::deque<std::unique_ptr<HttpRequest>> queue_;      // in arrival order
    std::deque<std::unique_ptr<HttpRequest>> slowQueue_;  // those that may wait on the network
    int slowBusy_ = 0;
    bool stopping_ = false;
    bool startFailureReported_ = false;
    PendingHttpRequestThread threads_[kPoolSize];
};

}  // namespace trellon
