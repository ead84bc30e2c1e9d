// StreamClient: the receiving side of a streaming test.
//
// StreamingTestThread makes it, starts it, waits until it publishes the UDP
// port it receives on, and only then asks the remote agent to stream to that
// port; it stops the client (stop()) when the test is cancelled or the
// remote agent could not start its server, and joins it.
//
// Run owns the socket and the statistics. Of all that arrives it counts only
// the stream it asked for: datagrams from the remote agent's address that
// hold a whole stream header. The first such datagram fixes the sender's port
// (the remote agent chooses it), the socket is then connected to that address
// and port so the kernel drops everyone else's, and datagrams from elsewhere
// that were already queued are skipped, so a stranger flooding the port costs
// only the reads. After each packet the figures go to the record
// (addStreamReport), which adds a progress row once per report interval;
// when the stream ends (its time limit, stop, shutdown, or the record
// finished by the test thread) the buffer is emptied into the figures and the
// record gets the final figures (finishStream) and is finished.
//
// Arrival times are the kernel's receive stamps where the system gives them,
// so the jitter does not include how long this thread took to be scheduled.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "lib/thread.h"
#include "platform/native_socket.h"

namespace trellon {

class StreamStatistics;
class TestResult;

class StreamClient : public Thread {
public:
    struct Settings {
        int localPort = 0;  // the streamingClientPort setting; 0: the system chooses
        int packetSize = 0;
        int flowRate = 0;        // bytes per second
        int bufferDuration = 0;  // milliseconds
        int reportInterval = 1;
        int timeLimit = 0;         // seconds
        std::uint32_t sender = 0;  // the remote agent's IPv4 address, network order
    };

    // How often Run looks at its stop flags while nothing arrives.
    static constexpr std::chrono::milliseconds kSlice{50};

    // Records the buffer, the report interval, the first report time and the
    // test type in the record.
    StreamClient(const Settings& settings, std::shared_ptr<TestResult> record);
    ~StreamClient() override;

    void stop() override;
    void Run() override;

    // Waits for the bound port: the port, or 0 when Run ended (or the wait
    // passed) without one.
    int waitForPort(std::chrono::milliseconds limit);
    // Waits until Run has ended; false when the wait passed first.
    bool waitEnded(std::chrono::milliseconds limit);

    // The round trip to the sender, for the stream's one-way delay (any
    // thread; see StreamStatistics::setRoundTrip).
    void setRoundTrip(std::int64_t usec) { roundTripUs_.store(usec); }

    // Datagrams read that were not the stream (strangers, short or foreign packets).
    std::uint64_t ignoredDatagrams() const { return ignored_.load(); }

private:
    bool shouldStop() const;
    void publishPort(int port);
    void markEnded();
    // Reads what has arrived, a batch at most, and counts the stream's packets.
    void drain(platform::NativeSocket socket, StreamStatistics& statistics, std::uint8_t* buffer,
               std::size_t size);

    Settings settings_;
    std::shared_ptr<TestResult> record_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::uint64_t> ignored_{0};
    std::atomic<std::int64_t> roundTripUs_{-1};
    bool lockedOn_ = false;  // Run only: the sender's port is known
    std::uint16_t senderPort_ = 0;

    std::mutex portLock_;  // guards port_ and ended_; with portChanged_
    std::condition_variable portChanged_;
    int port_ = 0;
    bool ended_ = false;
};

}  // namespace trellon
