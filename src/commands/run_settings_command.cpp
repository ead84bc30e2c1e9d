#include "commands/run_settings_command.h"

#include <cctype>
#include <mutex>

#include "commands/page_support.h"
#include "commands/settings_command.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/templates.h"
#include "lib/agent_state.h"

namespace trellon {

namespace {

constexpr long long kNumberBound = 1000000000000LL;

bool sameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Compares every byte whatever the first difference, so the time an answer
// takes tells nothing about the token.
bool sameSecret(const std::string& given, const std::string& secret) {
    if (secret.empty() || given.size() != secret.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < secret.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    return difference == 0;
}

bool isPort(long long value) {
    return value == 0 || (value >= 1024 && value <= 65535);
}

std::string withDefault(const std::string& text, const char* empty) {
    return text.empty() ? std::string(empty) : text;
}

std::string red(const std::string& messages) {
    return "<font size=\"4\" color=\"#FF0000\">" + messages + "</font>";
}

}  // namespace

long long RunSettingsCommand::fieldNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kNumberBound) {
            value = kNumberBound;
            break;
        }
    }
    return negative ? -value : value;
}

std::optional<std::string> RunSettingsCommand::wholeQueryValue(const std::string& query,
                                                               const std::string& name) {
    std::size_t pos = 0;
    while (pos < query.size()) {
        std::size_t equals = query.find_first_of("=&", pos);
        if (equals == std::string::npos || query[equals] == '&') break;
        std::size_t end = query.find('&', equals + 1);
        if (end == std::string::npos) end = query.size();
        if (FormVariables::decodeComponent(query.substr(pos, equals - pos)) == name)
            return FormVariables::decodeComponent(query.substr(equals + 1, end - equals - 1));
        pos = end < query.size() ? end + 1 : end;
    }
    return std::nullopt;
}

bool RunSettingsCommand::refererIsOwnSettingsPage(const std::string& referer,
                                                  const std::string& host) {
    if (host.empty()) return false;
    std::size_t start = 0;
    for (const char* scheme : {"http://", "https://"}) {
        const std::string prefix = scheme;
        if (referer.size() >= prefix.size() &&
            sameNoCase(referer.substr(0, prefix.size()), prefix)) {
            start = prefix.size();
            break;
        }
    }
    if (start == 0) return false;
    const std::size_t authorityEnd = referer.find_first_of("/?#", start);
    const std::string authority = referer.substr(start, authorityEnd - start);
    if (!sameNoCase(authority, host) || authorityEnd == std::string::npos) return false;
    for (const char* page : {"/settings", "/runsettingscommand"}) {
        const std::string path = page;
        if (referer.compare(authorityEnd, path.size(), path) != 0) continue;
        const std::size_t after = authorityEnd + path.size();
        if (after == referer.size() || referer[after] == '?' || referer[after] == '#') return true;
    }
    return false;
}

bool RunSettingsCommand::fromOwnSettingsPage(const ParsedRequest& record,
                                             const FormVariables& form) {
    if (sameSecret(form.get(SettingsCommand::kTokenField), SettingsCommand::pageToken()))
        return true;
    return refererIsOwnSettingsPage(record.referer, record.host);
}

std::vector<std::string> RunSettingsCommand::check(const Fields& f) {
    std::vector<std::string> errors;
    if (!isPort(fieldNumber(f.responseTimePort)))
        errors.emplace_back(
            "<p>The  response time port must be either -1, or between 1024 and 65535.</p>");
    if (!isPort(fieldNumber(f.bandwidthPort)))
        errors.emplace_back(
            "<p>The bandwidth port must be either -1, or between 1024 and 65535.</p>");
    if (!isPort(fieldNumber(f.streamingClientPort)))
        errors.emplace_back(
            "<p>The streaming client port must be either -1 or between 1024 and 65535.</p>");
    if (!isPort(fieldNumber(f.streamingServerPort)))
        errors.emplace_back(
            "<p>The streaming server port must be either -1 or between 1024 and 65535.</p>");

    // Above one day the settings load would put 60 in its place at the next
    // start: the page refuses what it could not keep.
    struct Limit {
        const std::string& text;
        const char* notPositive;
        const char* tooLong;
    };
    const Limit limits[] = {
        {f.responseTimeLimit, "<p>Response test time limit is an integer greater than 0.</p>",
         "<p>Response test time limit is at most 86400 seconds.</p>"},
        {f.bandwidthTimeLimit, "<p>Bandwidth test time limit is an integer greater than 0.</p>",
         "<p>Bandwidth test time limit is at most 86400 seconds.</p>"},
        {f.streamingTimeLimit, "<p>Streaming test time limit is an integer greater than 0.</p>",
         "<p>Streaming test time limit is at most 86400 seconds.</p>"},
    };
    for (const Limit& limit : limits) {
        const long long value = fieldNumber(limit.text);
        if (value <= 0) errors.emplace_back(limit.notPositive);
        if (value > kLongestTimeLimit) errors.emplace_back(limit.tooLong);
    }

    if (f.userName.empty()) errors.emplace_back("<p>The name cannot be blank.</p>");
    if (f.userName.size() >= kTooLong)
        errors.emplace_back("<p>The name must be shorter than 128 characters.</p>");
    // Basic authentication ends the name at the first colon: a name with
    // one could never log in again.
    if (f.userName.find(':') != std::string::npos)
        errors.emplace_back("<p>The name cannot contain a colon (:).</p>");
    if (f.password1 != f.password2)
        errors.emplace_back("<p>The password fields must be identical.</p>");
    if (f.password1.size() >= kTooLong)
        errors.emplace_back("<p>The password must be shorter than 128 characters.</p>");
    if (f.hint.size() >= kTooLong)
        errors.emplace_back("<p>The hint must be shorter than 128 characters.</p>");
    return errors;
}

