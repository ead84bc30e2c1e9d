#include "commands/plugin_commands.h"

#include "commands/first_page_command.h"
#include "http/http_server.h"
#include "plugins/plugin_scan.h"

namespace trellon {

void registerPluginCommands(HttpServer& server, const PluginDefinition::AgentCheck& agentCheck) {
    const std::vector<RejectedPlugin> rejected = registerPlugins(server, agentCheck);
    if (auto* firstPage = dynamic_cast<FirstpageCommand*>(server.findCommand("index.htm")))
        firstPage->setPluginErrors(rejectedPluginsHtml(rejected));
}

}  // namespace trellon
