// Small pieces the plug-in commands share with the pages: user text put into
// HTML, the plug-in's own pages read from its folder, the answer that sends
// the browser to a results page, and the agent's host name.
#pragma once

#include <string>

#include "http/form_variables.h"
#include "http/response_buffer.h"

namespace trellon {

class HttpRequest;
class HttpServer;

// The server serving the request, else the current one (null when none runs).
HttpServer* pluginServerOf(HttpRequest& request);

// Text for HTML: entities, and "$" as "&#36;", so the text carries no markup
// and no later replacement of a page variable can reach into it.
std::string pluginPageText(const std::string& text);

// A plug-in page from its folder on disk (never an embedded document of the
// same name), with the site's substitutions. False when it cannot be read.
bool loadPluginPage(HttpRequest& request, const std::string& path, ResponseBuffer& out);

// The `messages` field as a page shows it: the runner's own HTML when it
// sends the user back, but text when it came in the query (a link from
// anywhere can carry one).
std::string pluginPageMessage(HttpRequest& request, const FormVariables& form);

// 302 to baseUrl + "/results?id=N&format=html" with "redirect.htm" as the
// body (or the file-not-found text).
void redirectToPluginResults(HttpRequest& request, int testId, ResponseBuffer& out);

}  // namespace trellon
