#include "commands/page_support.h"

#include <ctime>

#include "http/http_request.h"
#include "http/http_server.h"
#include "http/templates.h"
#include "platform/clock.h"

namespace trellon {

HttpServer* serverOf(HttpRequest& request) {
    return request.server() != nullptr ? request.server() : HttpServer::current();
}

bool loadPageTemplate(HttpRequest& request, const std::string& name, ResponseBuffer& out) {
    HttpServer* server = serverOf(request);
    if (server != nullptr && server->loadDocument(name, out)) return true;
    const std::string path = server != nullptr ? server->documentPath(name) : "htdocs/" + name;
    out.append("Internal error, file not found: ");
    out.append(path);
    return false;
}

std::string escapeUserText(const std::string& text) {
    std::string escaped = escapeHtml(text);
    std::string result;
    result.reserve(escaped.size());
    for (char c : escaped) {
        if (c == '$') {
            result += "&#36;";
        } else {
            result += c;
        }
    }
    return result;
}

std::string pageMessage(HttpRequest& request, const FormVariables& form) {
    const std::string message = form.get("messages");
    FormVariables query;
    query.decodeQuery(request.record().query);
    if (query.has("messages") && query.get("messages") == message) return escapeUserText(message);
    return message;
}

int parseTestId(const std::string& text) {
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
        if (value > 2147483647LL) return 0;
    }
    return static_cast<int>(value);
}

std::string rebaseUrl(const std::string& base, const std::string& url) {
    for (const char* scheme : {"http://", "https://"}) {
        const std::string prefix = scheme;
        if (url.compare(0, prefix.size(), prefix) == 0) {
            const std::size_t path = url.find('/', prefix.size());
            return base + (path == std::string::npos ? "/" : url.substr(path));
        }
    }
    if (!url.empty() && url[0] == '/') return base + url;
    return url;
}

std::string longDateTimeText(std::int64_t seconds) {
    std::tm local{};
    if (!platform::localCalendarTime(seconds, local)) return "";
    // "%#x" (the Windows long date) has no glibc equivalent; the C locale's
    // names give the same English form.
    char text[1000];
    const std::size_t length =
        std::strftime(text, sizeof(text), "%A, %B %d, %Y %I:%M:%S %p   (%H:%M:%S)", &local);
    return std::string(text, length);
}

void redirectToResultsPage(HttpRequest& request, int testId, ResponseBuffer& out) {
    const std::string url =
        request.baseUrl() + "/results?id=" + std::to_string(testId) + "&format=html";
    request.setRedirect(url);
    ResponseBuffer page;
    if (!loadPageTemplate(request, "redirect.htm", page)) {
        out.append(page.str());
        return;
    }
    replaceKey(page, "$go_here", url);
    out.append(page.str());
}

}  // namespace trellon