int RunSettingsCommand::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    request.record().extraHeader = kNoFramingHeader;
    HttpServer* server = serverOf(request);
    AgentState* agent = AgentState::current();
    if (server == nullptr || agent == nullptr) {
        out.append("Internal error, the agent's settings are not available.");
        return 0;
    }

    if (!fromOwnSettingsPage(request.record(), form)) {
        // The stored settings, not the request's values: a page of another
        // site may not even fill in the form it would like saved.
        FormVariables refused;
        refused.set("messages", red(kRefusedMessage));
        return server->runCommand(request, "settings", refused, out);
    }

    // The texts whole: the form variables keep only the start of a long value,
    // and a cut password would be stored without a word.
    const std::string& query = request.record().query;
    auto text = [&](const char* name) {
        return wholeQueryValue(query, name).value_or(form.get(name));
    };
    Fields fields;
    fields.responseTimePort = withDefault(form.get("responseTimePort"), "0");
    fields.bandwidthPort = withDefault(form.get("bandwidthPort"), "0");
    fields.streamingClientPort = withDefault(form.get("streamingClientPort"), "0");
    fields.streamingServerPort = withDefault(form.get("streamingServerPort"), "0");
    fields.responseTimeLimit = withDefault(form.get("responseTimeLimit"), "60");
    fields.bandwidthTimeLimit = withDefault(form.get("bandwidthTimeLimit"), "60");
    fields.streamingTimeLimit = withDefault(form.get("streamingTimeLimit"), "60");
    fields.userName = text("userName");
    fields.password1 = text("password1");
    fields.password2 = text("password2");
    fields.hint = text("hint");
    const bool authenticated = form.get("useBasicAuthentication") == "ON";
    const bool sampleInvisible = form.get("invisible") == "ON";
    const bool useHtdocs = form.get("usehtdocs") == "ON";
    const bool useHTTPS = form.get("useHTTPS") == "ON";

    const std::vector<std::string> errors = check(fields);
    if (!errors.empty()) {
        form.copyAsDollarNames();
        form.set("$userName", fields.userName);
        form.set("$password1", fields.password1);
        form.set("$password2", fields.password2);
        form.set("$hint", fields.hint);
        // The boxes as the user left them, not as stored.
        form.set("$basicAuthenticationChecked", authenticated ? "CHECKED" : "");
        form.set("$useHTTPSChecked", useHTTPS ? "CHECKED" : "");
        form.set("$sampleChecked", sampleInvisible ? "CHECKED" : "");
        form.set("$usehtdocsChecked", useHtdocs ? "CHECKED" : "");
        std::string all;
        for (const std::string& error : errors) all += error;
        form.set("messages", red(all));
        return server->runCommand(request, "settings", form, out);
    }

    {
        std::lock_guard<std::recursive_mutex> guard(agent->settingsLock());
        agent->authenticated.store(authenticated);
        agent->setName(fields.userName);
        agent->setPassword(fields.password1);
        agent->setHint(fields.hint);
        agent->sampleInvisible.store(sampleInvisible);
        agent->useHtdocs.store(useHtdocs);
        agent->responseTimePort.store(static_cast<int>(fieldNumber(fields.responseTimePort)));
        agent->bandwidthPort.store(static_cast<int>(fieldNumber(fields.bandwidthPort)));
        agent->streamingClientPort.store(static_cast<int>(fieldNumber(fields.streamingClientPort)));
        agent->streamingServerPort.store(static_cast<int>(fieldNumber(fields.streamingServerPort)));
        agent->responseTimeLimit.store(static_cast<int>(fieldNumber(fields.responseTimeLimit)));
        agent->bandwidthTimeLimit.store(static_cast<int>(fieldNumber(fields.bandwidthTimeLimit)));
        agent->streamingTimeLimit.store(static_cast<int>(fieldNumber(fields.streamingTimeLimit)));
        agent->useHTTPS.store(useHTTPS);
    }
    // Outside the settings lock: the save takes it itself to copy the values,
    // and writes the file without it.
    agent->saveSettings();

    const std::string url = request.baseUrl() + "/settings";
    ResponseBuffer page;
    if (loadPageTemplate(request, "redirect.htm", page)) replaceKey(page, "$go_here", url);
    out.append(page.str());

    server->setUseHtdocs(useHtdocs);
    return 0;
}

}  // namespace trellon
