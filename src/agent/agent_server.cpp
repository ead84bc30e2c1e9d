#include "agent/performance_agent.h"
#include "commands/built_in_commands.h"
#include "http/http_server.h"

namespace trellon {

std::unique_ptr<HttpServer> makeHttpServer(PerformanceAgent& agent) {
    return std::make_unique<HttpServer>(agent.controlPort.load(), agent.useHTTPS.load(), agent.workingDirectory(),
                                        agent.useHtdocs.load(), agent.htdocsPath(), registerBuiltInCommands);
}

}  // namespace trellon
