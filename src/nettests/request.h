// Request: one agent-to-agent HTTP exchange, asked by the requesting side.
//
// Every exchange is one TCP connection to the remote agent carrying exactly
// "GET /<path> HTTP/1.0\r\n\r\n" and one reply: the remote command's body,
// plain lines ending in "\r\n", without status line or headers, after which
// the remote side closes. The reply is read until it holds an empty line,
// the peer closes, the 10-second time-out passes, or kMaxReplyBytes have
// arrived (the replies are a few short lines; nothing from the network may
// make us buffer without bound). Each Request is used by one thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace trellon {

class Request {
public:
    static constexpr int kTimeoutMs = 10000;
    static constexpr std::size_t kChunkBytes = 1024;
    static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

    // By host name (or dotted quad), or by an IPv4 address in network order.
    // The path carries its query and no leading "/".
    Request(std::string host, int port, std::string path);
    Request(std::uint32_t address, int port, std::string path);
    ~Request();

    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Sends the request and reads the reply: the number of reply bytes, 0 or
    // less on failure. Never throws.
    int ask();

    // The next line of the reply: a line ends at LF, at CR or at CR LF taken
    // as one ending; a NUL ends the data. False at the end of the data.
    bool readLine(std::string& line) { return readLine(reply_, readPosition_, line); }
    static bool readLine(const std::string& buffer, std::size_t& position, std::string& line);

    const std::string& reply() const { return reply_; }
    int requestNumber() const { return requestNumber_; }
    const std::string& path() const { return path_; }
    // How long the last ask()'s TCP handshake took, in microseconds: the
    // round trip to the remote computer. -1 when it did not connect or
    // when a name had to be resolved first (the time would include that).
    std::int64_t connectMicroseconds() const { return connectMicroseconds_; }

    // How many Request objects exist now.
    static int liveCount();

private:
    int requestNumber_;
    std::string host_;  // empty when an address is given
    int port_;
    std::string path_;
    std::string reply_;
    std::size_t readPosition_ = 0;
    std::uint32_t address_ = 0;
    std::int64_t connectMicroseconds_ = -1;
};

}  // namespace trellon
