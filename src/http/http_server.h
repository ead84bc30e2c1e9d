// HttpServer: the agent's web front door on the control port.
//
// Start-up builds one and calls run() on the main thread; run accepts
// connections and hands each, as an HttpRequest, to a pool of ten request
// threads. stop() (from the stop signal thread) makes run return. The server
// also carries the site-wide facts commands need (document folder, host
// name and address, control port, the command registry, the plug-in list and
// the substitution table); the last one constructed is the current server.
// The registry and the tables are filled at construction and only read after.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/connection_loop.h"
#include "http/http_command.h"
#include "http/plugin_entry.h"
#include "http/property_table.h"
#include "http/templates.h"

namespace trellon {

class HttpRequest;

class HttpServer {
public:
    // Registers the commands of the layers above (built-in pages, plug-ins).
    using CommandRegistrar = std::function<void(HttpServer&)>;

    static constexpr int kDefaultControlPort = 4044;

    HttpServer(int controlPort, bool useHTTPS, const std::string& rootDirectory, bool useHtdocs,
               const std::string& htdocsPathSetting, const CommandRegistrar& registrar = {});
    ~HttpServer();

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // The last constructed server still alive, or null. Only for request
    // threads: their server outlives them. Other threads (test threads, the
    // data sink) read currentFacts(), which a server being destroyed, as the
    // retry after a failed listen does, cannot take away under them.
    static HttpServer* current();

    // The facts about this site that records carry.
    struct SiteFacts {
        std::string hostName;
        std::string hostAddress;
        int controlPort = kDefaultControlPort;
        std::string htdocsPath;
    };
    // Those of the current server, or null when there is none.
    static std::shared_ptr<const SiteFacts> currentFacts();

    void run();
    void stop();

    // The caps and deadlines of the connections run() holds; by default they
    // follow from the descriptors the process may have. Set before run().
    void setConnectionLimits(const HttpConnectionLoop::Limits& limits) { limits_ = limits; }

    // Connections the running server holds (0 when it does not run).
    int connectionCount() const;

    // Port the listener bound (the control port, or the chosen one for 0); 0 before run.
    int boundPort() const { return boundPort_.load(); }

    const std::string& htdocsPath() const { return htdocsPath_; }
    const std::string& pluginsPath() const { return pluginsPath_; }
    const std::string& hostName() const { return hostName_; }
    const std::string& hostAddress() const { return hostAddress_; }
    const std::string& localName() const { return localName_; }
    int controlPort() const { return controlPort_; }
    int defaultControlPort() const { return kDefaultControlPort; }
    std::int64_t startTime() const { return startTime_; }
    bool useHTTPS() const { return serverFlag_; }
    const std::string& htdocsPathSetting() const { return htdocsPathSetting_; }

    // The useHtdocs setting; the settings page changes it for the next request.
    bool useHtdocs() const { return requestFlag_.load(); }
    void setUseHtdocs(bool on) { requestFlag_.store(on); }

    // Command registry: a name already present keeps its first command.
    void registerCommand(std::unique_ptr<HttpCommand> command);
    HttpCommand* findCommand(const std::string& name) const;
    // Runs a command by name on a request; 1 when the name is not registered.
    int runCommand(HttpRequest& request, const std::string& name, FormVariables& form,
                   ResponseBuffer& out);

    void addPlugin(std::shared_ptr<PluginEntry> plugin);
    const std::vector<std::shared_ptr<PluginEntry>>& plugins() const { return plugins_; }
    PluginEntry* findPlugin(const std::string& name) const;

    const PropertyTable& substitutions() const { return substitutions_; }
    DocumentOptions documentOptions() const { return {useHtdocs(), &substitutions_}; }

    // htdocsPath + "/" + name, and loading it through the template loader.
    std::string documentPath(const std::string& name) const;
    bool loadDocument(const std::string& name, ResponseBuffer& out) const;

    // Server-wide lock for the few shared values commands change (the last
    // selected test of the first page).
    std::mutex& pageLock() const { return pageLock_; }

private:
    void resolveAddresses();

    SocketHandle listenSocket_ = kInvalidSocket;
    std::string htdocsPath_;
    std::string pluginsPath_;
    int controlPort_;
    std::string hostName_;
    std::string hostAddress_;
    std::string localName_ = "localhost";
    std::atomic<bool> requestFlag_;
    std::string htdocsPathSetting_;
    std::map<std::string, std::unique_ptr<HttpCommand>> commands_;
    std::int64_t startTime_ = 0;
    std::vector<std::shared_ptr<PluginEntry>> plugins_;
    PropertyTable substitutions_;
    bool serverFlag_;

    mutable std::mutex socketLock_;  // guards listenSocket_ and loop_ between run and stop
    HttpConnectionLoop* loop_ = nullptr;
    std::optional<HttpConnectionLoop::Limits> limits_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<int> boundPort_{0};
    mutable std::mutex pageLock_;
};

}  // namespace trellon
