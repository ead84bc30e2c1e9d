#include "http/connection_loop.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "http/http_request.h"
#include "http/request_pool.h"
#include "lib/address.h"
#include "lib/error_report.h"
#include "lib/log.h"
#include "lib/shutdown.h"
#include "lib/socket_io.h"
#include "platform/clock.h"
#include "platform/socket_error.h"

namespace trellon {

namespace {

constexpr std::uint64_t kTick = platform::kTicksPerMillisecond;
// The longest sleep: the shutdown flag is also set without a wake.
constexpr int kLongestWaitMs = 250;
// How long accepting pauses after the system ran out of descriptors.
constexpr int kAcceptPauseMs = 100;
// How often a parked request's condition is looked at.
constexpr int kConditionPollMs = 50;
// Accepts taken per wake, so a flood of connections cannot starve the others.
constexpr int kAcceptsPerWake = 128;
// Bytes read per wake from one connection.
constexpr int kReadsPerWake = 16;
// How long, at shutdown, answers still being sent may take.
constexpr int kStoppingSendMs = 2000;
constexpr std::uint64_t kReportEvery = 10000 * kTick;

std::uint64_t after(std::uint64_t now, int milliseconds) {
    return now + static_cast<std::uint64_t>(milliseconds) * kTick;
}

}  // namespace

HttpConnectionLoop::Limits HttpConnectionLoop::limitsForDescriptors(int descriptorLimit) {
    Limits limits;
    // A quarter of the descriptors, and at least 48, stay for the agent's
    // listeners, its test sockets, plug-in pipes and the files it serves.
    int room = descriptorLimit - std::max(48, descriptorLimit / 4);
    limits.maxConnections = std::clamp(room, 8, 1000);
    // One address may hold most, never all: others always find room.
    limits.maxPerAddress = std::max(1, limits.maxConnections * 3 / 5);
    return limits;
}

HttpConnectionLoop::HttpConnectionLoop(SocketHandle listener, Limits limits, RequestFactory factory)
    : listener_(listener), limits_(limits), factory_(std::move(factory)) {}

HttpConnectionLoop::~HttpConnectionLoop() {
    {
        std::lock_guard<std::mutex> guard(inboxLock_);
        inboxClosed_ = true;
        inbox_.clear();
    }
    closeWhere([](const Connection&) { return true; });
}

void HttpConnectionLoop::stop() {
    stopRequested_.store(true);
    poller_.wake();
}

void HttpConnectionLoop::handBack(std::unique_ptr<HttpRequest> request) {
    {
        std::lock_guard<std::mutex> guard(inboxLock_);
        if (!inboxClosed_) {
            inbox_.push_back(std::move(request));
            poller_.wake();
            return;
        }
    }
    request.reset();  // the loop has ended: closing is all that is left
}

bool HttpConnectionLoop::run(HttpRequestPool& pool) {
    // The waiting set records the socket error when it fails.
    if (!poller_.valid() || !poller_.watch(listener_, platform::Readiness::kReadable)) return false;
    bool listenerFailed = false;
    std::vector<platform::Readiness::Event> events;
    for (;;) {
        std::uint64_t now = platform::monotonicTicks();
        if (!stopping_ && (stopRequested_.load() || isShutdownRequested() || listenerFailed))
            startStopping(pool);
        if (stopping_) {
            bool answersLeft = false;
            for (const auto& entry : connections_) {
                if (entry.second.phase != Phase::readingHead) answersLeft = true;
            }
            bool inboxEmpty;
            {
                std::lock_guard<std::mutex> guard(inboxLock_);
                inboxEmpty = inbox_.empty();
            }
            if (!answersLeft && inboxEmpty && pool.liveThreadCount() == 0) break;
        }

        if (poller_.wait(events, waitMilliseconds(now)) < 0) {
            // Only a broken waiting set fails here; pause rather than spin.
            platform::sleepMilliseconds(kAcceptPauseMs);
        }
        now = platform::monotonicTicks();
        for (const auto& event : events) {
            if (event.handle == listener_) {
                if (stopping_) continue;
                if ((event.events & (platform::Readiness::kError | platform::Readiness::kHangup)) !=
                        0 &&
                    (event.events & platform::Readiness::kReadable) == 0) {
                    listenerFailed = true;  // shut down under us by stop()
                    continue;
                }
                acceptAll(pool, now);
                if (acceptFailed_) listenerFailed = true;
                continue;
            }
            auto it = connections_.find(event.handle);
            if (it == connections_.end()) continue;
            Connection& c = it->second;
            switch (c.phase) {
                case Phase::readingHead:
                    onReadable(c, event.handle, pool, now);
                    break;
                case Phase::writing:
                    onWritable(c, event.handle, now);
                    break;
                case Phase::lingering:
                    linger(c, event.handle, now);
                    break;
                case Phase::working:
                case Phase::parked:
                    unwatch(c, event.handle);  // not ours to watch now
                    break;
            }
        }
        takeInbox(now);
        expireTimers(pool, now);

        if (!stopping_ && acceptPausedUntil_ != 0 && now >= acceptPausedUntil_) {
            acceptPausedUntil_ = 0;
            poller_.watch(listener_, platform::Readiness::kReadable);
        }
        // Request threads that could not be started are tried again now and then.
        if (!stopping_ && now >= nextReplenish_) {
            nextReplenish_ = after(now, 1000);
            if (pool.liveThreadCount() < HttpRequestPool::kPoolSize) pool.replenish();
        }
    }
    {
        std::lock_guard<std::mutex> guard(inboxLock_);
        inboxClosed_ = true;
    }
    closeWhere([](const Connection&) { return true; });
    return !acceptFailed_;
}

void HttpConnectionLoop::startStopping(HttpRequestPool& pool) {
    stopping_ = true;
    poller_.forget(listener_);
    // Heads still arriving and parked requests are given up; requests being
    // served are finished and their answers sent.
    closeWhere([](const Connection& c) {
        return c.phase == Phase::readingHead || c.phase == Phase::parked;
    });
    for (auto& queued : pool.beginShutdown()) {
        SocketHandle handle = queued->handle();
        queued.reset();
        auto it = connections_.find(handle);
        if (it != connections_.end()) close(handle);
    }
    std::uint64_t limit = after(platform::monotonicTicks(), kStoppingSendMs);
    for (auto& entry : connections_) {
        Connection& c = entry.second;
        if ((c.phase == Phase::writing || c.phase == Phase::lingering) &&
            (!c.hasTimer || c.timer->first > limit))
            setTimer(c, entry.first, limit);
    }
}

void HttpConnectionLoop::acceptAll(HttpRequestPool& pool, std::uint64_t now) {
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        SocketHandle handle = kInvalidSocket;
        sockaddr_in peer{};
        switch (socketio::acceptConnection(listener_, handle, peer)) {
            case socketio::AcceptResult::none:
                return;
            case socketio::AcceptResult::failed:
                acceptFailed_ = true;
                return;
            case socketio::AcceptResult::exhausted:
                // Waiting connections stay in the backlog until descriptors
                // are free again; looking again at once would spin a core.
                poller_.forget(listener_);
                acceptPausedUntil_ = after(now, kAcceptPauseMs);
                if (now >= nextExhaustionReport_) {
                    nextExhaustionReport_ = now + kReportEvery;
                    logLine("HTTP server: out of descriptors, cannot accept connections for now");
                }
                return;
            case socketio::AcceptResult::accepted:
                break;
        }
        const std::uint32_t address = peer.sin_addr.s_addr;
        int& fromAddress = perAddress_[address];
        if (static_cast<int>(connections_.size()) >= limits_.maxConnections ||
            fromAddress >= limits_.maxPerAddress) {
            if (fromAddress == 0) perAddress_.erase(address);
            socketio::closeHandle(handle);
            ++refused_;
            if (now >= nextRefusalReport_) {
                nextRefusalReport_ = now + kReportEvery;
                std::printf("HTTP server: refused a connection from %s (%d held, %d from it)\n",
                            formatAddress(address).c_str(), static_cast<int>(connections_.size()),
                            fromAddress);
                std::fflush(stdout);
            }
            continue;
        }
        std::unique_ptr<HttpRequest> request;
        try {
            request = factory_(handle);
        } catch (const std::runtime_error&) {
            std::printf("HttpServer::Run(), File%s at line %d\n", sourceFileName(__FILE__),
                        __LINE__);
        } catch (...) {
            std::printf("Got an exception, continuing...\n");
            std::printf("HttpServer::Run(), File%s at line %d\n", sourceFileName(__FILE__),
                        __LINE__);
        }
        if (!request) {
            std::printf("NULL from new HttpRequest\n");
            std::fflush(stdout);
            if (fromAddress == 0) perAddress_.erase(address);
            socketio::closeHandle(handle);
            continue;
        }
        request->setLoopMode();
        request->setPeerAddress(peer);
        Connection& c = connections_[handle];
        c.request = std::move(request);
        c.address = address;
        ++fromAddress;
        connectionCount_.store(static_cast<int>(connections_.size()));
        setTimer(c, handle, after(now, limits_.headTimeoutMs));
        // Most clients send the head with the connection: read it now, and
        // watch the connection only when more is to come.
        onReadable(c, handle, pool, now);
        auto it = connections_.find(handle);
        if (it != connections_.end() && it->second.phase == Phase::readingHead &&
            !watch(it->second, handle, platform::Readiness::kReadable))
            close(handle);
    }
}

