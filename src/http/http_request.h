// HttpRequest: one accepted connection, served on a pool thread.
//
// It reads the request head, checks the path, applies Basic authentication
// to the first page, runs a registered command or serves an embedded document
// or a file below the document folder, sends exactly one response and closes
// the connection (always "Connection: close"; no request body is read, form
// data travels in the query string).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/form_variables.h"
#include "http/response_buffer.h"
#include "lib/socket.h"

namespace trellon {

class HttpCommand;
class HttpServer;

// The parsed request and what a command sets for its response.
struct ParsedRequest {
    int sequenceNumber = 0;
    ResponseBuffer output;  // the whole response, sent at the end
    std::string input;      // the received request head
    std::size_t readPosition = 0;
    bool keepOpen = false;
    int method = 0;  // 1 GET, 2 HEAD, 3 POST
    std::string rawPath;
    std::string docRoot;
    std::string fileName;
    std::string filePath;
    std::string query;
    std::string protocol;
    std::string credentials;
    std::string contentType, cookie, host, referer, userAgent;
    long long contentLength = 0;
    std::int64_t ifModifiedSince = -1;
    std::string fullUrl;
    bool redirect = false;
    std::string extraHeader;  // one header line without its line end, or empty
    bool xmlOutput = false;
    bool jsonOutput = false;  // ASCII only: no charset
    bool nonTextContent = false;
    FormVariables form;
};

class HttpRequest {
public:
    // Requests larger than this get 400 and are closed.
    static constexpr std::size_t kMaxHeadBytes = 64 * 1024;
    // The "delay" form variable is capped so requests cannot hold workers for days.
    static constexpr int kMaxDelayMs = 60000;

    HttpRequest(SocketHandle socket, int controlPort, bool useHtdocs, std::string htdocsPathSetting,
                HttpServer* server = nullptr);
    virtual ~HttpRequest();

    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // Called by a pool thread. The first time: reads the head (unless the
    // connection loop has), parses and serves it. After a park: carries on
    // with what the park was waiting for. Without the loop the answer is sent
    // and the connection closed here; with it, the answer waits in
    // record().output for the loop to send.
    void process();

    // --- The connection loop's side
    enum class Head { incomplete, complete, tooLarge };
    // The loop reads the head and writes the answer; process() then does no
    // socket I/O.
    void setLoopMode() { loopMode_ = true; }
    void setPeerAddress(const sockaddr_in& peer);
    // Parses the head (once) and says whether serving it is quick and cannot
    // block (a document or a file, not a command): the loop then serves it
    // itself instead of handing it to a request thread.
    bool servesAtOnce();
    // After servesAtOnce(): whether the command it names may wait on the network.
    bool mayWaitOnTheNetwork() const { return mayWait_; }
    // Adds bytes the loop received to the head; says whether it is complete.
    Head takeHeadBytes(const char* data, std::size_t length);
    // The head ended without its terminator (deadline or end of stream).
    bool headEmpty() const { return record_.input.empty(); }
    SocketHandle handle() const { return socket_.handle(); }
    // Whether the client sent input that was not read (it must be drained
    // before closing, or the kernel's reset may destroy the answer).
    bool needsDrain() const;
    // A park: the request gave its thread back and waits for a time or a condition.
    bool parked() const { return park_ != nullptr; }
    // Resume by this monotonic tick at the latest.
    std::uint64_t parkDeadline() const;
    // Whether the park's condition (if it has one) already holds.
    bool parkConditionHolds() const;
    bool parkHasCondition() const;

    // --- The commands' side
    // Whether a command may wait for something without holding its thread.
    bool canFinishLater() const { return loopMode_; }
    // Ends the command's part for now: its request thread is freed, and
    // finish runs later on a request thread, once ready() holds or limitMs
    // have passed, with the command's output so far; the answer is sent
    // after it, as if execute had written it all.
    void finishLater(std::function<bool()> ready, int limitMs,
                     std::function<void(ResponseBuffer&)> finish);

    ParsedRequest& record() { return record_; }
    HttpServer* server() const { return server_; }
    int controlPort() const { return controlPort_; }
    const sockaddr_in& peerAddress() const { return peer_; }
    int sequenceNumber() const { return sequenceNumber_; }

    // A command's response goes out with status 302 and "Location: url".
    void setRedirect(const std::string& url);
    void setXmlOutput(bool on) { record_.xmlOutput = on; }
    void setJsonOutput(bool on) { record_.jsonOutput = on; }

    // "http://" + the address the client used to reach us (its Host header,
    // when it is a plain host[:port]), else the server's host address and the
    // control port. Browser-facing links are built on it so they work from
    // wherever the client is.
    std::string baseUrl() const;
    // The same with the server's host name as fallback (addresses for programs).
    std::string baseUrlByName() const;

    // Line reader over the received head: a line ends at LF, CR or CR LF.
    static bool readLine(const std::string& buffer, std::size_t& position, std::string& line);

    // The agent-to-agent requests ("status", "cancel", "startStreamServer"):
    // other agents send them without a log-in.
    static bool openToPeers(const std::string& fileName);

    // Files below the document folder that are never served: configuration
    // (*.conf) and, below plugins/, anything but pages, styles, scripts and images.
    static bool isPrivateFile(const std::string& relativePath);

    // Helpers shared with the tests.
    static bool credentialsMatch(const std::string& credentials, const std::string& name,
                                 const std::string& password);
    static std::string normalizePath(const std::string& path, bool& illegal);
    static void percentDecode(std::string& text);

private:
    struct Park {
        std::uint64_t deadline;        // monotonic ticks
        std::function<bool()> ready;   // may be empty: only the deadline counts
        std::function<void()> resume;  // runs on a request thread
    };

    bool receiveHead();
    bool prepare();
    bool parseHead();
    void serve();
    bool runCommandFor(const std::string& name);
    void executeCommand(HttpCommand& command);
    void finishCommand(HttpCommand& command);
    bool serveEmbedded(const std::string& name);
    void serveFile();
    bool notModified(std::int64_t documentTime);
    void sendError(int status, const char* title, const char* text);
    void sendUnauthorized();
    void sendHeaders(const char* reason, int status, const std::string& extraHeader,
                     const char* contentType, long long contentLength, std::int64_t lastModified,
                     bool cacheable);
    void sendAndClose();
    std::string clientHost() const;

    int sequenceNumber_;
    Socket socket_;
    int controlPort_;
    bool requestFlag_;
    std::string htdocsPathSetting_;
    HttpServer* server_;
    sockaddr_in peer_{};
    ParsedRequest record_;
    bool sent_ = false;
    bool loopMode_ = false;
    bool prepared_ = false;  // the head was read and parsed
    bool servable_ = false;  // and asks for something to serve
    bool peerKnown_ = false;
    bool mayWait_ = false;
    bool headTooLarge_ = false;
    std::unique_ptr<Park> park_;
    ResponseBuffer commandOutput_;  // a command's output, kept across a park
};

}  // namespace trellon
