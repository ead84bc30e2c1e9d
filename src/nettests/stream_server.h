// StreamServer: the sending side of a streaming test, on the agent that was
// asked to stream ("startStreamServer").
//
// StartStreamServerCommand checks the request, takes a running-test slot and
// a record from the test log, makes the server and opens its socket (so a
// port that cannot be used is refused before anything starts), then starts
// the thread, which frees itself when the stream ends. The socket is
// connected to the asking agent's own address (the HTTP peer), never to an
// address named in the request, so no request can aim a stream at a third
// computer.
//
// Run sends fixed-size packets paced by StreamPacer until the time limit,
// a cancel of its record (the asking agent's cancel request), a stop or the
// agent's shutdown, or a send error. Each packet carries its number, the time
// it was built and how long the previous send call took. The record is the
// server's own test on this agent's results page: it moves to running when
// the stream starts and to finished with what was sent and why it ended, and
// it keeps the running-test slot until the thread object is gone.
//
// Threads: the command's request thread makes and starts it; Run alone uses
// the socket; stop() (any thread, shutdown's cancellation too) only sets a
// flag that the pacing wait looks at every few milliseconds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "lib/thread.h"
#include "platform/native_socket.h"

namespace trellon {

class PacingClock;
class TestResult;

class StreamServer : public Thread {
public:
    struct Settings {
        std::uint32_t clientAddress = 0;  // IPv4, network order: the HTTP peer
        int destinationPort = 0;          // the client's receive port
        int sourcePort = 0;               // 1024-65535 binds it; otherwise any
        int packetSize = 0;               // 28-1500
        int flowRate = 0;                 // bytes per second, 1-1,250,000
        int dscp = -1;
        int priority = -1;
        int reportInterval = 1;
        int timeLimit = 0;  // seconds
    };

    static constexpr const char* kTitle = "Streaming Media Simulation Test (sending side)";
    static constexpr int kSendTimeoutMs = 60;
    // Refusals (the receiver has closed its port) within this many seconds of
    // the end are the receiver ending its own time first, not a failure.
    static constexpr int kReceiverEndGraceSeconds = 2;
    // Streams of at most 1000 packets a second run in the real-time class
    // where the system allows it, so a loaded machine does not make their
    // packets late.
    static constexpr std::uint64_t kRealtimeMinimumPeriod = 1000000;  // ns

    StreamServer(const Settings& settings, std::shared_ptr<TestResult> record, bool deleteSelf);
    ~StreamServer() override;

    // Opens the socket, binds the source port when one is asked for, and
    // connects it to the client. False, with the reason, when it cannot.
    bool open(std::string* reason);
    // The title, roles, explanation and ports of the server's own record.
    void describe() const;

    void stop() override;
    void Run() override;

    int sourcePort() const { return sourcePort_; }
    std::uint64_t packetsSent() const { return packetsSent_.load(); }
    const Settings& settings() const { return settings_; }
    // Nanoseconds between departures: packet size * 10^9 / flow rate.
    static std::uint64_t periodNanoseconds(int packetSize, int flowRate);

    // Tests only: the counter the pacing runs on.
    void setClockForTests(PacingClock* clock) { clock_ = clock; }

private:
    bool shouldStop() const;
    void finish(const std::string& reason);
    void reportRow(std::int64_t now, std::uint64_t intervalPackets);

    Settings settings_;
    std::shared_ptr<TestResult> record_;
    platform::NativeSocket socket_ = platform::kNoSocket;
    int sourcePort_ = 0;
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::uint64_t> packetsSent_{0};
    PacingClock* clock_;
};

}  // namespace trellon
