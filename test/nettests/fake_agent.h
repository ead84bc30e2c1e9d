// A tiny stand-in for a remote agent: a TCP listener on 127.0.0.1 that reads
// each request head, records it, writes the canned reply for its path and
// closes (or, when told, keeps the connection open until the client closes).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trellon::testing {

class FakeAgent {
public:
    // Answers every path with reply.
    explicit FakeAgent(std::string reply)
        : FakeAgent([reply](const std::string&) { return reply; }) {}
    // Answers each path ("status", "cancel?id=3") with what answer gives.
    explicit FakeAgent(std::function<std::string(const std::string&)> answer)
        : answer_(std::move(answer)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listen_, 8);
        socklen_t length = sizeof(address);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~FakeAgent() {
        ::shutdown(listen_, SHUT_RDWR);  // wakes the blocked accept
        thread_.join();
        ::close(listen_);
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
        for (;;) {
            int connection = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) return;
            std::string head;
            char buffer[512];
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
                ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
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
                ssize_t n =
                    ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            if (hold) {
                while (::recv(connection, buffer, sizeof(buffer), 0) > 0) {
                }
            }
            ::close(connection);
        }
    }

    std::function<std::string(const std::string&)> answer_;
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex lock_;  // guards heads_ and holdOpen_
    std::vector<std::string> heads_;
    bool holdOpen_ = false;
};

// A loopback port on which nothing listens (bound once, then released).
inline int closedLoopbackPort() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

}  // namespace trellon::testing