void HttpConnectionLoop::onReadable(Connection& c, SocketHandle handle, HttpRequestPool& pool,
                                    std::uint64_t now) {
    char buffer[4096];
    for (int i = 0; i < kReadsPerWake; ++i) {
        long n = socketio::receiveSome(handle, buffer, sizeof(buffer));
        if (n == socketio::kWouldBlock) return;
        if (n == socketio::kFailed || (n == 0 && c.request->headEmpty())) {
            close(handle);  // gone, or closed without a word: no answer
            return;
        }
        // The end of the stream ends the head too; what came is served.
        if (n == 0 || c.request->takeHeadBytes(buffer, static_cast<std::size_t>(n)) !=
                          HttpRequest::Head::incomplete) {
            headEnded(c, handle, pool, now);
            return;
        }
    }
}

void HttpConnectionLoop::headEnded(Connection& c, SocketHandle handle, HttpRequestPool& pool,
                                   std::uint64_t now) {
    clearTimer(c);
    bool here = false;
    try {
        here = c.request->servesAtOnce();
    } catch (...) {
        here = false;  // the request thread meets the fault again and reports it
    }
    if (!here) {
        toPool(c, handle, pool);
        return;
    }
    // Documents and files are served here: a thread hand-over each way would
    // cost more than the work.
    c.phase = Phase::working;
    try {
        c.request->process();
    } catch (...) {
        std::printf("Unexpected exception in HttpRequestPool runHttpRequestWrapper\n");
        std::fflush(stdout);
    }
    settle(c, handle, now);
}

