// AgentState: what every part of the agent reads of the one running agent —
// its typed settings, ports, counters and status text.
//
// The agent object (PerformanceAgent) derives from it and registers itself as
// the current agent; the web server, the tests and the commands reach the
// settings through current(), never through the agent's own class, so the
// layers below the agent do not depend on it. String settings are read and
// written under the settings lock (the settings page changes them while
// request and test threads read them); numbers and counters are atomic.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace trellon {

constexpr const char* kProgramVersion = "3.2";

class AgentState {
public:
    AgentState();
    virtual ~AgentState();

    AgentState(const AgentState&) = delete;
    AgentState& operator=(const AgentState&) = delete;

    // The agent that runs now, or null (set by the constructor, cleared by the destructor).
    static AgentState* current();

    // Copies the fields into the settings store (the settings pages call it).
    virtual void saveSettings() {}

    // Typed settings and ports.
    std::atomic<int> testLogSize{100};
    std::atomic<int> controlPort{4044};
    std::atomic<int> serverTcpPort{4045};
    std::atomic<int> streamDestinationUdpPort{4046};
    std::atomic<int> reflectorResponsePort{4047};
    std::atomic<bool> sampleInvisible{true};
    std::atomic<bool> useHtdocs{false};
    std::atomic<bool> authenticated{false};
    std::atomic<bool> useHTTPS{false};
    std::atomic<int> responseTimePort{0};
    std::atomic<int> bandwidthPort{0};
    std::atomic<int> streamingClientPort{0};
    std::atomic<int> streamingServerPort{0};
    std::atomic<int> responseTimeLimit{60};
    std::atomic<int> bandwidthTimeLimit{60};
    std::atomic<int> streamingTimeLimit{60};

    // Counters shown on the status page.
    std::atomic<int> testsCreated{0};
    std::atomic<int> testsRunning{0};
    std::atomic<int> httpRequests{0};

    std::string name() const;
    std::string password() const;
    std::string hint() const;
    std::string htdocsPath() const;
    std::string workingDirectory() const;
    std::string lastRemoteComputer() const;
    std::string startTimeText() const { return startTimeText_; }
    void setName(const std::string& value);
    void setPassword(const std::string& value);
    void setHint(const std::string& value);
    void setHtdocsPath(const std::string& value);
    void setWorkingDirectory(const std::string& value);
    void setLastRemoteComputer(const std::string& value);

    // Start-up and shutdown messages, in order.
    void appendStatus(const std::string& text);
    std::string statusText() const;

    // Held while the settings pages change fields and while they are saved.
    std::recursive_mutex& settingsLock() const { return settingsLock_; }

private:
    mutable std::recursive_mutex settingsLock_;  // guards the strings below and saves
    std::string name_ = "admin";
    std::string password_;
    std::string hint_;
    std::string htdocsPath_;
    std::string workingDirectory_;
    std::string lastRemoteComputer_;
    std::string startTimeText_;
    mutable std::mutex statusLock_;  // guards statusText_
    std::string statusText_;
};

// The name of this computer ("unknown" when the lookup failed), set by the
// settings load.
std::string hostName();
void setHostName(const std::string& name);

// "%a, %d %b %Y %H:%M:%S GMT" of a time in seconds since 1970.
std::string formatHttpDate(long long seconds);

}  // namespace trellon
