// ResponseTestThread: the response-time test, run against a remote agent's
// reflector.
//
// The test thread (made and started by RunResponseCommand) owns one UDP
// socket and two worker threads that share it: ResponseWriterThread only
// sends probes, one per pause, stamping the send time (T1);
// ResponseReaderThread only receives the replies, reads the reflector's
// stamps (T2, T3) and its own receive time (T4), works out the round trip
// and the reflector's hold (ResponseTimes) and hands them to the record
// (TestResult), which makes the row and the figures under its lock.
//
// The time limit runs from the first probe, not from the start of the
// thread: the writer waits a second for the reader first, and a one-second
// test must still send for its second.
//
// Only replies to this test's own probes count: the writer notes each send
// time before the probe leaves, and the reader takes a reply only for a send
// time still outstanding (once, so duplicates are not counted twice, and a
// stranger's datagram brings no times of its own into the figures). Times
// are the probe's unsigned 32-bit words, and differences are taken so that
// their wrap in 2038 or 2106 changes nothing; a hold the reflector reports
// below zero counts as 0.
//
// Ending: the writer stops after the repeat count, at the time limit, on
// cancel, on shutdown or on a send error (reported in the record; a probe
// counts as sent only once its send succeeded). Replies still in flight are
// then waited for: the reader goes on until every probe has come back, or a
// grace time has passed (three times the longest round trip seen, at least
// one second, never beyond the time limit). A cancel ends the reader at once
// instead, with the replies that had already arrived. Only then, with the
// state still 1002, are the final figures computed, exactly once, whenever
// probes were sent; the state then moves through 1003 to 1004. A test that
// cannot run (no reflector port, no socket) ends with the reason as its
// final text. Every wait is a condition or a short poll slice that watches
// the stop flag, the record's cancelled flag and the shutdown flag, so a
// cancel or an agent stop ends both workers promptly; runTest joins them
// before it returns, so no thread outlives it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "lib/thread.h"
#include "nettests/probe_packet.h"
#include "nettests/test_thread.h"
#include "platform/net_address.h"

namespace trellon {

class RemoteAgentStatus;
class TestResult;

// One reply's round trip and reflector hold, in microseconds, from the four
// times of its trip: T1 sent, T2 and T3 stamped by the reflector, T4
// received. The round trip is at least 0 (our clock may step back); the hold
// is 0 when the reflector's words are unreadable or give less than 0, and at
// most the round trip.
struct ResponseTimes {
    std::int64_t roundTrip = 0;
    std::int64_t held = 0;

    // Nothing when T1 or T4 is not a time a clock can write.
    static std::optional<ResponseTimes> of(ProbePacket::Time sent, ProbePacket::Time reflectorIn,
                                           ProbePacket::Time reflectorOut,
                                           ProbePacket::Time received);
};

// What the test thread and its two workers share; lives in the test thread,
// which joins the workers before it goes.
class ResponseTestControl {
public:
    using Clock = std::chrono::steady_clock;

    explicit ResponseTestControl(Clock::duration timeLimit) : timeLimit_(timeLimit) {}

    // The time limit starts now: just before the first probe. Until then the
    // end time lies at the end of time.
    void startTimeLimit();
    Clock::time_point endTime() const {
        return Clock::time_point(Clock::duration(endTime_.load()));
    }
    bool pastEndTime() const { return Clock::now() > endTime(); }

    // Stop both workers now (test thread stop, errors).
    void requestStop();
    bool stopRequested() const { return stop_.load(); }

    // The time limit ended the test.
    void setTimeLimitReached() { timeLimitReached_.store(true); }
    bool timeLimitReached() const { return timeLimitReached_.load(); }

    // Waits until the deadline, the stop request or shutdown; false when
    // the wait was cut short. Slices of at most 50 ms so a cancel flag that
    // cannot notify is seen too (cancelled() is checked by the caller).
    bool waitUntil(Clock::time_point deadline, const TestResult& result);

    // Reader start-up hand-shake.
    void setReaderStarted();
    bool waitReaderStarted(std::chrono::milliseconds limit);

    // Writer finished: the reader may end once sent replies are in or the
    // grace time is over.
    void setWriterFinished(int packetsSent);
    bool writerFinished() const { return writerFinished_.load(); }
    int finalPacketsSent() const { return finalPacketsSent_.load(); }
    Clock::time_point graceEnd() const;

    // Longest round trip seen, in microseconds (the reader keeps it).
    void noteRoundTrip(std::int64_t microseconds);
    std::int64_t longestRoundTrip() const { return longestRoundTrip_.load(); }

