// StreamingTestThread: the streaming media test, run by RunStreamingCommand.
//
// The remote agent sends the stream and this agent receives it: runTest
// starts a StreamClient first, waits until it listens, and only then asks the
// remote agent to start a StreamServer toward that port (so no packet comes
// before anyone receives). While the stream runs it watches the record: a
// cancel is passed on to the remote agent (its cancel request, so the remote
// server stops and its record says it was cancelled) before the client is
// stopped; a stop (agent shutdown) stops the client at once. The client makes
// the figures and finishes the record; runTest joins it before it returns, so
// no thread outlives the test.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "nettests/test_thread.h"

namespace trellon {

class StreamClient;

class StreamingTestThread : public PerformanceTestThread {
public:
    // serverPort: the streamingServerPort setting, the port the remote agent
    // is asked to send from (0: its choice).
    StreamingTestThread(std::shared_ptr<TestResult> result, std::string remoteComputer,
                        int remotePort, int packetSize, int flowRate, int bufferDuration,
                        int reportInterval, int timeLimit, int dscp, int priority8021p,
                        int serverPort, bool deleteSelf);
    ~StreamingTestThread() override;

    void stop() override;
    void runTest() override;

    int packetSize() const { return packetSize_; }
    int flowRate() const { return flowRate_; }
    int bufferDuration() const { return bufferDuration_; }
    // The remote stream server's test id, 0 until it answered.
    int remoteTestId() const { return remoteTestId_.load(); }

    static constexpr const char* kServerFailedText =
        "<p><b>The remote computer failed to start a stream server.</b></p>";

private:
    void watchStream(StreamClient& client);

    int packetSize_;
    int flowRate_;
    int bufferDuration_;
    int serverPort_;
    std::atomic<int> remoteTestId_{0};
    std::atomic<bool> stopped_{false};
    std::mutex clientLock_;           // guards client_ against stop()
    StreamClient* client_ = nullptr;  // while the client runs
};

}  // namespace trellon
