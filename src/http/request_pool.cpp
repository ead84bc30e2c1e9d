#include "http/request_pool.h"

#include <atomic>
#include <cstdio>
#include <exception>

#include "http/http_request.h"
#include "lib/shutdown.h"

namespace trellon {

namespace {
std::atomic<int> gThreadSequence{0};
}

HttpRequestPool::HttpRequestPool() {
    for (auto& t : threads_) {
        t.sequenceNumber_ = gThreadSequence.fetch_add(2);
        t.thread_ = std::thread(&HttpRequestPool::worker, this, &t);
    }
}

HttpRequestPool::~HttpRequestPool() {
    shutdown();
    for (auto& t : threads_) {
        if (t.thread_.joinable()) t.thread_.join();
    }
}

void HttpRequestPool::worker(PendingHttpRequestThread* self) {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        self->wake_.wait(lock, [&] { return stopping_ || self->request_ != nullptr; });
        if (self->request_ == nullptr) break;  // stopping with nothing to serve
        self->state_ = PendingHttpRequestThread::busy;
        std::unique_ptr<HttpRequest> request = std::move(self->request_);
        lock.unlock();
        try {
            request->process();
        } catch (...) {
            std::printf("Unexpected exception in HttpRequestPool runHttpRequestWrapper\n");
            std::fflush(stdout);
        }
        request.reset();
        lock.lock();
        self->state_ = PendingHttpRequestThread::idle;
        threadAvailable_.notify_all();
    }
    self->state_ = PendingHttpRequestThread::ended;
    threadAvailable_.notify_all();
}

bool HttpRequestPool::dispatch(std::unique_ptr<HttpRequest> request) {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        if (stopping_ || isShutdownRequested()) return false;
        for (auto& t : threads_) {
            if (t.state_ == PendingHttpRequestThread::idle && t.request_ == nullptr) {
                t.state_ = PendingHttpRequestThread::busy;
                t.request_ = std::move(request);
                t.wake_.notify_one();
                return true;
            }
        }
        // Wake now and then to see the shutdown flag, which is set without this lock.
        threadAvailable_.wait_for(lock, std::chrono::milliseconds(200));
    }
}

void HttpRequestPool::shutdown() {
    std::unique_lock<std::mutex> lock(lock_);
    stopping_ = true;
    for (auto& t : threads_) t.wake_.notify_all();
    threadAvailable_.wait(lock, [&] {
        for (auto& t : threads_) {
            if (t.state_ != PendingHttpRequestThread::ended) return false;
        }
        return true;
    });
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

}  // namespace trellon
