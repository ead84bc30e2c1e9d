// SettingsCommand ("settings") fills "settings.htm": the fixed ports, the
// optional test ports, the time limits, the page options and the web log-in.
//
// The page is shown either with the stored settings, or because
// RunSettingsCommand refused a save: then the form carries `messages` and
// the user's values under "$" names (only the agent sets those; a query
// never can), and every value the form does not carry comes from the
// settings, so no variable of the page is ever left in the answer.
//
// Every page carries a hidden token, a secret of this run of the agent: a
// page of another site cannot read it, so a settings change that brings it
// back was submitted from a page this agent served (RunSettingsCommand).
#pragma once

#include <string>

#include "http/http_command.h"

namespace trellon {

class SettingsCommand : public HttpCommand {
public:
    SettingsCommand() : HttpCommand("settings") {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    // The hidden field of the settings form that carries the page token.
    static constexpr const char* kTokenField = "settingsToken";

    // 32 hexadecimal digits from the system's random source, made once per
    // process; empty when no random source could be had (then only the
    // Referer can show where a change came from).
    static const std::string& pageToken();
};

// Both settings commands answer with this header line: another site that
// showed the settings page in a frame could steal a click on "Save".
constexpr const char* kNoFramingHeader = "X-Frame-Options: DENY";

}  // namespace trellon
