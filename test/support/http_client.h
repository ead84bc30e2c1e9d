// A small blocking HTTP client for tests: raw bytes go out as given (so a
// test can split, truncate or garble a request at will), and everything the
// server sends is read until it closes, each step bounded by a deadline.
#pragma once

#include <string>

#include "platform/native_socket.h"

namespace trellon::testing {

// What came back on one connection.
struct HttpReply {
    std::string raw;      // every byte received
    bool closed = false;  // the server closed (or reset) before the deadline
    bool reset = false;   // the connection was reset rather than closed

    int status() const;  // status number of the first line, -1 when there is none
    std::string statusLine() const;
    // Value of the first header of that name (case-insensitive), "" when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
    std::string head() const;  // status line and headers
    std::string body() const;  // everything after the first empty line
};

class HttpClientConnection {
public:
    // Connects to 127.0.0.1:port; connected() tells whether that worked.
    explicit HttpClientConnection(int port, int timeoutMs = 5000);
    ~HttpClientConnection();

    HttpClientConnection(const HttpClientConnection&) = delete;
    HttpClientConnection& operator=(const HttpClientConnection&) = delete;

    bool connected() const { return fd_ != platform::kNoSocket; }
    platform::NativeSocket fd() const { return fd_; }

    // Each send() then leaves the host as its own segment.
    void setNoDelay();
    bool send(const std::string& bytes);
    void shutdownWrite();

    // True when data or the end of the stream can be read within timeoutMs.
    bool waitReadable(int timeoutMs);

    // Reads until the server closes or timeoutMs has passed (from this call).
    HttpReply readUntilClose(int timeoutMs = 10000);

private:
    platform::NativeSocket fd_ = platform::kNoSocket;
};

// Sends all of bytes on a blocking socket; whether it all went.
bool sendAll(platform::NativeSocket socket, const std::string& bytes);

// Connects, sends request, reads until close.
HttpReply httpExchange(int port, const std::string& request, int timeoutMs = 10000);

// "GET <path> <protocol>\r\n" + each header line + "\r\n".
std::string httpRequestText(const std::string& method, const std::string& path,
                            const std::string& protocol = "HTTP/1.0",
                            const std::string& headerLines = "");

}  // namespace trellon::testing
