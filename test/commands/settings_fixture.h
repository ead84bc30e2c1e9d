// Fixture for the settings pages: an agent state that records its saves, and
// an HttpServer with the built-in commands over a document folder of the
// test's own, asked over real HTTP as a browser on the agent's own settings
// page would (Host, and the page token in the form).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "commands/built_in_commands.h"
#include "commands/pages_fixture.h"
#include "commands/settings_command.h"
#include "http/http_server.h"
#include "http/server_fixture.h"
#include "lib/agent_state.h"
#include "support/http_client.h"
#include "support/settings_helpers.h"
#include "support/test_support.h"

namespace trellon::testing {

// Counts its saves and keeps what each one saw, under the settings lock as
// the agent's own save copies the fields.
class RecordingAgent : public AgentState {
public:
    void saveSettings() override {
        std::lock_guard<std::recursive_mutex> guard(settingsLock());
        ++saves;
        savedName = name();
        savedPassword = password();
    }
    std::atomic<int> saves{0};
    std::string savedName, savedPassword;  // guarded by the settings lock
};

using settings::fieldValue;

// Whether the checkbox with this name is ticked.
inline bool ticked(const std::string& page, const std::string& name) {
    return page.find("name=\"" + name + "\" value=\"ON\" CHECKED>") != std::string::npos;
}

class SettingsPagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_ = std::make_unique<RecordingAgent>();
        agent_->setHtdocsPath(root_.file("htdocs/"));
        std::filesystem::create_directories(root_.file("htdocs"));
        std::filesystem::copy_file(std::string(TRELLON_SOURCE_DIR) + "/htdocs/substitute.conf",
                                   root_.file("htdocs/substitute.conf"));
        prepareDocuments();
        server_ = std::make_unique<RunningServer>(root_.path(), startWithHtdocs(),
                                                  registerBuiltInCommands);
        ASSERT_TRUE(server_->started());
    }

    void TearDown() override {
        server_.reset();
        agent_.reset();
    }

    virtual bool startWithHtdocs() { return false; }
    virtual void prepareDocuments() {}

    // GET with the browser's Host and any further header lines.
    HttpReply get(const std::string& path, const std::string& headers = "") {
        return httpExchange(server_->port(), httpRequestText("GET", path, "HTTP/1.0",
                                                             std::string("Host: ") + kBrowserHost +
                                                                 "\r\n" + headers));
    }

    // A save as the agent's own settings page submits it: the form's fields
    // (the query), then its page token.
    HttpReply save(const std::string& fields, const std::string& headers = "") {
        return get("/runsettingscommand?" + fields + "&" + SettingsCommand::kTokenField + "=" +
                       SettingsCommand::pageToken(),
                   headers);
    }

    // The form as a fresh settings page submits it, with these fields changed.
    static std::string form(const std::string& changes = "") {
        std::string query =
            "responseTimePort=0&bandwidthPort=0&streamingClientPort=0&streamingServerPort=0"
            "&responseTimeLimit=60&bandwidthTimeLimit=60&streamingTimeLimit=60&invisible=ON"
            "&userName=admin&password1=&password2=&hint=&B1=Save+settings";
        return changes.empty() ? query : changes + "&" + query;
    }

    RecordingAgent& agent() { return *agent_; }
    HttpServer& server() { return server_->server(); }

    TempDir root_;
    std::unique_ptr<RecordingAgent> agent_;
    std::unique_ptr<RunningServer> server_;
};

}  // namespace trellon::testing
