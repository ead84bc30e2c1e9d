// MetricsCommand ("metrics"): the agent's figures in the Prometheus text
// exposition format (version 0.0.4), for the monitoring an operator already
// runs: tests run and in progress, the reflector's probes answered and
// dropped, and the last figures of each finished test by type and remote
// computer.
//
// The command writes its own status line and headers (the standard ones
// would call it text/html, and a scraper picks its parser by the type). The
// log-in guards it like every other page.
#pragma once

#include <string>

#include "http/http_command.h"

namespace trellon {

class MetricsCommand : public HttpCommand {
public:
    MetricsCommand() : HttpCommand("metrics", false) {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    // The exposition text alone.
    static std::string exposition();
    // A label value as the format wants it: backslash, quote and line feed
    // escaped; bytes that are not printable ASCII become '_' (a value must be
    // UTF-8, and names typed by users need not be).
    static std::string labelValue(const std::string& text);
};

}  // namespace trellon
