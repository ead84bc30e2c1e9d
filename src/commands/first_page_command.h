// FirstpageCommand ("index.htm") builds the first page: this computer's
// name, the three built-in tests and the visible plug-ins as radio buttons.
// CollectTestParamsCommand ("collectTestParams") takes the chosen test and
// shows its input page as the answer to the same request.
//
// The last selected test is one process-wide text shared by every browser:
// the name of the page variable that marks the chosen radio button. Request
// threads read and replace it under its own lock; the last writer wins.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "http/http_command.h"

namespace trellon {

class HttpServer;
class PluginEntry;

class FirstpageCommand : public HttpCommand {
public:
    FirstpageCommand() : HttpCommand("index.htm") {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    // The report of the plug-ins the server left out (HTML), shown in the
    // message row. Set while the server is being built, read-only after.
    void setPluginErrors(std::string html) { pluginErrors_ = std::move(html); }
    const std::string& pluginErrors() const { return pluginErrors_; }

    // The visible plug-ins in menu order (a stable sort on menuOrder), each
    // given its menu position; sampleInvisible is the agent's setting.
    static std::vector<std::shared_ptr<PluginEntry>> menuPlugins(
        const std::vector<std::shared_ptr<PluginEntry>>& plugins, bool sampleInvisible);
    // The menu rows of those plug-ins, each carrying "$actionchecked_" + position.
    static std::string menuRows(const std::vector<std::shared_ptr<PluginEntry>>& visible);

private:
    std::string pluginErrors_;
};

class CollectTestParamsCommand : public HttpCommand {
public:
    CollectTestParamsCommand() : HttpCommand("collectTestParams") {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;
};

// "$responsechecked" at start; "$bandwidthchecked", "$streamingchecked" or
// "$actionchecked_" + menu position once a test was chosen.
std::string lastSelectedTest();
void setLastSelectedTest(const std::string& variable);

}  // namespace trellon
