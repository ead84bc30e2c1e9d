// The plug-in scan: at server construction, every "*.conf" file in a folder
// below the plug-ins folder is a plug-in definition. Each valid one joins
// the server's plug-in list and registers its two commands (its input page
// under its name, its runner under "run_" + name); each other one is left
// out, with its errors in the agent's status text, on the console ("Failed
// to register form %s, errors=%s") and in what the scan returns for the
// first page. Runs on the thread constructing the server, before any
// request is served.
#pragma once

#include <string>
#include <vector>

#include "plugins/plugin_definition.h"

namespace trellon {

class HttpServer;

struct RejectedPlugin {
    std::string name;
    std::string errors;
};

// Plug-ins beyond this many are left out (the first page marks 999 at most).
constexpr int kMaxPlugins = 999;

// Folders and files are taken in name order, so the menu does not depend on
// the file system. A plug-in whose name (or runner name) is a command
// already registered is left out: it would otherwise run that command.
std::vector<RejectedPlugin> registerPlugins(HttpServer& server,
                                            const PluginDefinition::AgentCheck& agentCheck = {});

// The first page's report of the plug-ins left out: HTML, "" when none was.
std::string rejectedPluginsHtml(const std::vector<RejectedPlugin>& rejected);

}  // namespace trellon
