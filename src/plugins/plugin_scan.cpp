#include "plugins/plugin_scan.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "http/http_server.h"
#include "lib/agent_state.h"
#include "platform/file_system.h"
#include "plugins/action_form.h"
#include "plugins/action_form_runner.h"
#include "plugins/plugin_pages.h"

namespace trellon {

namespace {

constexpr const char* kDefinitionEnding = ".conf";

std::vector<std::string> sortedEntries(const std::string& folder) {
    std::vector<std::string> names = platform::listDirectory(folder);
    std::sort(names.begin(), names.end());
    return names;
}

void reject(std::vector<RejectedPlugin>& rejected, const std::string& name,
            const std::string& errors) {
    // A server rebuilt after a failed listen (every ten seconds while the
    // port is taken) scans again: the status text says each thing once.
    AgentState* agent = AgentState::current();
    if (agent != nullptr && agent->statusText().find(errors) == std::string::npos)
        agent->appendStatus(errors);
    std::printf("Failed to register form %s, errors=%s\n", name.c_str(), errors.c_str());
    std::fflush(stdout);
    rejected.push_back({name, errors});
}

}  // namespace

std::vector<RejectedPlugin> registerPlugins(HttpServer& server,
                                            const PluginDefinition::AgentCheck& agentCheck) {
    std::vector<RejectedPlugin> rejected;
    const std::string root = server.pluginsPath();
    int registered = 0;
    for (const std::string& folderName : sortedEntries(root)) {
        const std::string folder = root + "/" + folderName;
        if (platform::fileKind(folder) != platform::FileKind::directory) continue;
        for (const std::string& fileName : sortedEntries(folder)) {
            const std::size_t ending = std::char_traits<char>::length(kDefinitionEnding);
            if (fileName.size() <= ending ||
                fileName.compare(fileName.size() - ending, ending, kDefinitionEnding) != 0)
                continue;
            const std::string name = fileName.substr(0, fileName.size() - ending);
            const std::string path = folder + "/" + fileName;
            if (!PluginDefinition::isValidName(name)) {
                reject(rejected, name,
                       "The plug-in name \"" + name + "\" (from " + path +
                           ") can only hold letters, digits, '_', '-' and '.'.\n");
                continue;
            }
            std::shared_ptr<PluginDefinition> definition = PluginDefinition::build(path, name);
            if (!definition->valid()) {
                reject(rejected, name, definition->errorText());
                continue;
            }
            if (server.findCommand(name) != nullptr ||
                server.findCommand(definition->runnerName()) != nullptr) {
                reject(rejected, name,
                       "A command named \"" + name + "\" or \"" + definition->runnerName() +
                           "\" is already registered; the plug-in in " + path + " is left out.\n");
                continue;
            }
            if (registered >= kMaxPlugins) {
                reject(rejected, name,
                       "More than " + std::to_string(kMaxPlugins) + " plug-ins; " + path +
                           " is left out.\n");
                continue;
            }
            server.addPlugin(definition);
            server.registerCommand(std::make_unique<ActionForm>(definition));
            server.registerCommand(std::make_unique<ActionFormRunner>(definition, agentCheck));
            ++registered;
        }
    }
    return rejected;
}

std::string rejectedPluginsHtml(const std::vector<RejectedPlugin>& rejected) {
    std::string html;
    for (const RejectedPlugin& plugin : rejected) {
        html +=
            "<p>The plug-in <b>" + pluginPageText(plugin.name) + "</b> was not registered:<br>\n";
        std::string line;
        for (char c : plugin.errors) {
            if (c == '\n') {
                if (!line.empty()) html += pluginPageText(line) + "<br>\n";
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty()) html += pluginPageText(line) + "<br>\n";
        html += "</p>\n";
    }
    return html;
}

}  // namespace trellon
