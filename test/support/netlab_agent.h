// A trellon agent running in a lab host, for tests that need real agents.
//
//   AgentProcess agent(host, {.settings = {{"testLogSize", "10"}}});
//   ASSERT_TRUE(agent.ready());      // listening on its control port in time
//   ... talk to host.address():4044 from another host ...
//   EXPECT_EQ(agent.stop(), 0);      // SIGINT, as a console's Ctrl+C
//
// Each agent gets a temporary folder holding a copy of the built program with
// its htdocs/ beside it (the agent works in its program's folder) and its own
// settings file (TRELLON_SETTINGS points there), so agents side by side in
// different hosts share nothing and all use the standard ports. When the
// current test has failed, the destructor prints the agent's console output
// and htdocs/log.txt. The destructor stops a running agent as stop() does;
// declare agents after their Lab, so they stop before the lab kills what is
// left in its hosts.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/netlab.h"
#include "support/test_support.h"

namespace trellon::netlab {

struct AgentOptions {
    // The settings file, one name=value line each, in this order.
    std::vector<std::pair<std::string, std::string>> settings;
    // The port whose listener means "started"; 0: the controlPort setting, or 4044.
    int readyPort = 0;
    std::chrono::milliseconds startTimeout{15000};
    // The agent pauses 3 seconds before "Server shutdown finished".
    std::chrono::milliseconds stopTimeout{15000};
    // Where trellon and htdocs/ are taken from; empty: $TRELLON_NETLAB_AGENT_DIR,
    // else this build's program folder.
    std::string programFolder;
    std::vector<std::string> arguments;  // after the program name
    bool waitUntilReady = true;
};

class AgentProcess {
public:
    // Starts the agent; with waitUntilReady, waits for its listener (ready() says how it went).
    // Throws std::runtime_error when the folder cannot be prepared or the program not started.
    explicit AgentProcess(const Host& host, AgentOptions options = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Success once the agent listened on its ready port within the start
    // timeout; otherwise why not, with the end of its console output.
    ::testing::AssertionResult ready() const;

    // Waits (up to the start timeout) for the listener on the ready port and
    // records the outcome for ready(); the constructor does it unless told
    // not to, so that several agents can start at once.
    ::testing::AssertionResult waitUntilReady();

    // Waits (up to the start timeout) for a listener on any port.
    bool waitListening(int port) const;

    // SIGINT, then up to the stop timeout for the exit, SIGKILL as the last
    // resort. Returns the exit status (137 after SIGKILL); again: the same.
    int stop();
    // Sends the SIGINT only, so several agents can pause for their shutdown at once.
    void requestStop();
    bool killedAtStop() const { return killed_; }
    bool running();

    pid_t pid() const { return process_ ? process_->pid() : -1; }
    const Host& host() const { return host_; }
    const std::string& folder() const { return folder_; }
    std::string settingsPath() const { return folder_ + "/agent.conf"; }
    std::string console() const;  // standard output and error so far
    std::string log() const;      // htdocs/log.txt
    void printDiagnostics() const;

private:
    Host host_;
    AgentOptions options_;
    std::unique_ptr<testing::TempDir> temp_;
    std::string folder_;
    std::unique_ptr<Process> process_;
    std::string readyError_ = "not waited for";
    std::optional<int> exitStatus_;
    bool killed_ = false;
    bool stopRequested_ = false;
};

}  // namespace trellon::netlab
