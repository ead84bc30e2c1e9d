// ActionForm: a plug-in's input page, registered under the plug-in's name.
//
// First shown from the first page (collectTestParams runs it), it fills the
// plug-in's input page with the definition's texts and each field's default.
// The runner shows it again, with its messages, when a submitted value fails
// its check: the user's values are then put back, as text.
//
// One object serves every request thread; it only reads its definition.
#pragma once

#include <memory>
#include <string>

#include "http/http_command.h"
#include "plugins/plugin_definition.h"

namespace trellon {

class ActionForm : public HttpCommand {
public:
    explicit ActionForm(std::shared_ptr<PluginDefinition> definition);

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    const std::shared_ptr<PluginDefinition>& definition() const { return definition_; }

    // Fills a loaded input page: message is the page's message (empty on the
    // first display), form the values to put back when there is one.
    static void fillInputPage(const PluginDefinition& definition, const std::string& hostName,
                              const std::string& message, const FormVariables& form,
                              ResponseBuffer& page);

private:
    std::shared_ptr<PluginDefinition> definition_;
};

}  // namespace trellon