bool HttpConnectionLoop::watch(Connection& c, SocketHandle handle, unsigned interests) {
    c.watched = poller_.watch(handle, interests);
    return c.watched;
}

void HttpConnectionLoop::unwatch(Connection& c, SocketHandle handle) {
    if (c.watched) poller_.forget(handle);
    c.watched = false;
}

void HttpConnectionLoop::toPool(Connection& c, SocketHandle handle, HttpRequestPool& pool) {
    unwatch(c, handle);
    clearTimer(c);
    c.phase = Phase::working;
    if (!pool.dispatch(std::move(c.request))) {
        close(handle);  // shutting down: the pool closed it already
    }
}

void HttpConnectionLoop::takeInbox(std::uint64_t now) {
    std::vector<std::unique_ptr<HttpRequest>> returned;
    {
        std::lock_guard<std::mutex> guard(inboxLock_);
        returned.swap(inbox_);
    }
    for (auto& request : returned) placeReturned(std::move(request), now);
}

void HttpConnectionLoop::placeReturned(std::unique_ptr<HttpRequest> request, std::uint64_t now) {
    SocketHandle handle = request->handle();
    auto it = connections_.find(handle);
    if (it == connections_.end() || it->second.phase != Phase::working) {
        return;  // not one of ours (cannot happen); dropping it closes it
    }
    Connection& c = it->second;
    c.request = std::move(request);
    settle(c, handle, now);
}

void HttpConnectionLoop::settle(Connection& c, SocketHandle handle, std::uint64_t now) {
    if (c.request->parked()) {
        if (stopping_) {
            close(handle);
            return;
        }
        c.phase = Phase::parked;
        std::uint64_t when = c.request->parkDeadline();
        if (c.request->parkHasCondition()) when = std::min(when, after(now, kConditionPollMs));
        setTimer(c, handle, when);
        return;
    }
    if (c.request->record().output.empty()) {
        close(handle);
        return;
    }
    c.phase = Phase::writing;
    c.sent = 0;
    onWritable(c, handle, now);
}