    // Send times of probes whose reply has not come (ProbePacket::timeKey).
    // The writer notes each before the probe leaves (the reply may be read
    // before the send returns) and forgets it when the send fails; the reader
    // takes it with the reply, true once per probe sent. The oldest are
    // dropped beyond kRememberedProbes, so lost probes cannot grow it for ever.
    void noteSent(std::uint64_t key);
    void forgetSent(std::uint64_t key);
    bool takeReply(std::uint64_t key);

    // Why the writer stopped sending, when a send failed; empty otherwise.
    void setSendFailure(const std::string& text);
    std::string sendFailure() const;

    static constexpr std::chrono::milliseconds kMinimumGrace{1000};
    static constexpr std::size_t kRememberedProbes = 65536;

private:
    const Clock::duration timeLimit_;
    std::atomic<Clock::rep> endTime_{Clock::time_point::max().time_since_epoch().count()};
    std::atomic<bool> stop_{false};
    std::atomic<bool> timeLimitReached_{false};
    std::atomic<bool> writerFinished_{false};
    std::atomic<int> finalPacketsSent_{0};
    std::atomic<std::int64_t> longestRoundTrip_{0};
    mutable std::mutex lock_;  // guards readerStarted_, graceEnd_, sendFailure_; with wake_
    std::condition_variable wake_;
    bool readerStarted_ = false;
    Clock::time_point graceEnd_{};
    std::string sendFailure_;
    mutable std::mutex sentLock_;               // guards outstanding_
    std::map<std::uint64_t, int> outstanding_;  // send time key -> probes sent at it
};

class ResponseWriterThread : public Thread {
public:
    ResponseWriterThread(platform::NativeSocket socket, const sockaddr_in& destination,
                         int packetSize, int repeatCount, int pause, int dscp, int priority,
                         ResponseTestControl& control, std::shared_ptr<TestResult> result);
    ~ResponseWriterThread() override;

    void stop() override;
    void Run() override;

    // Header words A and B (2) and the reply marking words (65535 for -1).
    static void writeProbeHeader(std::uint8_t* probe, int dscp, int priority);

private:
    bool shouldStop() const;
    void reportSendFailure(int code);

    platform::NativeSocket socket_;
    sockaddr_in destination_;
    int packetSize_;
    int repeatCount_;
    int pause_;
    int dscp_;
    int priority_;
    ResponseTestControl& control_;
    std::shared_ptr<TestResult> result_;
};

class ResponseReaderThread : public Thread {
public:
    ResponseReaderThread(platform::NativeSocket socket, int packetSize, int repeatCount,
                         ResponseTestControl& control, std::shared_ptr<TestResult> result);
    ~ResponseReaderThread() override;

    void stop() override;
    void Run() override;

private:
    // One poll slice and at most one reply; false when the reader should end.
    bool receiveOne(std::uint8_t* buffer, std::size_t size, int& attempts);
    // Reads one datagram that has already arrived and counts it when it is a
    // reply to one of our probes; false when nothing was waiting.
    bool takeReply(std::uint8_t* buffer, std::size_t size, int& attempts);

    platform::NativeSocket socket_;
    int packetSize_;
    int repeatCount_;
    ResponseTestControl& control_;
    std::shared_ptr<TestResult> result_;
};

class ResponseTestThread : public PerformanceTestThread {
public:
    // localPort: the responseTimePort setting (0 lets the system choose).
    ResponseTestThread(std::shared_ptr<TestResult> result, std::string remoteComputer,
                       int remotePort, int packetSize, int repeatCount, int pause, int timeLimit,
                       int dscp, int priority8021p, int localPort, bool deleteSelf);
    ~ResponseTestThread() override;

    // Ends a running test promptly (agent shutdown cancels every thread).
    void stop() override;
    void runTest() override;

    int packetSize() const { return packetSize_; }
    int repeatCount() const { return repeatCount_; }
    int pause() const { return pause_; }

    // The pause before the first probe, so the reader is surely receiving
    // (one second normally; tests shorten it).
    static void setWriterStartDelayForTests(std::chrono::milliseconds delay);

    // In the record when probes went out and not one came back.
    static constexpr const char* kNoRepliesText =
        "No replies came back; the remote agent may have changed its ports since it was last "
        "asked.";

private:
    void runWorkers(platform::NativeSocket socket, const sockaddr_in& destination,
                    const std::shared_ptr<RemoteAgentStatus>& remote);

    int packetSize_;
    int repeatCount_;
    int pause_;
    int localPort_;
    std::mutex controlLock_;                  // guards control_ against stop()
    ResponseTestControl* control_ = nullptr;  // while the workers run
    std::atomic<bool> stopped_{false};
};

}  // namespace trellon
