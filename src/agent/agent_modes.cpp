#include "agent/agent_modes.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "agent/performance_agent.h"
#include "agent/start_pages.h"
#include "lib/log.h"
#include "platform/module_path.h"
#include "platform/service_manager.h"
#include "platform/signals.h"
#include "results/test_log.h"

namespace trellon {

namespace {

void removeService(const char* name) {
    int error = 0;
    switch (platform::removeService(name, error)) {
        case platform::ServiceRemoval::managerUnavailable:
            std::printf("OpenSCManager failed, error code = %d\n", error);
            break;
        case platform::ServiceRemoval::notFound:
            std::printf("OpenService failed, error code = %d\n", error);
            break;
        case platform::ServiceRemoval::removed:
            std::printf("Service %s removed\n", name);
            break;
        case platform::ServiceRemoval::failed:
            std::printf("Failed to delete service %s\n", name);
            break;
    }
}

// -i, -u and -r have no servers to stop in order: a stop signal ends the
// program at once, as the signal's own action would have. It first waits for
// a settings or start page write under way, so none is left half done.
void endOneShotMode(int sig) {
    logLine("Exit signal handler invoked");
    agentFileWriteLock().lock();  // held until the process is gone
    platform::endProcessBySignal(sig);
}

}  // namespace

void removeOldServices() {
    for (const std::string& imagePath : platform::installedServiceImagePaths()) {
        if (imagePath.find("ostrandagent.exe") != std::string::npos ||
            imagePath.find("Trellon.exe") != std::string::npos ||
            imagePath.find("TrellonService.exe") != std::string::npos) {
            removeService("Ostrand");
            removeService("Trellon");
        }
    }
}

void installMode(const std::string& workingDirectory) {
    logLine("installing in working directory:");
    logLine(workingDirectory);
    // Windows sockets would be started here; BSD sockets need no start-up.
    auto agent = std::make_unique<PerformanceAgent>(workingDirectory);
    agent->loadSettings();
    if (agent->probeStandardPorts()) {
        if (writeStartHtml(*agent)) agent->createKey();
    }
    agent.reset();
    TestLog::destroy();
    logLine("install completed, not started yet.");
}

void uninstallMode(const std::string& workingDirectory) {
    logLine("uninstalling ostrand");
    auto agent = std::make_unique<PerformanceAgent>(workingDirectory);
    agent->loadSettings();
    agent->deleteKey();
    agent.reset();
    TestLog::destroy();
    logLine("finished");
}

void runMode(const std::string& workingDirectory) {
    // The console control handler: stop signals reach the exit handler on
    // their own thread.
    platform::StopSignalThread signals([](int) { exitSignalHandler(); });
    {
        auto agent = std::make_unique<PerformanceAgent>(workingDirectory);
        logFormatted("Starting Trellon version %s\n", kProgramVersion);
        agent->runAgent();
    }
    TestLog::destroy();
}

int agentMain(int argc, char** argv) {
    setLogQuiet(false);
    if (std::FILE* log = openLog(true)) std::fclose(log);
    std::string workingDirectory = platform::executableDirectory();

    if (argc == 2) {
        std::optional<platform::StopSignalThread> signals;
        if (std::strcmp(argv[1], "-i") == 0 || std::strcmp(argv[1], "-u") == 0 ||
            std::strcmp(argv[1], "-r") == 0) {
            signals.emplace(endOneShotMode);
        }
        if (std::strcmp(argv[1], "-i") == 0) {
            removeOldServices();
            installMode(workingDirectory);
            return 0;
        }
        if (std::strcmp(argv[1], "-u") == 0) {
            uninstallMode(workingDirectory);
            return 0;
        }
        if (std::strcmp(argv[1], "-r") == 0) {
            uninstallMode(workingDirectory);
            installMode(workingDirectory);
            return 0;
        }
    }
    logLine("TRL agent start");
    logLine(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    runMode(workingDirectory);
    return 0;
}

}  // namespace trellon
