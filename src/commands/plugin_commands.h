// The plug-ins' part of a new server's commands: the scan registers every
// valid plug-in's two commands, and the first page is told about the ones
// left out. Called by the registrar after the built-in commands, so no
// plug-in can take a built-in command's name.
#pragma once

#include "plugins/plugin_definition.h"

namespace trellon {

class HttpServer;

void registerPluginCommands(HttpServer& server,
                            const PluginDefinition::AgentCheck& agentCheck = {});

}  // namespace trellon
