#include "http/request_pool.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <system_error>

#include "http/http_request.h"
#include "lib/log.h"
#include "lib/shutdown.h"

namespace trellon {

namespace {
std::atomic<int> gThreadSequence{0};
}

HttpRequestPool::HttpRequestPool(Completion completion, ThreadStarter starter)
    : completion_(std::move(completion)), starter_(std::move(starter)) {
    if (!starter_)
        starter_ = [](std::function<void()> body) { return platform::NativeThread(std::move(body)); };
    for (auto& t : threads_) t.sequenceNumber_ = gThreadSequence.fetch_add(2);
    replenish();
}

HttpRequestPool::~HttpRequestPool() {
    shutdown();
}

void HttpRequestPool::startThread(PendingHttpRequestThread& slot) {
    // Called with the lock held; the new thread waits for it before it looks.
    try {
        slot.thread_ = starter_([this, &slot] { worker(&slot); });
        slot.state_ = PendingHttpRequestThread::idle;
    } catch (const std::exception& e) {
        // The agent serves with the threads it has; the loop tries again later.
        if (!startFailureReported_) {
            startFailureReported_ = true;
            char line[300];
            std::snprintf(line, sizeof(line), "Could not start an HTTP request thread: %s",
                          e.what());
            logLine(line);
        }
    }
}

int HttpRequestPool::replenish() {
    std::lock_guard<std::mutex> guard(lock_);
    int live = 0;
    for (auto& t : threads_) {
        if (!stopping_ && t.state_ == PendingHttpRequestThread::ended) {
            if (t.thread_.joinable()) t.thread_.join();  // a thread that ended long ago
            startThread(t);
        }
        live += t.state_ != PendingHttpRequestThread::ended ? 1 : 0;
    }
    if (live == kPoolSize) startFailureReported_ = false;
    return live;
}

void HttpRequestPool::worker(PendingHttpRequestThread* self) {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        work_.wait(lock, [&] { return stopping_ || workWaiting(); });
        bool slow = false;
        std::unique_ptr<HttpRequest> request = takeNext(slow);
        if (!request) break;  // stopping with nothing to serve
        self->state_ = PendingHttpRequestThread::busy;
        lock.unlock();
        try {
            request->process();
        } catch (...) {
            std::printf("Unexpected exception in HttpRequestPool runHttpRequestWrapper\n");
            std::fflush(stdout);
        }
        try {
            if (completion_) completion_(std::move(request));
        } catch (...) {
            // The handler could not take it (out of memory): closing it is all that is left.
        }
        request.reset();
        lock.lock();
        self->state_ = PendingHttpRequestThread::idle;
        if (slow && --slowBusy_ < kSlowThreads && !slowQueue_.empty()) work_.notify_one();
        if (stopping_) break;
    }
    self->state_ = PendingHttpRequestThread::ended;
    threadEnded_.notify_all();
}

bool HttpRequestPool::workWaiting() const {
    return !queue_.empty() || (!slowQueue_.empty() && slowBusy_ < kSlowThreads);
}

std::unique_ptr<HttpRequest> HttpRequestPool::takeNext(bool& slow) {
    std::unique_ptr<HttpRequest> next;
    // Slow ones first while they have room: they have waited behind their cap.
    if (!slowQueue_.empty() && slowBusy_ < kSlowThreads) {
        next = std::move(slowQueue_.front());
        slowQueue_.pop_front();
        ++slowBusy_;
        slow = true;
    } else if (!queue_.empty()) {
        next = std::move(queue_.front());
        queue_.pop_front();
    }
    return next;
}

bool HttpRequestPool::dispatch(std::unique_ptr<HttpRequest> request) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!stopping_ && !isShutdownRequested()) {
            bool slow = request->mayWaitOnTheNetwork();
            (slow ? slowQueue_ : queue_).push_back(std::move(request));
            if (!slow || slowBusy_ < kSlowThreads) work_.notify_one();
            return true;
        }
    }
    request.reset();  // outside the lock: closing is socket I/O
    return false;
}

std::deque<std::unique_ptr<HttpRequest>> HttpRequestPool::beginShutdown() {
    std::deque<std::unique_ptr<HttpRequest>> queued;
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    queued.swap(queue_);
    for (auto& slow : slowQueue_) queued.push_back(std::move(slow));
    slowQueue_.clear();
    work_.notify_all();
    return queued;
}

void HttpRequestPool::shutdown() {
    beginShutdown();  // the queued requests are dropped, outside the lock
    {
        std::unique_lock<std::mutex> lock(lock_);
        threadEnded_.wait(lock, [&] {
            for (auto& t : threads_) {
                if (t.state_ != PendingHttpRequestThread::ended) return false;
            }
            return true;
        });
    }
    for (auto& t : threads_) {
        if (t.thread_.joinable()) t.thread_.join();
    }
}

int HttpRequestPool::liveThreadCount() {
    std::lock_guard<std::mutex> guard(lock_);
    int count = 0;
    for (auto& t : threads_) count += t.state_ != PendingHttpRequestThread::ended ? 1 : 0;
    return count;
}

int HttpRequestPool::busyThreadCount() {
    std::lock_guard<std::mutex> guard(lock_);
    int count = 0;
    for (auto& t : threads_) count += t.state_ == PendingHttpRequestThread::busy ? 1 : 0;
    return count;
}

int HttpRequestPool::queuedCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(queue_.size() + slowQueue_.size());
}

}  // namespace trellon
