// The registrar that fills a new HttpServer with the built-in commands (and,
// later, the plug-in commands).
#pragma once

namespace trellon {

class HttpServer;

void registerBuiltInCommands(HttpServer& server);

}  // namespace trellon
