#include "commands/settings_command.h"

#include <mutex>
#include <random>

#include "commands/page_support.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/templates.h"
#include "lib/agent_state.h"

namespace trellon {

namespace {

// The settings as one consistent picture: a save changes them under the
// settings lock, so the page never shows half of one.
struct SettingsPicture {
    int serverTcpPort = 4045;
    int streamDestinationUdpPort = 4046;
    int reflectorResponsePort = 4047;
    int controlPort = 4044;
    bool authenticated = false;
    bool useHTTPS = false;
    bool sampleInvisible = true;
    bool useHtdocs = false;
    std::string name = "admin";
    std::string password;
    std::string hint;
    std::string htdocsPath;
    int responseTimePort = 0;
    int bandwidthPort = 0;
    int streamingClientPort = 0;
    int streamingServerPort = 0;
    int responseTimeLimit = 60;
    int bandwidthTimeLimit = 60;
    int streamingTimeLimit = 60;
};

SettingsPicture currentSettings() {
    SettingsPicture s;
    AgentState* agent = AgentState::current();
    if (agent == nullptr) return s;
    std::lock_guard<std::recursive_mutex> guard(agent->settingsLock());
    s.serverTcpPort = agent->serverTcpPort.load();
    s.streamDestinationUdpPort = agent->streamDestinationUdpPort.load();
    s.reflectorResponsePort = agent->reflectorResponsePort.load();
    s.controlPort = agent->controlPort.load();
    s.authenticated = agent->authenticated.load();
    s.useHTTPS = agent->useHTTPS.load();
    s.sampleInvisible = agent->sampleInvisible.load();
    s.useHtdocs = agent->useHtdocs.load();
    s.name = agent->name();
    s.password = agent->password();
    s.hint = agent->hint();
    s.htdocsPath = agent->htdocsPath();
    s.responseTimePort = agent->responseTimePort.load();
    s.bandwidthPort = agent->bandwidthPort.load();
    s.streamingClientPort = agent->streamingClientPort.load();
    s.streamingServerPort = agent->streamingServerPort.load();
    s.responseTimeLimit = agent->responseTimeLimit.load();
    s.bandwidthTimeLimit = agent->bandwidthTimeLimit.load();
    s.streamingTimeLimit = agent->streamingTimeLimit.load();
    return s;
}

std::string makeToken() {
    try {
        std::random_device source;
        static const char kHex[] = "0123456789abcdef";
        std::string token;
        for (int word = 0; word < 4; ++word) {
            std::uint32_t bits = source();
            for (int digit = 0; digit < 8; ++digit) {
                token += kHex[bits & 0xf];
                bits >>= 4;
            }
        }
        return token;
    } catch (...) {
        return std::string();
    }
}

}  // namespace

const std::string& SettingsCommand::pageToken() {
    static const std::string token = makeToken();
    return token;
}

int SettingsCommand::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    if (request.record().extraHeader.empty()) request.record().extraHeader = kNoFramingHeader;
    ResponseBuffer page;
    if (!loadPageTemplate(request, "settings.htm", page)) {
        out.append(page.str());
        return 0;
    }
    const SettingsPicture settings = currentSettings();
    HttpServer* server = serverOf(request);

    // What no field sent back may stand in for, first. The control port is
    // the one the server listens on (the setting 0 lets the system choose).
    int controlPort = settings.controlPort;
    if (server != nullptr)
        controlPort = server->boundPort() > 0 ? server->boundPort() : server->controlPort();
    replaceKey(page, "$controlPort", std::to_string(controlPort));
    replaceKey(page, "$bandwidthSinkPort", std::to_string(settings.serverTcpPort));
    replaceKey(page, "$streamClientPort", std::to_string(settings.streamDestinationUdpPort));
    replaceKey(page, "$reflectorPort", std::to_string(settings.reflectorResponsePort));
    replaceKey(page, "$htdocsPath", escapeUserText(settings.htdocsPath));
    replaceKey(page, std::string("$") + kTokenField, pageToken());

    const bool sentBack = !form.get("messages").empty();
    if (sentBack) {
        putMessage(page, pageMessage(request, form));
    } else {
        replaceKey(page, "$messages", "");
    }

    // The user's values when the page is shown again, else the settings.
    // escapeUserText also writes "$" as an entity, so no later replacement
    // can reach into a value.
    const std::pair<const char*, std::string> texts[] = {
        {"$userName", settings.name},
        {"$password1", settings.password},
        {"$password2", settings.password},
        {"$hint", settings.hint},
        {"$responseTimePort", std::to_string(settings.responseTimePort)},
        {"$bandwidthPort", std::to_string(settings.bandwidthPort)},
        {"$streamingClientPort", std::to_string(settings.streamingClientPort)},
        {"$streamingServerPort", std::to_string(settings.streamingServerPort)},
        {"$responseTimeLimit", std::to_string(settings.responseTimeLimit)},
        {"$bandwidthTimeLimit", std::to_string(settings.bandwidthTimeLimit)},
        {"$streamingTimeLimit", std::to_string(settings.streamingTimeLimit)},
    };
    for (const auto& [key, stored] : texts) {
        const bool users = sentBack && form.has(key);
        replaceKey(page, key, escapeUserText(users ? form.get(key) : stored));
    }
    const std::pair<const char*, bool> marks[] = {
        {"$basicAuthenticationChecked", settings.authenticated},
        {"$useHTTPSChecked", settings.useHTTPS},
        {"$sampleChecked", settings.sampleInvisible},
        {"$usehtdocsChecked", settings.useHtdocs},
    };
    for (const auto& [key, stored] : marks) {
        const bool on = sentBack && form.has(key) ? form.get(key) == "CHECKED" : stored;
        replaceKey(page, key, on ? "CHECKED" : "");
    }
    // A settings page of the document folder may show more of the form.
    if (sentBack) applyFormVariables(page, form, true);
    out.append(page.str());
    return 0;
}

}  // namespace trellon
