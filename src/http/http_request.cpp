#include "http/http_request.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "http/embedded_documents.h"
#include "http/http_command.h"
#include "http/http_format.h"
#include "http/http_server.h"
#include "http/templates.h"
#include "lib/agent_state.h"
#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "lib/socket_io.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "platform/socket_error.h"

namespace trellon {

namespace {

std::atomic<int> gRequestSequence{0};

constexpr const char* kServerName = "Trellon Agent/3.0.1 01-March-2008";
constexpr const char* kMakerAddress = "https://www.trellon.example/";
constexpr int kReceiveTimeoutMs = 30000;
constexpr int kPollSliceMs = 200;
// How long a connection with unread input is drained before it is closed.
constexpr int kDrainMs = 2000;

bool startsWithNoCase(const std::string& text, const char* prefix) {
    std::size_t n = std::strlen(prefix);
    if (text.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string headerValue(const std::string& line, std::size_t nameLength) {
    std::size_t i = nameLength;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return line.substr(i);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A Host header we may copy into links: a plain name or address with an
// optional port, nothing that could break out of a header line or a URL.
bool plainHost(const std::string& host) {
    if (host.empty() || host.size() > 255) return false;
    for (char c : host) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
              c == '[' || c == ']'))
            return false;
    }
    return true;
}

// Offset just behind the first head terminator ("\r\n\r\n" or "\n\n") found
// at or after from, or npos.
std::size_t headEnd(const std::string& head, std::size_t from) {
    std::size_t crlf = head.find("\r\n\r\n", from);
    std::size_t lf = head.find("\n\n", from);
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return crlf + 4;
    return lf == std::string::npos ? std::string::npos : lf + 2;
}

// Closing a socket whose input was not all read makes the kernel answer with
// a reset, and a reset can destroy our response in the client before it has
// read it (an oversize head, a body nobody reads). So: send our end of the
// stream first, then read and drop what still comes, for a short while.
void drainInput(SocketHandle handle) {
    platform::shutdownSocket(handle, platform::ShutdownHow::send);
    char sink[4096];
    // A deadline, not an idle time: a client that trickles bytes must not keep us.
    const std::uint64_t deadline =
        platform::monotonicTicks() + kDrainMs * platform::kTicksPerMillisecond;
    for (;;) {
        std::uint64_t now = platform::monotonicTicks();
        if (now >= deadline) return;
        int leftMs = static_cast<int>((deadline - now) / platform::kTicksPerMillisecond) + 1;
        if (platform::waitFor(handle, platform::Readiness::kReadable, leftMs) <= 0) return;
        long n = platform::receiveSome(handle, sink, sizeof(sink), true);
        if (n == 0 || n == platform::kIoFailed) return;
    }
}

// Sleeps the delay in short slices so that a shutdown is not held up.
void interruptibleSleep(int milliseconds) {
    while (milliseconds > 0 && !isShutdownRequested()) {
        int slice = milliseconds < kPollSliceMs ? milliseconds : kPollSliceMs;
        platform::sleepMilliseconds(slice);
        milliseconds -= slice;
    }
}

}  // namespace

HttpRequest::HttpRequest(SocketHandle socket, int controlPort, bool useHtdocs,
                         std::string htdocsPathSetting, HttpServer* server)
    : sequenceNumber_(gRequestSequence.fetch_add(1)),
      controlPort_(controlPort),
      requestFlag_(useHtdocs),
      htdocsPathSetting_(std::move(htdocsPathSetting)),
      server_(server != nullptr ? server : HttpServer::current()) {
    socket_.adopt(socket);
    if (AgentState* agent = AgentState::current()) agent->httpRequests.fetch_add(1);
}

HttpRequest::~HttpRequest() {
    if (socket_.handle() != kInvalidSocket) {
        // The loop's connections are closed in order (their answers sent,
        // their input drained); a shutdown would only cost a call.
        if (!loopMode_) socket_.shutdownBoth();
        socket_.Close();
    }
}

bool HttpRequest::readLine(const std::string& buffer, std::size_t& position, std::string& line) {
    if (position >= buffer.size() || buffer[position] == '\0') return false;
    std::size_t start = position;
    while (position < buffer.size() && buffer[position] != '\n' && buffer[position] != '\r' &&
           buffer[position] != '\0')
        ++position;
    line.assign(buffer, start, position - start);
    if (position < buffer.size() && buffer[position] == '\r') ++position;
    if (position < buffer.size() && buffer[position] == '\n' &&
        (position == start || buffer[position - 1] != '\n'))
        ++position;
    return true;
}

void HttpRequest::percentDecode(std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexDigit(text[i + 1]);
            int low = hexDigit(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    text.swap(out);
}

// Resolves "." and ".." segment by segment. A ".." that would climb above
// the document folder makes the name illegal, wherever it stands: folding
// only "/../" pairs (and leaving a leading "a/../../x" alone) would let a
// request walk out of the folder through any existing subfolder.
std::string HttpRequest::normalizePath(const std::string& path, bool& illegal) {
    illegal = false;
    if (!path.empty() && path[0] == '/') {
        illegal = true;
        return path;
    }
    std::vector<std::string> segments;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        std::string segment =
            path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (segment == "..") {
            if (segments.empty()) {
                illegal = true;
                return path;
            }
            segments.pop_back();
        } else if (segment != ".") {
            if (!segment.empty() || slash != std::string::npos) segments.push_back(segment);
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    std::string name;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) name += '/';
        name += segments[i];
    }
    // Keep a closing "/" (it asks for the folder's index page).
    bool endsWithSlash = !path.empty() && path.back() == '/';
    if (endsWithSlash && !name.empty() && name.back() != '/') name += '/';
    return name;
}

bool HttpRequest::credentialsMatch(const std::string& credentials, const std::string& name,
                                   const std::string& password) {
    if (credentials.empty()) return false;
    std::size_t colon = credentials.find(':');
    if (colon == std::string::npos) return false;
    std::string user = credentials.substr(0, colon).substr(0, 1000);
    std::string pass = credentials.substr(colon + 1).substr(0, 1000);
    return user == name && pass == password;
}

void HttpRequest::setRedirect(const std::string& url) {
    record_.extraHeader = "Location: " + url;
    record_.redirect = true;
}

std::string HttpRequest::clientHost() const {
    return plainHost(record_.host) ? record_.host : std::string();
}

std::string HttpRequest::baseUrl() const {
    std::string host = clientHost();
    if (!host.empty()) return "http://" + host;
    std::string address = server_ != nullptr ? server_->hostAddress() : std::string("127.0.0.1");
    return "http://" + address + ":" + std::to_string(controlPort_);
}

std::string HttpRequest::baseUrlByName() const {
    std::string host = clientHost();
    if (!host.empty()) return "http://" + host;
    return "http://" + trellon::hostName() + ":" + std::to_string(controlPort_);
}

HttpRequest::Head HttpRequest::takeHeadBytes(const char* data, std::size_t length) {
    std::string& head = record_.input;
    std::size_t before = head.size();
    head.append(data, length);
    // The terminator may straddle two segments: look a few bytes back.
    std::size_t from = before >= 3 ? before - 3 : 0;
    std::size_t end = headEnd(head, from);
    // The cap counts the head up to its terminator, wherever the chunk ended.
    if (end != std::string::npos) {
        headTooLarge_ = end > kMaxHeadBytes;
        return headTooLarge_ ? Head::tooLarge : Head::complete;
    }
    if (head.size() > kMaxHeadBytes) {
        headTooLarge_ = true;
        return Head::tooLarge;
    }
    return Head::incomplete;
}

bool HttpRequest::receiveHead() {
    char chunk[1024];
    // One deadline for the whole head: a client that trickles bytes must not
    // keep the thread longer than one that sends nothing.
    const std::uint64_t deadline =
        platform::monotonicTicks() + kReceiveTimeoutMs * platform::kTicksPerMillisecond;
    for (;;) {
        std::uint64_t now = platform::monotonicTicks();
        if (now >= deadline || isShutdownRequested()) break;
        std::uint64_t left = (deadline - now) / platform::kTicksPerMillisecond + 1;
        int ready = platform::waitFor(socket_.handle(), platform::Readiness::kReadable,
                                      left < kPollSliceMs ? static_cast<int>(left) : kPollSliceMs);
        if (ready < 0) break;
        if (ready == 0) continue;
        long n = socket_.receiveBytes(chunk, sizeof(chunk));
        if (n <= 0) break;
        Head state = takeHeadBytes(chunk, static_cast<std::size_t>(n));
        if (state != Head::incomplete) return state == Head::complete;
    }
    return true;
}

bool HttpRequest::needsDrain() const {
    return headTooLarge_ || socketio::hasPendingInput(socket_.handle());
}

std::uint64_t HttpRequest::parkDeadline() const {
    return park_ ? park_->deadline : 0;
}

bool HttpRequest::parkHasCondition() const {
    return park_ && park_->ready;
}

bool HttpRequest::parkConditionHolds() const {
    return park_ && park_->ready && park_->ready();
}

void HttpRequest::finishLater(std::function<bool()> ready, int limitMs,
                              std::function<void(ResponseBuffer&)> finish) {
    std::uint64_t deadline =
        platform::monotonicTicks() +
        static_cast<std::uint64_t>(limitMs > 0 ? limitMs : 0) * platform::kTicksPerMillisecond;
    park_ =
        std::make_unique<Park>(Park{deadline, std::move(ready), [this, finish = std::move(finish)] {
                                        finish(commandOutput_);
                                    }});
}

void HttpRequest::process() {
    if (park_) {
        std::unique_ptr<Park> park = std::move(park_);
        // At shutdown nothing more is done; the connection is just closed.
        if (!isShutdownRequested()) park->resume();
        if (!parked() && !sent_ && !record_.output.empty()) sendAndClose();
        return;
    }
    if (!prepared_) servable_ = prepare();
    if (!servable_) return;
    serve();
    if (!sent_ && !parked()) sendAndClose();
}

bool HttpRequest::prepare() {
    prepared_ = true;
    if (!peerKnown_) {
        if (!platform::peerAddress(socket_.handle(), peer_)) TRL_WARNING("getpeername");
    }
    record_.sequenceNumber = sequenceNumber_;
    bool fits = loopMode_ ? !headTooLarge_ : receiveHead();
    if (!fits) {
        sendError(400, "Bad Request", "Request too large.");
        return false;
    }
    if (record_.input.empty()) return false;
    if (isShutdownRequested()) return false;
    // The document folder setting as it is now, not as it was when the
    // connection came: the settings page may have switched it since.
    if (server_ != nullptr) requestFlag_ = server_->useHtdocs();
    return parseHead();
}

bool HttpRequest::servesAtOnce() {
    if (!prepared_) servable_ = prepare();
    if (!servable_) return true;  // an error page, or nothing: only sending is left
    if (server_ == nullptr) return false;
    if (HttpCommand* command = server_->findCommand(record_.fileName)) {
        mayWait_ = command->mayWaitOnTheNetwork();
        return false;
    }
    // A document in memory or a plain file: no command (which may wait on
    // the network) and nothing that can block. Anything else (a folder, a
    // name that leads to the first page) goes to a request thread.
    if (!requestFlag_ && findEmbeddedDocument(record_.fileName) != nullptr) return true;
    return platform::fileKind(record_.filePath) == platform::FileKind::regular;
}

void HttpRequest::setPeerAddress(const sockaddr_in& peer) {
    peer_ = peer;
    peerKnown_ = true;
}

bool HttpRequest::parseHead() {
    std::string requestLine;
    if (!readLine(record_.input, record_.readPosition, requestLine)) return false;

    // The header lines are taken in before the request line is judged, so
    // that its error pages, too, know the User-Agent (MSIE needs padding).
    std::string line;
    while (readLine(record_.input, record_.readPosition, line)) {
        if (line.empty()) break;
        if (startsWithNoCase(line, "Authorization:")) {
            std::string value = headerValue(line, 14);
            std::string decoded = base64Decode(value.size() > 6 ? value.substr(6) : std::string());
            record_.credentials = decoded.substr(0, 999);
        } else if (startsWithNoCase(line, "Content-Length:")) {
            record_.contentLength = std::atoll(headerValue(line, 15).c_str());
        } else if (startsWithNoCase(line, "Content-Type:")) {
            record_.contentType = headerValue(line, 13);
        } else if (startsWithNoCase(line, "Cookie:")) {
            record_.cookie = headerValue(line, 7);
        } else if (startsWithNoCase(line, "Host:")) {
            record_.host = headerValue(line, 5);
        } else if (startsWithNoCase(line, "Referer:")) {
            record_.referer = headerValue(line, 8);
        } else if (startsWithNoCase(line, "User-Agent:")) {
            record_.userAgent = headerValue(line, 11);
        } else if (startsWithNoCase(line, "If-Modified-Since:")) {
            record_.ifModifiedSince = parseHttpDate(headerValue(line, 18));
        }
    }

    if (startsWithNoCase(requestLine, "GET"))
        record_.method = 1;
    else if (startsWithNoCase(requestLine, "HEAD"))
        record_.method = 2;
    else if (startsWithNoCase(requestLine, "POST"))
        record_.method = 3;
    else {
        sendError(501, "Not Implemented", "That method is not implemented.");
        return false;
    }

    std::size_t gap = requestLine.find_first_of(" \t\r\n");
    if (gap == std::string::npos) {
        sendError(400, "Bad Request", "Can't parse request for file name");
        return false;
    }
    // Split first, decode after: the path is decoded once here and the query
    // once by the form variables. Decoding the whole line first made "%20"
    // end the path, "%3F" start a query and "%26" split a value in two.
    std::string target = requestLine.substr(gap + 1);
    if (target.empty() || target[0] != '/') {
        sendError(400, "Bad Request", "Bad filename.");
        return false;
    }
    std::size_t blank = target.find(' ');
    if (blank != std::string::npos) {
        record_.protocol = target.substr(blank + 1);
        target.resize(blank);
    }
    std::string path = target;
    std::size_t question = path.find('?');
    if (question != std::string::npos) {
        record_.query = path.substr(question + 1);
        path.resize(question);
    }
    percentDecode(path);
    record_.rawPath = path;
    // The address as the client sent it: a rerun link must carry the query
    // exactly, escapes and all.
    record_.fullUrl = "http://" + (server_ != nullptr ? server_->hostName() : std::string()) + ":" +
                      std::to_string(controlPort_) + target;

    if (path.find('\0') != std::string::npos) {
        sendError(400, "Bad Request", "Illegal filename.");
        return false;
    }
    if (path == "/") {
        record_.fileName = "index.htm";
    } else {
        bool illegal = false;
        record_.fileName = normalizePath(path.substr(1), illegal);
        if (illegal) {
            sendError(400, "Bad Request", "Illegal filename.");
            return false;
        }
        if (record_.fileName.empty()) record_.fileName = "index.htm";
    }
    record_.docRoot = server_ != nullptr ? server_->htdocsPath() : std::string("htdocs");
    record_.filePath = record_.docRoot + "/" + record_.fileName;
    return true;
}

bool HttpRequest::isPrivateFile(const std::string& relativePath) {
    std::string lower;
    for (char c : relativePath)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto endsWith = [&](const char* suffix) {
        std::size_t n = std::strlen(suffix);
        return lower.size() >= n && lower.compare(lower.size() - n, n, suffix) == 0;
    };
    if (endsWith(".conf")) return true;
    if (lower.compare(0, 8, "plugins/") != 0) return false;
    for (const char* shown : {".htm", ".html", ".css", ".js", ".gif", ".jpg", ".jpeg", ".png"}) {
        if (endsWith(shown)) return false;
    }
    return true;
}

bool HttpRequest::openToPeers(const std::string& fileName) {
    return fileName == "status" || fileName == "cancel" || fileName == "startStreamServer";
}

void HttpRequest::serve() {
    // With the log-in on, every page, command and file is guarded (a test
    // started, a result or the log read by anyone on the network is what the
    // log-in is for), except what other agents ask, which carries no
    // credentials. A path that names nothing shows the first page, guarded too.
    auto challenged = [this] {
        AgentState* agent = AgentState::current();
        if (agent == nullptr || !agent->authenticated.load() || openToPeers(record_.fileName))
            return false;
        // Name and password read together: a save between two reads could
        // pair an old name with a new password.
        std::string name, password;
        {
            std::lock_guard<std::recursive_mutex> settings(agent->settingsLock());
            name = agent->name();
            password = agent->password();
        }
        if (credentialsMatch(record_.credentials, name, password)) return false;
        sendUnauthorized();
        return true;
    };
    auto showFirstPage = [&] {
        record_.fileName = "index.htm";
        if (!challenged()) runCommandFor(record_.fileName);
    };
    if (challenged()) return;
    if (runCommandFor(record_.fileName)) return;
    if (!requestFlag_ && serveEmbedded(record_.fileName)) return;

    platform::FileKind kind = platform::fileKind(record_.filePath);
    if (kind == platform::FileKind::missing) {
        showFirstPage();
        return;
    }
    if (kind == platform::FileKind::directory) {
        if (record_.fileName.empty() || record_.fileName.back() != '/') {
            showFirstPage();
            return;
        }
        for (const char* index : {"index.html", "index.htm", "default.htm", "default.html"}) {
            std::string candidate = record_.filePath + index;
            if (platform::fileKind(candidate) == platform::FileKind::regular) {
                record_.fileName += index;
                record_.filePath = candidate;
                serveFile();
                return;
            }
        }
        return;  // a folder without an index page: nothing is sent
    }
    serveFile();
}

bool HttpRequest::runCommandFor(const std::string& name) {
    if (server_ == nullptr) return false;
    HttpCommand* command = server_->findCommand(name);
    if (command == nullptr) return false;

    record_.form.decodeQuery(record_.query);
    std::string delay = record_.form.get("delay");
    if (!delay.empty()) {
        // strtoll saturates where atoi would overflow: a huge delay is
        // capped, not turned negative.
        long long ms = std::strtoll(delay.c_str(), nullptr, 10);
        if (ms > kMaxDelayMs) ms = kMaxDelayMs;
        if (ms > 0) {
            if (loopMode_) {
                // The delay is spent parked in the loop, not on a request thread.
                park_ = std::make_unique<Park>(
                    Park{platform::monotonicTicks() +
                             static_cast<std::uint64_t>(ms) * platform::kTicksPerMillisecond,
                         {},
                         [this, command] { executeCommand(*command); }});
                return true;
            }
            interruptibleSleep(static_cast<int>(ms));
        }
    }
    executeCommand(*command);
    return true;
}

void HttpRequest::executeCommand(HttpCommand& command) {
    command.execute(*this, record_.form, commandOutput_);
    if (park_) {
        // The command finishes later; its answer goes out after that.
        park_->resume = [this, &command, resume = std::move(park_->resume)] {
            resume();
            if (!park_) finishCommand(command);
        };
        return;
    }
    finishCommand(command);
}

void HttpRequest::finishCommand(HttpCommand& command) {
    ResponseBuffer& output = commandOutput_;
    if (command.standardHeaders()) {
        output.appendCrLf();
        const char* type = record_.jsonOutput  ? "application/json"
                           : record_.xmlOutput ? "text/xml; charset=iso-8859-1"
                                               : "text/html; charset=iso-8859-1";
        sendHeaders("Ok", record_.redirect ? 302 : 200, record_.extraHeader, type,
                    static_cast<long long>(output.size()), platform::nowSeconds(), false);
    }
    if (record_.method != 2 || !command.standardHeaders()) record_.output.append(output.str());
    sendAndClose();
}

bool HttpRequest::notModified(std::int64_t documentTime) {
    if (record_.protocol != "HTTP/1.1" || record_.ifModifiedSince < 0 ||
        record_.ifModifiedSince != documentTime)
        return false;
    record_.output.clear();
    record_.output.append("HTTP/1.1 304 Not Modified\r\nDate: " +
                          formatHttpTime(platform::nowSeconds()) + "\r\n\r\n");
    sendAndClose();
    return true;
}

bool HttpRequest::serveEmbedded(const std::string& name) {
    const EmbeddedDocument* document = findEmbeddedDocument(name);
    if (document == nullptr || server_ == nullptr) return false;
    const char* type = contentTypeFor(name);
    record_.nonTextContent = !isTextContentType(type);
    if (notModified(server_->startTime())) return true;
    ResponseBuffer body;
    DocumentOptions options{false, &server_->substitutions()};
    loadDocument(record_.filePath, body, options);
    sendHeaders("Ok", 200, "", type, static_cast<long long>(body.size()), server_->startTime(),
                true);
    if (record_.method != 2) record_.output.append(body.str());
    sendAndClose();
    return true;
}

void HttpRequest::serveFile() {
    // Last line of defence: whatever the path looked like, the real file must
    // lie inside the real document folder (no link or name trick leads out).
    std::string root = platform::canonicalPath(record_.docRoot);
    std::string real = platform::canonicalPath(record_.filePath);
    if (root.empty() || real.empty() || real.compare(0, root.size() + 1, root + "/") != 0) {
        sendError(403, "Forbidden", "File is protected.");
        return;
    }
    // Only plain files: opening a pipe would block this thread until a writer came.
    if (platform::fileKind(real) != platform::FileKind::regular) {
        sendError(403, "Forbidden", "File is protected.");
        return;
    }
    // Configuration (substitute.conf, plug-in definitions with their command
    // lines and properties) and the plug-ins' programs are the administrator's,
    // not the visitors': below plugins/ only what a browser shows is served.
    if (isPrivateFile(real.substr(root.size() + 1))) {
        sendError(403, "Forbidden", "File is protected.");
        return;
    }
    std::ifstream probe(real, std::ios::binary);
    if (!probe) {
        sendError(403, "Forbidden", "File is protected.");
        return;
    }
    probe.close();
    const char* type = contentTypeFor(record_.fileName);
    record_.nonTextContent = !isTextContentType(type);
    std::int64_t modified = platform::modificationTime(real);
    if (notModified(modified)) return;
    ResponseBuffer body;
    // The file was found on disk, so it is read from disk (an embedded
    // document of the same base name must not stand in for it).
    DocumentOptions options{true, server_ != nullptr ? &server_->substitutions() : nullptr};
    loadDocument(real, body, options);
    sendHeaders("Ok", 200, "", type, static_cast<long long>(body.size()), modified, true);
    if (record_.method != 2) record_.output.append(body.str());
    sendAndClose();
}

void HttpRequest::sendHeaders(const char* reason, int status, const std::string& extraHeader,
                              const char* contentType, long long contentLength,
                              std::int64_t lastModified, bool cacheable) {
    std::string head = "HTTP/1.0 " + std::to_string(status) + " " + reason + "\r\n";
    head += std::string("Server: ") + kServerName + "\r\n";
    head += "Date: " + formatHttpTime(platform::nowSeconds()) + "\r\n";
    if (!extraHeader.empty()) head += extraHeader + "\r\n";
    if (cacheable) head += "Cache-Control: max-age=31536000, must-revalidate\r\n";
    if (contentType != nullptr) head += std::string("Content-Type: ") + contentType + "\r\n";
    if (contentLength > 0) head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
    if (lastModified != -1) head += "Last-Modified: " + formatHttpTime(lastModified) + "\r\n";
    head += "Connection: close\r\n\r\n";
    record_.output.append(head);
}

void HttpRequest::sendError(int status, const char* title, const char* text) {
    record_.output.clear();
    sendHeaders(title, status, "", "text/html", 0, -1, false);
    std::string code = std::to_string(status);
    std::string body = "<HTML><HEAD><TITLE>" + code + " " + title +
                       "</TITLE></HEAD>\n<BODY BGCOLOR=\"#cc9999\"><H4>" + code + " " + title +
                       "</H4>\n";
    body += "<p>" + formatHttpTime(platform::nowSeconds()) + "</p>" + "<p>" + text + "</p>";
    if (matchPattern("**MSIE**", record_.userAgent)) {
        body += "<!--\n";
        for (int i = 0; i < 6; ++i)
            body +=
                "Padding so that MSIE deigns to show this error instead of its own canned one.\n";
        body += "-->\n";
    }
    body += std::string("<HR>\n<ADDRESS><A HREF=\"") + kMakerAddress + "\">" + kServerName +
            "</A></ADDRESS>\n</BODY></HTML>\n\n\n";
    record_.output.append(body);
    sendAndClose();
}

void HttpRequest::sendUnauthorized() {
    record_.output.clear();
    record_.output.append(
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Ostrand\"\r\n\r\n");
    sendAndClose();
}

void HttpRequest::sendAndClose() {
    if (sent_) return;
    sent_ = true;
    // The connection loop sends the answer and closes the connection itself.
    if (loopMode_) return;
    if (!record_.output.empty()) socket_.sendBytes(record_.output.data(), record_.output.size());
    // Input left unread (an oversize head cut off, a body nobody reads) is drained first.
    if (needsDrain()) drainInput(socket_.handle());
    socket_.shutdownBoth();
    socket_.Close();
}

}  // namespace trellon
