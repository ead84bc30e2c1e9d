#include "agent/performance_agent.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>

#include "http/http_server.h"
#include "lib/listener_thread.h"
#include "lib/log.h"
#include "lib/shutdown.h"
#include "lib/thread.h"
#include "agent/start_pages.h"
#include "nettests/data_sink.h"
#include "nettests/remote_agent_status.h"
#include "nettests/response_reflector.h"
#include "results/test_log.h"
#include "platform/clock.h"

namespace trellon {

namespace {

std::atomic<int> gRetryDelayMs{10000};
std::atomic<int> gShutdownPauseMs{3000};

// Stop state of the process: the exit handler and ostrandStop each run once.
std::mutex gExitHandlerMutex;
std::mutex gStopMutex;
bool gStopIssued = false;
bool gStopCalled = false;

// Wakes the error-recovery wait early when a stop arrives.
std::mutex gRetryMutex;
std::condition_variable gRetryWake;

}  // namespace

PerformanceAgent::PerformanceAgent(const std::string& workingDirectory, platform::SettingsStore store)
    : store_(std::move(store)) {
    setWorkingDirectory(workingDirectory);
    setHtdocsPath(workingDirectory + "htdocs/");
}

PerformanceAgent::~PerformanceAgent() {
    std::unique_ptr<HttpServer> server;
    {
        std::lock_guard<std::mutex> guard(serverLock_);
        server = std::move(httpServer_);
        servedControlPort_.store(-1);
    }
    server.reset();
    responseReflector_.reset();
}

bool PerformanceAgent::isShutdownRequested() { return trellon::isShutdownRequested(); }

PerformanceAgent* PerformanceAgent::currentAgent() { return dynamic_cast<PerformanceAgent*>(AgentState::current()); }

void PerformanceAgent::setRetryDelayForTests(int milliseconds) { gRetryDelayMs.store(milliseconds); }

void PerformanceAgent::setShutdownPauseForTests(int milliseconds) { gShutdownPauseMs.store(milliseconds); }

void PerformanceAgent::createTestLog(int capacity) { TestLog::create(capacity); }

int PerformanceAgent::runningControlPort() {
    const int served = servedControlPort_.load();
    return served >= 0 ? served : controlPort.load();
}

void PerformanceAgent::stopHttpServer() {
    std::lock_guard<std::mutex> guard(serverLock_);
    if (httpServer_) httpServer_->stop();
}

bool PerformanceAgent::runAgent() {
    logLine("Initialize agent");
    loadSettings();
    logLine("Update trl_install_url.htm file");
    writeStartHtml(*this);
    startComponents();
    started_ = true;
    serve();

    logFormatted("%s", "Server shutdown requested\n");
    requestShutdown();
    if (responseReflector_) responseReflector_->pulse();
    stopThreads();

    platform::sleepMilliseconds(gShutdownPauseMs.load());
    logFormatted("%s", "Server shutdown finished\n");
    return true;
}

void PerformanceAgent::startComponents() {
    logFormatted("%s", "Starting TCP listener for available bandwidth testing data sink.\n");
    installDataSinkHandler();
    auto* listener = new ListenerThread(serverTcpPort.load());
    bandwidthListener_ = listener;
    listener->start();
    logLine("TCP listener started");
    logFormatted("%s", "Starting UDP packet reflector for latency tests.\n");

    responseReflector_ = std::make_unique<ResponseReflector>(reflectorResponsePort.load());
    responseReflector_->openSocketRunThreads();
    reflectorResponsePort.store(responseReflector_->port());
    appendStatus("Windows chose port " + std::to_string(reflectorResponsePort.load()) +
                 " for response time packet reflector port.\n");
    logFormatted("%s", statusText().c_str());

    // The listener frees itself if its listen fails, so its published port is
    // read rather than the object.
    int port = 0;
    for (int i = 0; i < 100; ++i) {
        port = ListenerThread::listeningPort();
        if (port != 0) break;
        platform::sleepMilliseconds(300);
    }
    if (port <= 0) return;
    serverTcpPort.store(port);
    appendStatus("Windows chose port " + std::to_string(port) + " for TCP bandwidth test port.\n");
    logFormatted("%s", statusText().c_str());
}

void PerformanceAgent::serve() {
    int attempt = 1;
    for (;;) {
        // Built outside the server lock: the build reads the settings, and a
        // save holds the settings lock while it copies them.
        std::unique_ptr<HttpServer> built = makeHttpServer(*this);
        HttpServer* server = built.get();
        {
            std::lock_guard<std::mutex> guard(serverLock_);
            httpServer_ = std::move(built);
            servedControlPort_.store(server->controlPort());
        }
        serversBuilt_.fetch_add(1);
        // A stop that arrived while the server was being built found none to stop.
        if (!trellon::isShutdownRequested()) server->run();
        if (trellon::isShutdownRequested()) break;
        std::unique_ptr<HttpServer> failed;
        {
            std::lock_guard<std::mutex> guard(serverLock_);
            failed = std::move(httpServer_);
            servedControlPort_.store(-1);
        }
        failed.reset();
        logLine("Error recovery started, retrying " + std::to_string(attempt));
        ++attempt;
        // The ten-second one-shot timer; a stop request ends the wait early.
        std::unique_lock<std::mutex> lock(gRetryMutex);
        gRetryWake.wait_for(lock, std::chrono::milliseconds(gRetryDelayMs.load()),
                            [] { return trellon::isShutdownRequested(); });
        if (trellon::isShutdownRequested()) break;
    }
}

void PerformanceAgent::stopThreads() {
    if (responseReflector_) responseReflector_->stop();
    std::printf("Let socket threads exit.\n");
    std::fflush(stdout);
    for (int i = 0; i < 10; ++i) {
        platform::sleepMilliseconds(500);
        if (Thread::liveThreadCount() == 0) break;
    }
    if (Thread::liveThreadCount() == 0) {
        appendStatus("All threads shut down gracefully.\n");
        std::printf("All threads shut down gracefully.\n");
    } else if (Thread::liveThreadCount() == 0) {
        appendStatus("All threads exited normally\n");
        std::printf("All threads exited normally\n");
    } else {
        Thread::cancelAllThreads();
        appendStatus("Threads stopped.\n");
    }
    std::fflush(stdout);
    emptyRemoteAgentCache();
    threadsStopped_ = true;
}

void ostrandStop() {
    std::lock_guard<std::mutex> guard(gStopMutex);
    if (gStopCalled) {
        std::printf("ostrandStop() called more than once, ignoring...\n");
    } else {
        gStopCalled = true;
        requestShutdown();
        {
            std::lock_guard<std::mutex> wake(gRetryMutex);
        }
        gRetryWake.notify_all();
        if (PerformanceAgent* agent = PerformanceAgent::currentAgent()) agent->stopHttpServer();
    }
    std::fflush(stdout);
}

void exitSignalHandler() {
    setLogQuiet(false);
    logLine("Exit signal handler invoked");
    std::lock_guard<std::mutex> guard(gExitHandlerMutex);
    if (gStopIssued) return;
    gStopIssued = true;
    logLine("Issue stop command to server threads");
    ostrandStop();
    std::fflush(stdout);
}

void resetStopStateForTests() {
    std::lock_guard<std::mutex> a(gExitHandlerMutex);
    std::lock_guard<std::mutex> b(gStopMutex);
    gStopIssued = false;
    gStopCalled = false;
    resetShutdownRequestForTests();
}

}  // namespace trellon
