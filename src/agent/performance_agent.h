// PerformanceAgent: the one agent object of a running trellon.
//
// The main thread builds it, loads the settings, starts the data sink and
// the reflector, then serves the control port until a stop signal arrives;
// the stop signal thread only sets flags and stops the HTTP server (through
// ostrandStop), and the main thread performs the shutdown. Layers below the
// agent see it as its AgentState base.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "agent/parameter_map.h"
#include "lib/agent_state.h"
#include "platform/settings_store.h"

namespace trellon {

class HttpServer;
class ListenerThread;
class ResponseReflector;

class PerformanceAgent : public AgentState {
public:
    explicit PerformanceAgent(const std::string& workingDirectory,
                              platform::SettingsStore store = platform::SettingsStore());
    ~PerformanceAgent() override;

    static bool isShutdownRequested();
    static PerformanceAgent* currentAgent();

    // Run mode: load, start the components, serve, shut down. Returns true.
    bool runAgent();

    // Settings (the parameter table, load/save, key creation and removal, the
    // standard port probe).
    void loadSettings();
    void saveSettings() override;
    bool createKey();
    bool deleteKey();
    bool probeStandardPorts();

    ParameterMap& parameters() { return parameters_; }
    const platform::SettingsStore& store() const { return store_; }
    bool initialised() const { return initialised_; }
    bool started() const { return started_; }
    bool threadsStopped() const { return threadsStopped_; }

    // Stops the running HTTP server, if any (the stop signal path).
    void stopHttpServer();

    // Servers the run loop has built so far (tests watch the rebuilds).
    int serversBuilt() const { return serversBuilt_.load(); }

    // How long the run loop waits before it builds a new server after a
    // failure (10 seconds; tests shorten it).
    static void setRetryDelayForTests(int milliseconds);
    // The pause before "Server shutdown finished" (3 seconds; tests shorten it).
    static void setShutdownPauseForTests(int milliseconds);

private:
    void createTestLog(int capacity);
    // The fields into the parameter map in their saved forms (settings lock held).
    void copySettingsIntoMap();
    int runningControlPort();
    void startComponents();
    void serve();
    void stopThreads();

    ParameterMap parameters_;
    bool initialised_ = false;
    bool started_ = false;
    bool threadsStopped_ = false;
    platform::SettingsStore store_;

    // Lock order: the server lock is taken last and nothing is taken under
    // it but the server's own stop. A server is built (which reads the
    // settings under the settings lock) and destroyed outside it, and a save
    // reads the running control port from servedControlPort_, so a save
    // during a rebuild cannot wait on the rebuild while it waits on the save.
    std::mutex serverLock_;  // guards httpServer_ against the stop signal thread
    std::unique_ptr<HttpServer> httpServer_;
    std::atomic<int> servedControlPort_{-1};  // the running server's port; -1: none
    std::atomic<int> serversBuilt_{0};

    // Saves copy the settings under the settings lock and write the file
    // under the file write lock, in generations, so that a save that lost
    // the race to the disk never writes older values over newer ones.
    std::uint64_t saveGeneration_ = 0;             // guarded by the settings lock
    std::uint64_t writtenGeneration_ = 0;          // guarded by agentFileWriteLock()
    ListenerThread* bandwidthListener_ = nullptr;  // frees itself when its thread ends
    std::unique_ptr<ResponseReflector> responseReflector_;
};

// Builds the HTTP server for the agent's settings, with every command registered.
std::unique_ptr<HttpServer> makeHttpServer(PerformanceAgent& agent);

// Asks the running agent to stop; safe from any thread and more than once.
void ostrandStop();

// The console stop path: logs, then issues the stop once.
void exitSignalHandler();

// Tests only: forget earlier stop requests so a new agent can run.
void resetStopStateForTests();

// A setting's value as the console and the log may show it: the password
// never appears, only whether one is set ("********" or empty).
std::string shownSettingValue(const std::string& name, const std::string& value);

// Held while the settings file or a start page file is written. A stop signal
// in the install modes takes it before it ends the program, so it never ends
// one in the middle of a write.
std::mutex& agentFileWriteLock();

}  // namespace trellon
