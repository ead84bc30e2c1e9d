// StatusCommand ("status"): what another agent asks before it runs a test
// against this one. Body only, no status line or headers: the version, a
// status word, the data-sink, streaming and reflector ports, and a closing 0,
// each on a line of its own ending in CR LF. Query parameters are ignored.
#pragma once

#include <string>

#include "http/http_command.h"

namespace trellon {

class StatusCommand : public HttpCommand {
public:
    static constexpr const char* kStatusWord = "ready";

    StatusCommand() : HttpCommand("status", false) {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    // The reply body for the current agent's settings.
    static std::string replyText();
};

}  // namespace trellon
