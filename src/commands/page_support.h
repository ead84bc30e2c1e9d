// Small pieces the page commands share: finding the server of a request,
// loading a template with the file-not-found answer, putting user text into
// HTML, reading a test identifier, browser-facing addresses and the results
// page time stamp.
#pragma once

#include <cstdint>
#include <string>

#include "http/form_variables.h"
#include "http/response_buffer.h"

namespace trellon {

class HttpRequest;
class HttpServer;

// The server serving the request, else the current one (null when none runs).
HttpServer* serverOf(HttpRequest& request);

// Loads the document folder's template into out. When it cannot be loaded the
// body becomes "Internal error, file not found: " and the path, and the
// answer is false.
bool loadPageTemplate(HttpRequest& request, const std::string& name, ResponseBuffer& out);

// Text a user typed, for HTML: entities as escapeHtml gives them, and "$"
// as "&#36;", so the text can carry no markup and no later replacement of a
// page variable can reach into it.
std::string escapeUserText(const std::string& text);

// The `messages` field as it goes into the message row. Commands that send a
// user back set it to their own HTML; a value that arrived in the query
// string itself is anybody's text (a link can carry it) and is shown as text.
std::string pageMessage(HttpRequest& request, const FormVariables& form);

// A test identifier: the leading decimal digits of the text, 0 when there are
// none or the number does not fit.
int parseTestId(const std::string& text);

// url with its scheme and authority replaced by base ("http://host:port"),
// so a stored absolute address works from wherever the browser is. A url
// that is only a path gets base in front; any other text is kept.
std::string rebaseUrl(const std::string& base, const std::string& url);

// Local time as "Tuesday, March 14, 1995 10:05:00 AM   (10:05:00)": the long
// date the results page has always shown, then the 12- and 24-hour clock.
std::string longDateTimeText(std::int64_t seconds);

// 302 to baseUrl + "/results?id=N&format=html", with "redirect.htm" (its
// $go_here filled) as the body, or the file-not-found body.
void redirectToResultsPage(HttpRequest& request, int testId, ResponseBuffer& out);

}  // namespace trellon
