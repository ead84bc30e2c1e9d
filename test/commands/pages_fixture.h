// Fixture for the page commands: an agent state, a test log and an
// HttpServer with the built-in commands, running on a port of the system's
// choosing, with the site-wide substitutions of the real document folder.
// Pages are fetched over real HTTP, or a command is run directly on a request
// over a socket pair when a test needs to hand it a prepared form.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "commands/built_in_commands.h"
#include "commands/first_page_command.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/server_fixture.h"
#include "lib/agent_state.h"
#include "results/test_log.h"
#include "support/bandwidth_helpers.h"
#include "support/http_client.h"
#include "support/test_support.h"

namespace trellon::testing {

// Every "$name" left in a text; what a page sends must have none of its own.
inline std::set<std::string> pageVariables(const std::string& text) {
    std::set<std::string> found;
    static const std::regex variable(R"(\$[A-Za-z_][A-Za-z0-9_]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), variable);
         it != std::sregex_iterator(); ++it) {
        found.insert(it->str());
    }
    return found;
}

inline std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += name + " ";
    return text;
}

// The Host a browser would name; links built on it must come back with it.
constexpr const char* kBrowserHost = "agent.test:4044";

class PagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_ = std::make_unique<AgentState>();
        TestLog::destroy();
        TestLog::resetIdentifiersForTests();
        TestLog::create(100);
        setLastSelectedTest("$responsechecked");
        std::filesystem::create_directories(root_.file("htdocs"));
        std::filesystem::copy_file(std::string(TRELLON_SOURCE_DIR) + "/htdocs/substitute.conf",
                                   root_.file("htdocs/substitute.conf"));
        server_ = std::make_unique<RunningServer>(root_.path(), false, registrar());
        ASSERT_TRUE(server_->started());
    }

    void TearDown() override {
        server_.reset();
        TestLog::destroy();
        agent_.reset();
    }

    // The commands of the server; tests that add plug-ins override it.
    virtual HttpServer::CommandRegistrar registrar() { return registerBuiltInCommands; }

    HttpReply get(const std::string& path) {
        return httpExchange(server_->port(),
                            httpRequestText("GET", path, "HTTP/1.0",
                                            std::string("Host: ") + kBrowserHost + "\r\n"));
    }

    // Runs a registered command directly, with a form the test prepared.
    std::string runDirect(const std::string& name, FormVariables& form) {
        testing::TcpPair pair = testing::loopbackPair();
        if (!pair.ok()) return "no loopback connection";
        pair.client.reset();
        HttpRequest request(pair.server.release(), server_->port(), false, "", &server_->server());
        ResponseBuffer out;
        if (server_->server().runCommand(request, name, form, out) == 1)
            return "not registered: " + name;
        return out.str();
    }

    std::shared_ptr<TestResult> newRecord() { return TestLog::instance()->newTestResult(); }

    AgentState& agent() { return *agent_; }
    HttpServer& server() { return server_->server(); }

    TempDir root_;
    std::unique_ptr<AgentState> agent_;
    std::unique_ptr<RunningServer> server_;
};

}  // namespace trellon::testing
