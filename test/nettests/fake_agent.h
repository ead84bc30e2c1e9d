// A tiny stand-in for a remote agent: a TCP listener on 127.0.0.1 that reads
// each request head, records it, writes the canned reply for its path and
// closes (or, when told, keeps the connection open until the client closes).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net_address.h"
#include "platform/socket.h"

namespace trellon::testing {

class FakeAgent {
public:
    // Answers every path with reply.
    explicit FakeAgent(std::string reply)
        : FakeAgent([reply](const std::string&) { return reply; }) {}
    // Answers each path ("status", "cancel?id=3") with what answer gives.
    explicit FakeAgent(std::function<std::string(const std::string&)> answer)
        : answer_(std::move(answer)) {
        listen_ = platform::openSocket(false);
        platform::bindSocket(listen_, platform::ipv4Address(htonl(INADDR_LOOPBACK), 0));
        platform::listenSocket(listen_);
        platform::setNonBlocking(listen_);  // so the server thread can look for its end
        port_ = platform::localPort(listen_);
        thread_ = std::thread([this] { serve(); });
    }

    ~FakeAgent() {
        stopping_.store(true);
        thread_.join();
        platform::closeSocket(listen_);
    }

    FakeAgent(const FakeAgent&) = delete;
    FakeAgent& operator=(const FakeAgent&) = delete;

    int port() const { return port_; }

    // Keep connections open after the reply until the client closes them.
    void holdOpen(bool on) {
        std::lock_guard<std::mutex> guard(lock_);
        holdOpen_ = on;
    }

    int requestCount() const {
        std::lock_guard<std::mutex> guard(lock_);
        return static_cast<int>(heads_.size());
    }
    std::vector<std::string> heads() const {
        std::lock_guard<std::mutex> guard(lock_);
        return heads_;
    }

private:
    void serve() {
        while (!stopping_.load()) {
            platform::NativeSocket connection = platform::kNoSocket;
            sockaddr_in peer{};
            const auto outcome = platform::acceptSocket(listen_, false, connection, peer);
            if (outcome == platform::AcceptOutcome::failed) return;
            if (outcome != platform::AcceptOutcome::accepted) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            std::string head;
            char buffer[512];
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
                long n = platform::receiveSome(connection, buffer, sizeof(buffer), false);
                if (n <= 0) break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            std::string path;
            if (head.rfind("GET /", 0) == 0) path = head.substr(5, head.find(' ', 5) - 5);
            std::string reply = answer_(path);
            bool hold;
            {
                std::lock_guard<std::mutex> guard(lock_);
                heads_.push_back(head);
                hold = holdOpen_;
            }
            for (std::size_t sent = 0; sent < reply.size();) {
                long n = platform::sendSome(connection, reply.data() + sent, reply.size() - sent,
                                            false);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            if (hold) {
                while (platform::receiveSome(connection, buffer, sizeof(buffer), false) > 0) {
                }
            }
            platform::closeSocket(connection);
        }
    }

    std::function<std::string(const std::string&)> answer_;
    platform::NativeSocket listen_ = platform::kNoSocket;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    mutable std::mutex lock_;  // guards heads_ and holdOpen_
    std::vector<std::string> heads_;
    bool holdOpen_ = false;
};

// A loopback port on which nothing listens (bound once, then released).
inline int closedLoopbackPort() {
    platform::NativeSocket s = platform::openSocket(false);
    platform::bindSocket(s, platform::ipv4Address(htonl(INADDR_LOOPBACK), 0));
    const int port = platform::localPort(s);
    platform::closeSocket(s);
    return port;
}

}  // namespace trellon::testing