void HttpConnectionLoop::onWritable(Connection& c, SocketHandle handle, std::uint64_t now) {
    const ResponseBuffer& out = c.request->record().output;
    bool progressed = false;
    while (c.sent < out.size()) {
        long n = socketio::sendSome(handle, out.data() + c.sent, out.size() - c.sent);
        if (n == socketio::kWouldBlock) {
            if (!watch(c, handle, platform::Readiness::kWritable)) {
                close(handle);
                return;
            }
            // Like a send time-out: the client must take some of its answer
            // within the time, however long the whole takes.
            if (progressed || !c.hasTimer)
                setTimer(c, handle,
                         after(now, stopping_ ? kStoppingSendMs : limits_.sendTimeoutMs));
            return;
        }
        if (n == socketio::kFailed) {
            close(handle);
            return;
        }
        c.sent += static_cast<std::size_t>(n);
        progressed = true;
    }
    // Input the client sent and nobody read would make the kernel answer our
    // close with a reset, which can destroy the answer in the client before
    // it has read it: end our side first and take what still comes, briefly.
    if (!c.request->needsDrain()) {
        close(handle);
        return;
    }
    socketio::shutdownSend(handle);
    c.phase = Phase::lingering;
    if (!watch(c, handle, platform::Readiness::kReadable)) {
        close(handle);
        return;
    }
    setTimer(c, handle, after(now, limits_.lingerMs));  // a deadline: trickling cannot extend it
    linger(c, handle, now);
}

void HttpConnectionLoop::linger(Connection&, SocketHandle handle, std::uint64_t) {
    char sink[16384];
    for (int i = 0; i < kReadsPerWake * 4; ++i) {
        long n = socketio::receiveSome(handle, sink, sizeof(sink));
        if (n == socketio::kWouldBlock) return;
        if (n <= 0) {
            close(handle);
            return;
        }
    }
}

void HttpConnectionLoop::expireTimers(HttpRequestPool& pool, std::uint64_t now) {
    while (!timers_.empty() && timers_.begin()->first <= now) {
        SocketHandle handle = timers_.begin()->second;
        auto it = connections_.find(handle);
        if (it == connections_.end()) {
            timers_.erase(timers_.begin());
            continue;
        }
        Connection& c = it->second;
        clearTimer(c);
        switch (c.phase) {
            case Phase::readingHead:
                // The whole head had its time. What came is answered (a part
                // of a head gets its error page); nothing at all, nothing.
                if (c.request->headEmpty())
                    close(handle);
                else
                    toPool(c, handle, pool);
                break;
            case Phase::parked:
                if (!c.request->parkHasCondition() || now >= c.request->parkDeadline() ||
                    c.request->parkConditionHolds()) {
                    toPool(c, handle, pool);
                } else {
                    setTimer(c, handle,
                             std::min(c.request->parkDeadline(), after(now, kConditionPollMs)));
                }
                break;
            case Phase::writing:
            case Phase::lingering:
                close(handle);
                break;
            case Phase::working:
                break;
        }
    }
}

void HttpConnectionLoop::setTimer(Connection& c, SocketHandle handle, std::uint64_t when) {
    clearTimer(c);
    c.timer = timers_.emplace(when, handle);
    c.hasTimer = true;
}

void HttpConnectionLoop::clearTimer(Connection& c) {
    if (!c.hasTimer) return;
    timers_.erase(c.timer);
    c.hasTimer = false;
}

void HttpConnectionLoop::close(SocketHandle handle) {
    auto it = connections_.find(handle);
    if (it == connections_.end()) return;
    // Forgotten explicitly: a child process still holding the descriptor
    // between its fork and exec would keep it in the waiting set.
    unwatch(it->second, handle);
    clearTimer(it->second);
    auto counted = perAddress_.find(it->second.address);
    if (counted != perAddress_.end() && --counted->second <= 0) perAddress_.erase(counted);
    // Destroying the request closes the connection (none while a request
    // thread holds it: that request is closed where it is dropped).
    connections_.erase(it);
    connectionCount_.store(static_cast<int>(connections_.size()));
}

void HttpConnectionLoop::closeWhere(const std::function<bool(const Connection&)>& which) {
    std::vector<SocketHandle> chosen;
    for (const auto& entry : connections_) {
        if (which(entry.second)) chosen.push_back(entry.first);
    }
    for (SocketHandle handle : chosen) close(handle);
}

int HttpConnectionLoop::waitMilliseconds(std::uint64_t now) const {
    std::uint64_t next = after(now, kLongestWaitMs);
    if (!timers_.empty()) next = std::min(next, timers_.begin()->first);
    if (acceptPausedUntil_ != 0) next = std::min(next, acceptPausedUntil_);
    if (next <= now) return 0;
    return static_cast<int>((next - now + kTick - 1) / kTick);
}

}  // namespace trellon
