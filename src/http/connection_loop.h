// HttpConnectionLoop: the control port's event loop.
//
// The thread that runs HttpServer::run accepts connections, reads each
// request head as its bytes arrive, writes each answer and lingers on
// connections whose input was not all read, all without blocking. The pool
// of request threads only ever sees complete heads (or heads that are too
// large, or whose time is up) and hands each request back when it has its
// answer or wants to wait (a "delay", a test the request waits for). A slow
// or idle client thus costs a descriptor and a little memory, never a thread.
//
// Threads: only the loop's thread touches the connection table; request
// threads reach the loop through handBack() (an inbox under a lock and a wake
// of the poller), the stop signal through stop(). Every connection has one
// deadline at a time: 30 s from its acceptance for its whole head, 30 s for
// its answer to leave, 2 s of lingering; a parked request its wake time.
//
// Caps: at most maxConnections held at once and maxPerAddress from one
// client address; a connection beyond either is closed as soon as it is
// accepted. When accepting fails for want of descriptors the loop stops
// accepting for a moment instead of spinning.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "lib/socket.h"
#include "platform/readiness.h"

namespace trellon {

class HttpRequest;
class HttpRequestPool;

class HttpConnectionLoop {
public:
    struct Limits {
        int maxConnections = 1000;
        int maxPerAddress = 600;
        int headTimeoutMs = 30000;
        int sendTimeoutMs = 30000;
        int lingerMs = 2000;
    };
    // Makes the request object for an accepted connection.
    using RequestFactory = std::function<std::unique_ptr<HttpRequest>(SocketHandle)>;

    // The limits a process with this many descriptors can keep: room is left
    // for the agent's own sockets, files and test traffic.
    static Limits limitsForDescriptors(int descriptorLimit);

    HttpConnectionLoop(SocketHandle listener, Limits limits, RequestFactory factory);
    ~HttpConnectionLoop();  // closes every connection still held

    HttpConnectionLoop(const HttpConnectionLoop&) = delete;
    HttpConnectionLoop& operator=(const HttpConnectionLoop&) = delete;

    bool valid() const { return poller_.valid(); }

    // Serves until stop() (or the shutdown flag) or until the listening
    // socket fails. Then stops accepting, lets the pool finish the requests
    // it serves and sends their answers, and returns once the pool's threads
    // have all ended. Returns false when the listening socket failed.
    bool run(HttpRequestPool& pool);

    // Any thread.
    void stop();
    // A request thread gives a request back (answered, or parked).
    void handBack(std::unique_ptr<HttpRequest> request);

    // Counters for tests and the status of the loop (any thread).
    int connectionCount() const { return connectionCount_.load(); }
    long long refusedCount() const { return refused_.load(); }

private:
    enum class Phase { readingHead, working, parked, writing, lingering };
    struct Connection {
        std::unique_ptr<HttpRequest> request;  // null while a request thread has it
        Phase phase = Phase::readingHead;
        std::uint32_t address = 0;
        std::size_t sent = 0;
        bool watched = false;  // in the poller's waiting set
        bool hasTimer = false;
        std::multimap<std::uint64_t, SocketHandle>::iterator timer;
    };
    using Table = std::unordered_map<SocketHandle, Connection>;

    void acceptAll(HttpRequestPool& pool, std::uint64_t now);
    void onReadable(Connection& c, SocketHandle handle, HttpRequestPool& pool, std::uint64_t now);
    void onWritable(Connection& c, SocketHandle handle, std::uint64_t now);
    void linger(Connection& c, SocketHandle handle, std::uint64_t now);
    void takeInbox(std::uint64_t now);
    void placeReturned(std::unique_ptr<HttpRequest> request, std::uint64_t now);
    void headEnded(Connection& c, SocketHandle handle, HttpRequestPool& pool, std::uint64_t now);
    void settle(Connection& c, SocketHandle handle, std::uint64_t now);
    void expireTimers(HttpRequestPool& pool, std::uint64_t now);
    void toPool(Connection& c, SocketHandle handle, HttpRequestPool& pool);
    bool watch(Connection& c, SocketHandle handle, unsigned interests);
    void unwatch(Connection& c, SocketHandle handle);
    void setTimer(Connection& c, SocketHandle handle, std::uint64_t when);
    void clearTimer(Connection& c);
    void close(SocketHandle handle);
    void closeWhere(const std::function<bool(const Connection&)>& which);
    int waitMilliseconds(std::uint64_t now) const;
    void startStopping(HttpRequestPool& pool);

    SocketHandle listener_;
    Limits limits_;
    RequestFactory factory_;
    platform::Readiness poller_;
    Table connections_;
    std::unordered_map<std::uint32_t, int> perAddress_;
    std::multimap<std::uint64_t, SocketHandle> timers_;
    std::uint64_t acceptPausedUntil_ = 0;  // 0: the listener is watched
    std::uint64_t nextReplenish_ = 0;
    std::uint64_t nextRefusalReport_ = 0;
    std::uint64_t nextExhaustionReport_ = 0;
    bool stopping_ = false;
    bool acceptFailed_ = false;

    std::mutex inboxLock_;  // guards inbox_ and inboxClosed_
    std::vector<std::unique_ptr<HttpRequest>> inbox_;
    bool inboxClosed_ = false;

    std::atomic<bool> stopRequested_{false};
    std::atomic<int> connectionCount_{0};
    std::atomic<long long> refused_{0};
};

}  // namespace trellon
