#include "nettests/request.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "lib/error_report.h"
#include "lib/socket.h"
#include "lib/socket_exception.h"

namespace trellon {

namespace {

std::atomic<int> gRequestCounter{0};
std::atomic<int> gLiveRequests{0};

void printConsole(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string where(int line) {
    return std::string(sourceFileName(__FILE__)) + " at line " + std::to_string(line);
}

}  // namespace

Request::Request(std::string host, int port, std::string path)
    : requestNumber_(++gRequestCounter),
      host_(std::move(host)),
      port_(port),
      path_(std::move(path)) {
    ++gLiveRequests;
}

Request::Request(std::uint32_t address, int port, std::string path)
    : requestNumber_(++gRequestCounter), port_(port), path_(std::move(path)), address_(address) {
    ++gLiveRequests;
}

Request::~Request() {
    --gLiveRequests;
}

int Request::liveCount() {
    return gLiveRequests.load();
}

int Request::ask() {
    reply_.clear();
    readPosition_ = 0;
    connectMicroseconds_ = -1;
    try {
        TimeoutSocket socket(kTimeoutMs);
        auto started = std::chrono::steady_clock::now();
        bool connected = host_.empty() ? socket.Connect(&address_, port_, 0)
                                       : socket.Connect(host_.c_str(), port_, 0);
        if (!connected) {
            socket.Close();
            return 0;
        }
        if (host_.empty()) {
            connectMicroseconds_ = std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::steady_clock::now() - started)
                                       .count();
        }
        std::string head = "GET /" + path_ + " HTTP/1.0\r\n\r\n";
        if (socket.sendBytes(head.data(), head.size()) <= 0) {
            socket.Close();
            return 0;
        }
        char chunk[kChunkBytes];
        while (reply_.size() < kMaxReplyBytes) {
            std::size_t want = std::min(kChunkBytes, kMaxReplyBytes - reply_.size());
            long received = socket.receiveBytes(chunk, want);
            if (received <= 0) break;
            // The empty line may straddle two chunks: search from just before
            // the new bytes, in everything received so far.
            std::size_t from = reply_.size() >= 3 ? reply_.size() - 3 : 0;
            reply_.append(chunk, static_cast<std::size_t>(received));
            if (reply_.find("\r\n\r\n", from) != std::string::npos ||
                reply_.find("\n\n", from) != std::string::npos) {
                break;
            }
        }
        socket.Close();
    } catch (const SocketException& e) {
        printConsole("Request::ask() SocketException " + where(__LINE__) + "\n" + e.description());
    } catch (const std::runtime_error& e) {
        printConsole(std::string("std::runtime_error: ") + e.what() + "\nRequest::ask() " +
                     where(__LINE__) + "\n");
    } catch (...) {
        printConsole("Request caught unexpected exception " + where(__LINE__) + "\n");
    }
    return static_cast<int>(reply_.size());
}

bool Request::readLine(const std::string& buffer, std::size_t& position, std::string& line) {
    line.clear();
    std::size_t end = std::min(buffer.find('\0'), buffer.size());
    if (position >= end) return false;
    std::size_t i = position;
    while (i < end && buffer[i] != '\r' && buffer[i] != '\n') ++i;
    line.assign(buffer, position, i - position);
    if (i < end) {
        bool crLf = buffer[i] == '\r' && i + 1 < end && buffer[i + 1] == '\n';
        i += crLf ? 2 : 1;
    }
    position = i;
    return true;
}

}  // namespace trellon
