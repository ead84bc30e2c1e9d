// AgentProcess: runs the real trellon binary for a test.
//
// Each agent gets a fresh working folder (a copy of the built program with
// its htdocs/ beside it) and its own settings file, given through
// TRELLON_SETTINGS. Console output goes to files in the folder; the test can
// wait for a text to appear, send signals and wait for the exit, each with a
// deadline. The destructor kills an agent that is still running and, when
// the test failed, prints its console output and log so the failure can be
// understood.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace trellon::testing {

class AgentProcess {
public:
    struct Options {
        std::map<std::string, std::string> settings;  // written to the settings file; none: no file
        bool writeSettings = true;
        std::vector<std::string> arguments;           // after the program name
        std::string netns;                            // run inside this network namespace when set
        std::string program = "trellon";
    };

    explicit AgentProcess(Options options);
    ~AgentProcess();

    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    bool start();
    pid_t pid() const { return pid_; }
    const std::string& folder() const { return dir_.path(); }
    std::string settingsPath() const { return dir_.file("agent.conf"); }

    std::string output() const;  // standard output so far
    std::string errors() const;  // standard error so far
    std::string log() const;     // htdocs/log.txt

    // Waits until text appears in standard output.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
    // Counts occurrences of text in standard output.
    int countInOutput(const std::string& text) const;

    bool signal(int sig);
    // Waits for the process to end; returns its exit code, or -1 at the deadline
    // (or when it died of a signal).
    int waitForExit(std::chrono::milliseconds limit);
    bool running();

    // The whole story, for failure messages.
    std::string report() const;

private:
    Options options_;
    TempDir dir_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
};

// A TCP port that was free a moment ago on 127.0.0.1.
int freeTcpPort();
// A port free for both TCP and UDP.
int freePort();

// Whether this process may create network namespaces (root, and the ip tool).
bool canUseNetworkNamespaces(std::string* why = nullptr);

// A network namespace with loopback up, removed at destruction.
class ScopedNetns {
public:
    ScopedNetns();
    ~ScopedNetns();
    ScopedNetns(const ScopedNetns&) = delete;
    ScopedNetns& operator=(const ScopedNetns&) = delete;
    const std::string& name() const { return name_; }
    bool ok() const { return ok_; }
    // Runs a shell command inside the namespace.
    int run(const std::string& command, std::string* output = nullptr) const;

private:
    std::string name_;
    bool ok_ = false;
};

}  // namespace trellon::testing
