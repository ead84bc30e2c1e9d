#include "plugins/action_form.h"

#include <cstdio>

#include "http/http_request.h"
#include "http/templates.h"
#include "lib/agent_state.h"
#include "plugins/plugin_pages.h"

namespace trellon {

ActionForm::ActionForm(std::shared_ptr<PluginDefinition> definition)
    : HttpCommand(definition->pluginName()), definition_(std::move(definition)) {}

void ActionForm::fillInputPage(const PluginDefinition& definition, const std::string& hostName,
                               const std::string& message, const FormVariables& form,
                               ResponseBuffer& page) {
    replaceKey(page, "$localComputer", pluginPageText(hostName));
    replaceKey(page, "$messages", message);
    for (const auto& [key, value] : definition.pageVariables(hostName))
        replaceKey(page, key, value);
    for (const ActionField& field : definition.fields()) {
        const std::string key = "$" + field.name;
        const bool checkbox = field.formField == ActionField::kCheckbox;
        if (!message.empty()) {
            // Shown again: what the user typed goes back, as text.
            if (form.has(field.name)) replaceKey(page, key, pluginPageText(form.get(field.name)));
            if (checkbox)
                replaceKey(page, "$checked_" + field.name, form.has(field.name) ? "checked" : "");
        } else if (checkbox) {
            replaceKey(page, "$checked_" + field.name, field.isChecked ? "checked" : "");
        }
        replaceKey(page, key, pluginPageText(field.defaultValue));
    }
}

int ActionForm::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    ResponseBuffer page;
    try {
        const std::string path = definition_->inputPagePath();
        if (!loadPluginPage(request, path, page)) {
            out.append("Unexpected configuration error, file not found: ");
            out.append(pluginPageText(path));
            return 0;
        }
        fillInputPage(*definition_, hostName(), pluginPageMessage(request, form), form, page);
    } catch (...) {
        std::printf("Unexpected exception in ActionForm::execute()\n");
        std::fflush(stdout);
    }
    out.append(page.str());
    return 0;
}

}  // namespace trellon
