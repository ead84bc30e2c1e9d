#include "commands/first_page_command.h"

#include <mutex>

#include "commands/page_support.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/plugin_entry.h"
#include "http/templates.h"
#include "lib/agent_state.h"

namespace trellon {

namespace {

std::mutex gLastSelectedLock;  // guards gLastSelected
std::string gLastSelected = "$responsechecked";

constexpr const char* kBuiltInMarks[] = {"$responsechecked", "$bandwidthchecked",
                                         "$streamingchecked"};
constexpr const char* kActionMark = "$actionchecked_";
// The plug-in marks looked for: positions 0 to 998.
constexpr int kMaxActionMarks = 999;

struct TestChoice {
    const char* prefix;
    const char* inputPage;
    const char* mark;
};

// Compared by their beginning only, in this order.
constexpr TestChoice kTestChoices[] = {
    {"Response Time", "responsepage", "$responsechecked"},
    {"Bandwidth Copy Speed", "bandwidthpage", "$bandwidthchecked"},
    {"Streaming", "streamingpage", "$streamingchecked"},
    {"Voice", "streamingpage", "$streamingchecked"},
};

bool sampleInvisibleSetting() {
    AgentState* agent = AgentState::current();
    return agent == nullptr ? true : agent->sampleInvisible.load();
}

// Marks the radio buttons: "CHECKED" for the variable named selected, ""
// for the others. The plug-in marks stop at the first one the page lacks.
void markSelections(ResponseBuffer& page, const std::string& selected) {
    for (const char* mark : kBuiltInMarks)
        replaceKey(page, mark, selected == mark ? "CHECKED" : "");
    for (int i = 0; i < kMaxActionMarks; ++i) {
        const std::string mark = kActionMark + std::to_string(i);
        if (replaceKey(page, mark, selected == mark ? "CHECKED" : "") == 0) break;
    }
}

}  // namespace

std::string lastSelectedTest() {
    std::lock_guard<std::mutex> lock(gLastSelectedLock);
    return gLastSelected;
}

void setLastSelectedTest(const std::string& variable) {
    std::lock_guard<std::mutex> lock(gLastSelectedLock);
    gLastSelected = variable;
}

std::vector<std::shared_ptr<PluginEntry>> FirstpageCommand::menuPlugins(
    const std::vector<std::shared_ptr<PluginEntry>>& plugins, bool sampleInvisible) {
    std::vector<std::shared_ptr<PluginEntry>> visible;
    for (const auto& plugin : plugins) {
        if (!plugin) continue;
        const bool hidden =
            plugin->pluginName() == "sample" ? sampleInvisible : plugin->invisible();
        if (hidden) continue;
        // Insertion sort: behind every entry whose menuOrder is not larger, so
        // equal orders keep registration order.
        auto at = visible.end();
        while (at != visible.begin() && (*(at - 1))->menuOrder() > plugin->menuOrder()) --at;
        visible.insert(at, plugin);
    }
    for (std::size_t i = 0; i < visible.size(); ++i)
        visible[i]->menuPosition.store(static_cast<int>(i));
    return visible;
}

std::string FirstpageCommand::menuRows(const std::vector<std::shared_ptr<PluginEntry>>& visible) {
    std::string rows;
    for (std::size_t i = 0; i < visible.size(); ++i) {
        const PluginEntry& plugin = *visible[i];
        rows +=
            "\n<tr><td style=\"margin:6 8; \" nowrap>\n    <INPUT TYPE=RADIO NAME=\"testType\" "
            "VALUE=\"";
        rows += plugin.pluginName();
        rows += "\"";
        rows += kActionMark + std::to_string(i);
        rows += "> <b>";
        rows += plugin.menu();
        rows += "</b> </td>\n";
        rows += "    <td style=\"margin:6 8; \" nowrap><i>";
        rows += plugin.menuHelp();
        rows += "</i></td></tr>\n";
    }
    return rows;
}

int FirstpageCommand::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    ResponseBuffer page;
    if (!loadPageTemplate(request, "firstpage.htm", page)) {
        out.append(page.str());
        return 0;
    }
    HttpServer* server = serverOf(request);
    replaceKey(page, "$localComputer", server->hostName());
    replaceKey(page, "$actionFormMenu",
               menuRows(menuPlugins(server->plugins(), sampleInvisibleSetting())));

    const std::string message = form.get("messages");
    if (message.empty()) {
        // A plug-in left out says why, so its administrator need not read the console.
        if (pluginErrors_.empty())
            replaceKey(page, "$messages", "");
        else
            putMessage(page, pluginErrors_);
        markSelections(page, lastSelectedTest());
    } else {
        putMessage(page, pageMessage(request, form) + pluginErrors_);
        applyFormVariables(page, form, true);
        // Marks the request did not carry leave their buttons unmarked.
        markSelections(page, "");
    }
    out.append(page.str());
    return 0;
}

int CollectTestParamsCommand::execute(HttpRequest& request, FormVariables& form,
                                      ResponseBuffer& out) {
    const std::string testType = form.get("testType");
    HttpServer* server = serverOf(request);
    for (const TestChoice& choice : kTestChoices) {
        if (testType.compare(0, std::char_traits<char>::length(choice.prefix), choice.prefix) ==
            0) {
            setLastSelectedTest(choice.mark);
            // An input page that is not registered leaves the answer empty.
            return server != nullptr ? server->runCommand(request, choice.inputPage, form, out) : 1;
        }
    }
    if (server != nullptr) {
        if (PluginEntry* plugin = server->findPlugin(testType)) {
            setLastSelectedTest(kActionMark + std::to_string(plugin->menuPosition.load()));
            return server->runCommand(request, plugin->pluginName(), form, out);
        }
    }
    out.append("Internal error, invalid test type: ");
    out.append(escapeUserText(testType));
    return 0;
}

}  // namespace trellon
