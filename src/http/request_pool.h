// HttpRequestPool: ten request threads (PendingHttpRequestThread) that serve
// the connections the listener accepts.
//
// The accepting thread dispatches each request to the lowest-numbered idle
// thread; when none is idle it waits (without holding the pool lock) until
// one becomes free, so at most ten requests run at once and further
// connections wait in the listen backlog. The pool lock guards every
// thread's state and request pointer. Shutdown wakes every thread and waits
// until each has ended; a request being served is finished first.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace trellon {

class HttpRequest;

class PendingHttpRequestThread {
public:
    enum State { idle = 0, busy = 1, ended = 2 };

    int sequenceNumber() const { return sequenceNumber_; }

private:
    friend class HttpRequestPool;
    int sequenceNumber_ = 0;
    std::unique_ptr<HttpRequest> request_;  // owned once dispatched
    State state_ = idle;
    std::condition_variable wake_;  // "PendingHttpRequestThread<n>": a request or shutdown arrived
    std::thread thread_;
};

class HttpRequestPool {
public:
    static constexpr int kPoolSize = 10;

    HttpRequestPool();
    ~HttpRequestPool();  // shuts down if that has not happened yet

    HttpRequestPool(const HttpRequestPool&) = delete;
    HttpRequestPool& operator=(const HttpRequestPool&) = delete;

    // Hands the request to an idle thread, waiting for one when all are busy.
    // Returns false (and drops the request) once shutdown is requested.
    bool dispatch(std::unique_ptr<HttpRequest> request);

    void shutdown();
    int liveThreadCount();
    int busyThreadCount();

private:
    void worker(PendingHttpRequestThread* self);

    std::mutex lock_;                          // the pool lock
    std::condition_variable threadAvailable_;  // a thread became idle or ended
    bool stopping_ = false;
    PendingHttpRequestThread threads_[kPoolSize];
};

}  // namespace trellon
