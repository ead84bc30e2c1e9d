// ShowStatusCommand ("showstatus"): the agent's version, ports and counters.
#pragma once

#include "http/http_command.h"

namespace trellon {

class ShowStatusCommand : public HttpCommand {
public:
    ShowStatusCommand() : HttpCommand("showstatus") {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;
};

}  // namespace trellon
