#include "http/http_server.h"

#include <cstdio>
#include <stdexcept>

#include "http/connection_loop.h"
#include "http/http_request.h"
#include "http/request_pool.h"
#include "lib/address.h"
#include "lib/error_report.h"
#include "lib/log.h"
#include "lib/shutdown.h"
#include "lib/socket_io.h"
#include "platform/clock.h"
#include "platform/host_name.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "platform/socket_error.h"

namespace trellon {

namespace {

std::atomic<HttpServer*> gCurrentServer{nullptr};

// The current server's facts, shared: a reader's copy outlives the server.
std::mutex gFactsLock;  // guards gFacts and gFactsOwner
std::shared_ptr<const HttpServer::SiteFacts> gFacts;
const HttpServer* gFactsOwner = nullptr;

constexpr int kSocketTimeoutMs = 30000;

}  // namespace

HttpServer::HttpServer(int controlPort, bool useHTTPS, const std::string& rootDirectory,
                       bool useHtdocs, const std::string& htdocsPathSetting,
                       const CommandRegistrar& registrar)
    : controlPort_(controlPort),
      requestFlag_(useHtdocs),
      htdocsPathSetting_(htdocsPathSetting),
      serverFlag_(useHTTPS) {
    std::string root = rootDirectory;
    if (!root.empty() && root.back() != '/') root += '/';
    htdocsPath_ = root + "htdocs";
    pluginsPath_ = htdocsPath_ + "/plugins";
    substitutions_ = PropertyTable::read(htdocsPath_ + "/substitute.conf");
    // Published before the commands are made: their constructors and the
    // plug-in scan read the server's facts.
    resolveAddresses();
    startTime_ = platform::nowSeconds();
    gCurrentServer.store(this);
    {
        auto facts = std::make_shared<SiteFacts>();
        facts->hostName = hostName_;
        facts->hostAddress = hostAddress_;
        facts->controlPort = controlPort_;
        facts->htdocsPath = htdocsPath_;
        std::lock_guard<std::mutex> guard(gFactsLock);
        gFacts = std::move(facts);
        gFactsOwner = this;
    }
    if (registrar) registrar(*this);
}

HttpServer::~HttpServer() {
    HttpServer* self = this;
    gCurrentServer.compare_exchange_strong(self, nullptr);
    {
        std::lock_guard<std::mutex> guard(gFactsLock);
        if (gFactsOwner == this) {
            gFacts.reset();
            gFactsOwner = nullptr;
        }
    }
    commands_.clear();
    plugins_.clear();
}

HttpServer* HttpServer::current() {
    return gCurrentServer.load();
}

std::shared_ptr<const HttpServer::SiteFacts> HttpServer::currentFacts() {
    std::lock_guard<std::mutex> guard(gFactsLock);
    return gFacts;
}

void HttpServer::resolveAddresses() {
    char name[100];
    if (platform::getHostName(name, sizeof(name)) != 0) {
        hostName_ = "(unknown)";
        hostAddress_ = "127.0.0.1";
        return;
    }
    hostName_ = name;
    std::uint32_t address = 0;
    if (resolveName(name, address)) {
        hostAddress_ = formatAddress(address);
    } else {
        hostName_ = "(unknown)";
        hostAddress_ = "127.0.0.1";
    }
}

void HttpServer::registerCommand(std::unique_ptr<HttpCommand> command) {
    if (!command) return;
    std::string name = command->name();
    commands_.emplace(name, std::move(command));  // a present name keeps its first command
}

HttpCommand* HttpServer::findCommand(const std::string& name) const {
    auto it = commands_.find(name);
    return it == commands_.end() ? nullptr : it->second.get();
}

int HttpServer::runCommand(HttpRequest& request, const std::string& name, FormVariables& form,
                           ResponseBuffer& out) {
    HttpCommand* command = findCommand(name);
    if (command == nullptr) return 1;
    return command->execute(request, form, out);
}

void HttpServer::addPlugin(std::shared_ptr<PluginEntry> plugin) {
    if (plugin) plugins_.push_back(std::move(plugin));
}

PluginEntry* HttpServer::findPlugin(const std::string& name) const {
    for (const auto& plugin : plugins_) {
        if (plugin->pluginName() == name) return plugin.get();
    }
    return nullptr;
}

std::string HttpServer::documentPath(const std::string& name) const {
    return htdocsPath_ + "/" + name;
}

bool HttpServer::loadDocument(const std::string& name, ResponseBuffer& out) const {
    return trellon::loadDocument(documentPath(name), out, documentOptions());
}

void HttpServer::run() {
    logLine("Starting HTTP server");
    logFormatted("%s", "HTTP socket().  ");
    SocketHandle handle = platform::openSocket(false);
    if (handle == kInvalidSocket) {
        TRL_WARNING(
            "HTTP server, processRequests(), reports socket( AF_INET, SOCK_STREAM, 0 ) failed.");
        return;
    }
    logFormatted("%s", "setsockopt()   ");
    if (!platform::setSendTimeout(handle, kSocketTimeoutMs)) {
        std::printf(
            "setsockopt( sock, SOL_SOCKET, SO_SNDTIMEO, (char *)&timeout, sizeof(timeout)) "
            "failed\n");
        TRL_WARNING("socket setsockopt SO_SNDTIMEO failed");
        platform::closeSocket(handle);
        return;
    }
    if (!platform::setReceiveTimeout(handle, kSocketTimeoutMs)) {
        std::printf(
            "setsockopt( sock, SOL_SOCKET, SO_RCVTIMEO , (char *)&timeout, sizeof(timeout)) "
            "failed\n");
        TRL_WARNING("socket setsockopt SO_RCVTIMEO failed");
        platform::closeSocket(handle);
        return;
    }
    // SO_REUSEADDR: the server closes first, so TIME_WAIT piles up on the
    // control port and a restart would fail to bind for a minute. Linux still
    // refuses a second live listener on the port.
    if (!platform::setReuseAddress(handle)) {
        std::printf(
            "setsockopt( sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (char*) &boolean, len ) failed\n");
        TRL_WARNING("socket setsockopt SO_EXCLUSIVEADDRUSE failed");
        platform::closeSocket(handle);
        return;
    }
    logFormatted("%s", "bind()   ");
    sockaddr_in local =
        platform::ipv4Address(htonl(INADDR_ANY), static_cast<std::uint16_t>(controlPort_));
    if (!platform::bindSocket(handle, local)) {
        TRL_WARNING("HTTP server socket bind failed.");
        platform::closeSocket(handle);
        return;
    }
    logFormatted("%s", "listen()  ");
    if (!platform::listenSocket(handle)) {
        TRL_WARNING("Call to listen on port 4044 failed");
        platform::closeSocket(handle);
        return;
    }
    int bound = platform::localPort(handle);
    if (bound >= 0) boundPort_.store(bound);
    socketio::setNonBlocking(handle);
    logFormatted("%s", "accept() start.\n");

    HttpConnectionLoop::Limits limits =
        limits_ ? *limits_
                : HttpConnectionLoop::limitsForDescriptors(platform::raiseDescriptorLimit());
    HttpConnectionLoop loop(handle, limits, [this](SocketHandle connection) {
        return std::make_unique<HttpRequest>(connection, controlPort_, useHtdocs(),
                                             htdocsPathSetting_, this);
    });
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        listenSocket_ = handle;
        loop_ = &loop;
        if (stopRequested_.load()) loop.stop();
    }
    {
        // Declared after the loop: its threads hand requests back to the
        // loop until the pool has shut down.
        HttpRequestPool pool(
            [&loop](std::unique_ptr<HttpRequest> request) { loop.handBack(std::move(request)); });
        loop.run(pool);  // a failure to wait is recorded as the socket error
        pool.shutdown();
    }
    std::lock_guard<std::mutex> guard(socketLock_);
    loop_ = nullptr;
    if (listenSocket_ != kInvalidSocket && !platform::closeSocket(listenSocket_))
        TRL_WARNING("HTTP server shutdown.  Socket close failed");
    listenSocket_ = kInvalidSocket;
}

int HttpServer::connectionCount() const {
    std::lock_guard<std::mutex> guard(socketLock_);
    return loop_ != nullptr ? loop_->connectionCount() : 0;
}

void HttpServer::stop() {
    std::lock_guard<std::mutex> guard(socketLock_);
    stopRequested_.store(true);
    // Waking the loop ends it at once; run itself closes the listening
    // socket, so its number is never reused under it.
    if (loop_ != nullptr) loop_->stop();
}

}  // namespace trellon
