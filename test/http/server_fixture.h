// Test fixtures for the web server: an HttpServer running on its own thread
// on a port of the system's choosing, commands made from lambdas, and a gate
// that holds commands until the test lets them go.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "http/http_command.h"
#include "http/http_server.h"
#include "platform/clock.h"

namespace trellon::testing {

class LambdaCommand : public HttpCommand {
public:
    using Body = std::function<int(HttpRequest&, FormVariables&, ResponseBuffer&)>;
    LambdaCommand(std::string name, Body body, bool standardHeaders = true)
        : HttpCommand(std::move(name), standardHeaders), body_(std::move(body)) {}
    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override {
        return body_(request, form, out);
    }

private:
    Body body_;
};

// A command that answers text.
inline std::unique_ptr<HttpCommand> textCommand(const std::string& name, const std::string& text) {
    return std::make_unique<LambdaCommand>(
        name, [text](HttpRequest&, FormVariables&, ResponseBuffer& out) {
            out.append(text);
            return 0;
        });
}

// Commands call pass(): it counts them in and holds each until the test
// releases it. Waits are bounded so a failing test cannot hang the suite.
class Gate {
public:
    static constexpr auto kLongest = std::chrono::seconds(30);

    void pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++entered_;
        changed_.notify_all();
        changed_.wait_for(lock, kLongest, [&] { return open_ || permits_ > 0; });
        if (!open_ && permits_ > 0) --permits_;
        ++left_;
        changed_.notify_all();
    }
    void release(int count) {
        std::lock_guard<std::mutex> lock(mutex_);
        permits_ += count;
        changed_.notify_all();
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitEntered(int count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return entered_ >= count; });
    }
    bool waitLeft(int count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return left_ >= count; });
    }
    int entered() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entered_;
    }

private:
    std::mutex mutex_;  // guards the counters and the open flag
    std::condition_variable changed_;
    int entered_ = 0;
    int left_ = 0;
    int permits_ = 0;
    bool open_ = false;
};

// Opens a gate when it goes out of scope (declare it after the server, so
// held commands are let go before the server is stopped).
class GateOpener {
public:
    explicit GateOpener(Gate& gate) : gate_(gate) {}
    ~GateOpener() { gate_.open(); }

private:
    Gate& gate_;
};

// An HttpServer whose run() goes on a thread of its own; the destructor stops it.
class RunningServer {
public:
    RunningServer(const std::string& rootDirectory, bool useHtdocs,
                  const HttpServer::CommandRegistrar& registrar = {}, int port = 0,
                  const HttpConnectionLoop::Limits* limits = nullptr)
        : server_(port, false, rootDirectory, useHtdocs, "", registrar) {
        if (limits != nullptr) server_.setConnectionLimits(*limits);
        thread_ = std::thread([this] {
            server_.run();
            std::lock_guard<std::mutex> lock(mutex_);
            returned_ = true;
            changed_.notify_all();
        });
        // boundPort() is set by run() itself; nothing signals it, so look now and then.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (server_.boundPort() == 0 && !returned() &&
               std::chrono::steady_clock::now() < deadline) {
            platform::sleepMilliseconds(2);
        }
    }
    ~RunningServer() { stop(); }

    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    bool started() const { return server_.boundPort() != 0 && !returned(); }
    int port() const { return server_.boundPort(); }
    HttpServer& server() { return server_; }

    bool returned() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return returned_;
    }
    // True when run() has returned within timeout.
    bool waitReturned(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return returned_; });
    }

    void stop() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

private:
    HttpServer server_;
    std::thread thread_;
    mutable std::mutex mutex_;  // guards returned_
    std::condition_variable changed_;
    bool returned_ = false;
};

}  // namespace trellon::testing
