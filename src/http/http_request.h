// HttpRequest: one accepted connection, served on a pool thread.
//
// It reads the request head, checks the path, applies Basic authentication
// to the first page, runs a registered command or serves an embedded document
// or a file below the document folder, sends exactly one response and closes
// the connection (always "Connection: close"; no request body is read, form
// data travels in the query string).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "http/form_variables.h"
#include "http/response_buffer.h"
#include "lib/socket.h"

namespace trellon {

class HttpServer;

// The parsed request and what a command sets for its response.
struct ParsedRequest {
    int sequenceNumber = 0;
    ResponseBuffer output;       // the whole response, sent at the end
    std::string input;           // the received request head
    std::size_t readPosition = 0;
    bool keepOpen = false;
    int method = 0;              // 1 GET, 2 HEAD, 3 POST
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
    std::string extraHeader;     // one header line without its line end, or empty
    bool xmlOutput = false;
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

    // Reads, serves and closes; called by the pool thread.
    void process();

    ParsedRequest& record() { return record_; }
    HttpServer* server() const { return server_; }
    int controlPort() const { return controlPort_; }
    const sockaddr_in& peerAddress() const { return peer_; }
    int sequenceNumber() const { return sequenceNumber_; }

    // A command's response goes out with status 302 and "Location: url".
    void setRedirect(const std::string& url);
    void setXmlOutput(bool on) { record_.xmlOutput = on; }

    // "http://" + the address the client used to reach us (its Host header,
    // when it is a plain host[:port]), else the server's host address and the
    // control port. Browser-facing links are built on it so they work from
    // wherever the client is.
    std::string baseUrl() const;
    // The same with the server's host name as fallback (addresses for programs).
    std::string baseUrlByName() const;

    // Line reader over the received head: a line ends at LF, CR or CR LF.
    static bool readLine(const std::string& buffer, std::size_t& position, std::string& line);

    // Helpers shared with the tests.
    static bool credentialsMatch(const std::string& credentials, const std::string& name,
                                 const std::string& password);
    static std::string normalizePath(const std::string& path, bool& illegal);
    static void percentDecode(std::string& text);

private:
    bool receiveHead();
    void parseAndServe();
    void serve();
    bool runCommandFor(const std::string& name);
    bool serveEmbedded(const std::string& name);
    void serveFile();
    bool notModified(std::int64_t documentTime);
    void sendError(int status, const char* title, const char* text);
    void sendUnauthorized();
    void sendHeaders(const char* reason, int status, const std::string& extraHeader, const char* contentType,
                     long long contentLength, std::int64_t lastModified, bool cacheable);
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
};

}  // namespace trellon
