#include "support/http_client.h"

#ifndef _WIN32
#include <netinet/tcp.h>
#endif

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "platform/net_address.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "platform/socket_error.h"

namespace trellon::testing {

namespace {

bool equalsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::size_t headEnd(const std::string& raw, std::size_t* separatorLength) {
    std::size_t crlf = raw.find("\r\n\r\n");
    std::size_t lf = raw.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
        *separatorLength = 4;
        return crlf;
    }
    *separatorLength = 2;
    return lf;
}

}  // namespace

int HttpReply::status() const {
    std::string line = statusLine();
    std::size_t blank = line.find(' ');
    if (line.compare(0, 5, "HTTP/") != 0 || blank == std::string::npos) return -1;
    return std::atoi(line.c_str() + blank + 1);
}

std::string HttpReply::statusLine() const {
    std::size_t end = raw.find_first_of("\r\n");
    return raw.substr(0, end);
}

std::string HttpReply::head() const {
    std::size_t length = 0;
    std::size_t end = headEnd(raw, &length);
    return end == std::string::npos ? raw : raw.substr(0, end);
}

std::string HttpReply::header(const std::string& name) const {
    std::string text = head();
    std::size_t position = text.find('\n');
    while (position != std::string::npos && position + 1 < text.size()) {
        std::size_t start = position + 1;
        std::size_t end = text.find('\n', start);
        std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t colon = line.find(':');
        if (colon != std::string::npos && equalsNoCase(line.substr(0, colon), name)) {
            std::size_t value = colon + 1;
            while (value < line.size() && line[value] == ' ') ++value;
            return line.substr(value);
        }
        position = end;
    }
    return "";
}

bool HttpReply::hasHeader(const std::string& name) const {
    std::string text = head();
    std::string wanted = name + ":";
    std::size_t position = 0;
    while ((position = text.find('\n', position)) != std::string::npos) {
        ++position;
        if (text.size() - position >= wanted.size() &&
            equalsNoCase(text.substr(position, wanted.size()), wanted))
            return true;
    }
    return false;
}

std::string HttpReply::body() const {
    std::size_t length = 0;
    std::size_t end = headEnd(raw, &length);
    return end == std::string::npos ? std::string() : raw.substr(end + length);
}

HttpClientConnection::HttpClientConnection(int port, int timeoutMs) {
    platform::NativeSocket fd = platform::openSocket(false);
    if (fd == platform::kNoSocket) return;
    platform::setSendTimeout(fd, timeoutMs);
    const sockaddr_in address =
        platform::ipv4Address(htonl(INADDR_LOOPBACK), static_cast<std::uint16_t>(port));
    if (!platform::connectSocket(fd, address)) {
        platform::closeSocket(fd);
        return;
    }
    fd_ = fd;
}

HttpClientConnection::~HttpClientConnection() {
    if (connected()) platform::closeSocket(fd_);
}

void HttpClientConnection::setNoDelay() {
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
}

bool HttpClientConnection::send(const std::string& bytes) {
    return sendAll(fd_, bytes);
}

bool sendAll(platform::NativeSocket socket, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        long n = platform::sendSome(socket, bytes.data() + done, bytes.size() - done, false);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void HttpClientConnection::shutdownWrite() {
    platform::shutdownSocket(fd_, platform::ShutdownHow::send);
}

bool HttpClientConnection::waitReadable(int timeoutMs) {
    return platform::waitFor(fd_, platform::Readiness::kReadable, timeoutMs) > 0;
}

HttpReply HttpClientConnection::readUntilClose(int timeoutMs) {
    HttpReply reply;
    if (!connected()) return reply;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char chunk[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (platform::waitFor(fd_, platform::Readiness::kReadable, static_cast<int>(left.count())) <= 0)
            break;
        long n = platform::receiveSome(fd_, chunk, sizeof(chunk), true);
        if (n == platform::kIoWouldBlock) continue;
        if (n < 0) {
            reply.reset = platform::lastSocketError() == platform::kErrorConnectionReset;
            reply.closed = true;
            break;
        }
        if (n == 0) {
            reply.closed = true;
            break;
        }
        reply.raw.append(chunk, static_cast<std::size_t>(n));
    }
    return reply;
}

HttpReply httpExchange(int port, const std::string& request, int timeoutMs) {
    HttpClientConnection connection(port);
    if (!connection.connected() || !connection.send(request)) return HttpReply{};
    return connection.readUntilClose(timeoutMs);
}

std::string httpRequestText(const std::string& method, const std::string& path,
                            const std::string& protocol, const std::string& headerLines) {
    std::string text = method + " " + path;
    if (!protocol.empty()) text += " " + protocol;
    return text + "\r\n" + headerLines + "\r\n";
}

}  // namespace trellon::testing
