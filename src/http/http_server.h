// HttpServer: the agent's web front door on the control port.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace trellon {

class HttpServer {
public:
    HttpServer(int controlPort, bool useHTTPS, const std::string& rootDirectory, bool useHtdocs,
               const std::string& htdocsPathSetting);
    ~HttpServer();

    void run();
    void stop();

    int controlPort() const { return controlPort_; }

private:
    int controlPort_;
    std::atomic<bool> stopped_{false};
};

}  // namespace trellon
