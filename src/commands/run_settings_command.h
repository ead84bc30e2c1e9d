// RunSettingsCommand ("runsettingscommand"): the settings form's target.
//
// A save is a GET with side effects, so before anything else it must come
// from a settings page this agent served: the form brings back the page
// token, or the Referer names this agent's own settings page at the address
// the browser used. A page of another site can make the browser send the
// request (with a log-in it remembers), but can neither read the token nor
// name our page as its Referer; such a request changes nothing.
//
// Then the fields are checked, all messages together; with errors the
// settings page is shown again with the user's values. Otherwise the values
// are stored into the agent under its settings lock (so a test or a request
// sees all of the old or all of the new ones), saved, and the browser is sent
// back to the settings page; the running server takes the new useHtdocs from
// the next request on.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "http/http_command.h"

namespace trellon {

struct ParsedRequest;

class RunSettingsCommand : public HttpCommand {
public:
    RunSettingsCommand() : HttpCommand("runsettingscommand") {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    // A name, password or hint this long or longer cannot be read back from
    // the settings store; a password that fell back to empty would open the agent.
    static constexpr std::size_t kTooLong = 128;
    // The longest time limit the settings load accepts (one day).
    static constexpr long long kLongestTimeLimit = 86400;

    // Whether the request comes from a settings page this agent served.
    static bool fromOwnSettingsPage(const ParsedRequest& record, const FormVariables& form);
    // Whether referer is "http(s)://" + host + "/settings" or
    // "/runsettingscommand" (the page shown again), then nothing, "?" or "#".
    static bool refererIsOwnSettingsPage(const std::string& referer, const std::string& host);

    // A field as the C library's decimal conversion reads it (blanks, a sign,
    // leading digits; no digits give 0), held within +-10^12 so no text can
    // overflow it.
    static long long fieldNumber(const std::string& text);

    // The whole decoded value of a field of the query (the form variables
    // keep only the start of a long one), as the form takes it: the first of
    // the name, up to a name without "=".
    static std::optional<std::string> wholeQueryValue(const std::string& query,
                                                      const std::string& name);

    // The messages for the submitted fields, in the order they are shown.
    struct Fields {
        std::string responseTimePort, bandwidthPort, streamingClientPort, streamingServerPort;
        std::string responseTimeLimit, bandwidthTimeLimit, streamingTimeLimit;
        std::string userName, password1, password2, hint;
    };
    static std::vector<std::string> check(const Fields& fields);

    static constexpr const char* kRefusedMessage =
        "<p>The settings were not changed: the change did not come from this agent's settings "
        "page. Check the values below and save them again.</p>";
};

}  // namespace trellon
