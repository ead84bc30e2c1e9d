#include "http/http_server.h"

#include "lib/shutdown.h"
#include "platform/clock.h"

namespace trellon {

HttpServer::HttpServer(int controlPort, bool, const std::string&, bool, const std::string&)
    : controlPort_(controlPort) {}

HttpServer::~HttpServer() = default;

void HttpServer::run() {
    while (!stopped_.load() && !isShutdownRequested()) platform::sleepMilliseconds(50);
}

void HttpServer::stop() { stopped_.store(true); }

}  // namespace trellon
