#include "nettests/streaming_test_thread.h"

#include <chrono>
#include <cstdio>

#include "lib/agent_state.h"
#include "lib/error_report.h"
#include "nettests/remote_agent_status.h"
#include "nettests/start_stream_server_command.h"
#include "nettests/stream_client.h"
#include "results/test_result.h"

namespace trellon {

namespace {

using namespace std::chrono_literals;

// The client binds at once; this only bounds a thread that cannot start.
constexpr auto kPortWait = 10s;
// How often the running test looks for a cancel.
constexpr auto kWatchSlice = 20ms;

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

StreamingTestThread::StreamingTestThread(std::shared_ptr<TestResult> result,
                                         std::string remoteComputer, int remotePort, int packetSize,
                                         int flowRate, int bufferDuration, int reportInterval,
                                         int timeLimit, int dscp, int priority8021p, int serverPort,
                                         bool deleteSelf)
    : PerformanceTestThread("StreamingTestThread", std::move(result), std::move(remoteComputer),
                            remotePort, timeLimit, packetSize, dscp, priority8021p, reportInterval,
                            deleteSelf),
      packetSize_(packetSize),
      flowRate_(flowRate),
      bufferDuration_(bufferDuration),
      serverPort_(serverPort) {}

StreamingTestThread::~StreamingTestThread() = default;

void StreamingTestThread::stop() {
    PerformanceTestThread::stop();
    stopped_.store(true);
    std::lock_guard<std::mutex> guard(clientLock_);
    if (client_ != nullptr) client_->stop();
}

void StreamingTestThread::runTest() {
    try {
        std::string reason;
        std::shared_ptr<RemoteAgentStatus> remote = remoteCheck(&reason);
        if (!remote) {
            result_->endWithReason(reason);
            return;
        }
        AgentState* agent = AgentState::current();
        StreamClient::Settings settings;
        settings.localPort = agent != nullptr ? agent->streamingClientPort.load() : 0;
        settings.packetSize = packetSize_;
        settings.flowRate = flowRate_;
        settings.bufferDuration = bufferDuration_;
        settings.reportInterval = reportInterval_;
        settings.timeLimit = timeLimit_;
        settings.sender = remote->address();
        auto client = std::make_unique<StreamClient>(settings, result_);
        // Published for stop(); withdrawn before the client goes.
        struct Publish {
            StreamingTestThread& self;
            Publish(StreamingTestThread& thread, StreamClient& c) : self(thread) {
                std::lock_guard<std::mutex> guard(self.clientLock_);
                self.client_ = &c;
            }
            ~Publish() {
                std::lock_guard<std::mutex> guard(self.clientLock_);
                self.client_ = nullptr;
            }
        } publish(*this, *client);
        if (stopped_.load()) client->stop();
        client->start();

        int port = client->waitForPort(kPortWait);
        if (port == 0) {
            client->stop();
            client->join();
            std::string text = "The stream could not be received: no local UDP port " +
                               std::to_string(settings.localPort) + " could be opened.";
            result_->addMessage("<p>" + text + "</p>\n");
            result_->endWithReason(text);
            return;
        }
        result_->setStreamReceivePort(port);
        result_->setState(TestResult::kRunning);

        StreamServerRequest request;
        request.port = port;
        request.fromPort = serverPort_;
        request.packetSize = packetSize_;
        request.flowRate = flowRate_;
        request.reportInterval = reportInterval_;
        request.timeLimit = timeLimit_;
        request.dscp = dscp_;
        request.priority = priority8021p_;
        int remoteId = 0;
        std::int64_t roundTrip = -1;
        bool started = requestStreamServer(*remote, request, &remoteId, &roundTrip);
        client->setRoundTrip(roundTrip);
        if (!started) {
            // Finished first, so the client's end adds no figures of a stream
            // that never came.
            result_->addMessage(kServerFailedText);
            result_->endWithReason("The remote computer failed to start a stream server.");
            client->stop();
            client->join();
            return;
        }
        remoteTestId_.store(remoteId);
        watchStream(*client);
        client->join();
    } catch (...) {
        printLine("Unknown exception in StreamingTestThread\n");
        printLine(std::string("(StreamingTestThread::runTest() ") + sourceFileName(__FILE__) +
                  " at line " + std::to_string(__LINE__) + ")\n");
        throw;
    }
}

void StreamingTestThread::watchStream(StreamClient& client) {
    bool cancelSent = false;
    while (!client.waitEnded(kWatchSlice)) {
        if (stopped_.load()) client.stop();
        if (!cancelSent && result_->isCancelled()) {
            // The remote server first: stopped by its own record's cancel, it
            // says so; stopped by our closed port, it could only say the
            // receiver went away.
            sendCancelRequest(remoteComputer_, *result_, remoteTestId_.load());
            cancelSent = true;
            client.stop();
        }
    }
    if (!cancelSent && result_->isCancelled())
        sendCancelRequest(remoteComputer_, *result_, remoteTestId_.load());
}

}  // namespace trellon
