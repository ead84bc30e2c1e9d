#include "plugins/plugin_pages.h"

#include "http/http_request.h"
#include "http/http_server.h"
#include "http/templates.h"

namespace trellon {

HttpServer* pluginServerOf(HttpRequest& request) {
    return request.server() != nullptr ? request.server() : HttpServer::current();
}

std::string pluginPageText(const std::string& text) {
    const std::string escaped = escapeHtml(text);
    std::string result;
    result.reserve(escaped.size());
    for (char c : escaped) {
        if (c == '$')
            result += "&#36;";
        else
            result += c;
    }
    return result;
}

bool loadPluginPage(HttpRequest& request, const std::string& path, ResponseBuffer& out) {
    HttpServer* server = pluginServerOf(request);
    DocumentOptions options;
    // The folder first: a plug-in page named like one of the agent's own
    // (results.htm) must still be the plug-in's.
    options.useHtdocs = true;
    options.substitutions = server != nullptr ? &server->substitutions() : nullptr;
    return loadDocument(path, out, options);
}

std::string pluginPageMessage(HttpRequest& request, const FormVariables& form) {
    const std::string message = form.get("messages");
    FormVariables query;
    query.decodeQuery(request.record().query);
    if (query.has("messages") && query.get("messages") == message) return pluginPageText(message);
    return message;
}

void redirectToPluginResults(HttpRequest& request, int testId, ResponseBuffer& out) {
    const std::string url =
        request.baseUrl() + "/results?id=" + std::to_string(testId) + "&format=html";
    request.setRedirect(url);
    HttpServer* server = pluginServerOf(request);
    ResponseBuffer page;
    if (server == nullptr || !server->loadDocument("redirect.htm", page)) {
        out.append("Internal error, file not found: ");
        out.append(server != nullptr ? server->documentPath("redirect.htm")
                                     : "htdocs/redirect.htm");
        return;
    }
    replaceKey(page, "$go_here", url);
    out.append(page.str());
}

}  // namespace trellon
