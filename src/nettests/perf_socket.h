// PerfSocket: one end of one bandwidth test connection, the data mover both
// sides share. The testing side's SocketWriterThread sends filler blocks
// (made afresh for each block) until the amount is sent, the time is up, the
// test is cancelled or the agent stops; the data sink's SocketReaderThread
// reads and counts until the connection ends. Both make the final report
// into their record; the sender also adds a progress row per report
// interval. The wire carries nothing but the filler: the byte count is the
// measurement.
//
// Ending, and what each side learns of it:
// - The sender's data is all sent: it shuts its sending direction and waits
//   (at most the time setting) for the sink to close the connection, which
//   the sink does once it has read everything; only then is the end time
//   taken, so a test smaller than the path's buffers is not measured as the
//   speed of filling the local socket buffer.
// - The sender is cancelled or stopped: it stops within a slice, sends no
//   final close but resets the connection (SO_LINGER 0 when its owner closes
//   the socket), so the sink sees a reset instead of an end of data and its
//   record says the transfer was broken off.
// - The sink's record is cancelled, or no data comes for the stall limit, or
//   the connection outlasts the total limit: the sink stops and says why;
//   the sender's next send fails, and its record says so.
//
// Every wait on the socket is a slice of kSliceMs (the socket's send and
// receive time-outs), after which the flags are looked at again, so a cancel,
// a thread stop or the agent's shutdown is seen within a slice without
// another thread touching the socket. A slice that ends with no progress
// counts towards the stall limit.
//
// One thread uses a PerfSocket; requestStop may come from any thread. Report
// rows of all data movers are made under one process-wide report lock, taken
// before the record's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lib/socket.h"
#include "nettests/filler.h"

namespace trellon {

class TestResult;

// The options of one PerfSocket, set by letter.
struct PerfSocketSettings {
    double reportInterval = 0.0;       // seconds; below 0.5 becomes 0.5
    std::int64_t amount = 2147483647;  // bytes to send
    int time = 10;                     // seconds to send at most
    int blockLength = 8192;            // bytes per send or receive call
    char format = 'a';                 // adaptive bits; amounts in upper case (bytes)

    // 'n' amount (a byte count, "2M" too), 'i' report interval, 't' time
    // (whole seconds). False for a letter this test does not use or a value
    // that is not a number (the setting stays).
    bool setOption(char letter, const std::string& value);

    // What no test needs more of: a value beyond it is brought down to it.
    static constexpr int kMaxSeconds = 86400 * 10;
};

class PerfSocket {
public:
    enum Role { kReceiver = 0, kSender = 1 };
    using Clock = std::function<std::int64_t()>;  // microseconds, monotonic

    static constexpr int kTestType = 100;
    // How long one wait on the socket lasts before the flags are seen again.
    static constexpr int kSliceMs = 100;
    // How often the moving loops look at the record's flags.
    static constexpr std::int64_t kRecordCheckUs = 10000;

    // The socket is not owned. clock: tests give one of their own.
    PerfSocket(SocketHandle handle, std::shared_ptr<TestResult> result, Role role,
               Clock clock = {});

    PerfSocket(const PerfSocket&) = delete;
    PerfSocket& operator=(const PerfSocket&) = delete;

    void setOption(char letter, const std::string& value) { settings_.setOption(letter, value); }
    const PerfSocketSettings& settings() const { return settings_; }
    // Longest time a send, the wait for the sink's close, or (receiving) a
    // wait for data may go without progress; 0: no limit.
    void setStallLimitMs(int milliseconds) { stallLimitMs_ = milliseconds; }
    // Receiving: the longest the whole connection may last; 0: no limit.
    void setTotalLimitMs(std::int64_t milliseconds) { totalLimitMs_ = milliseconds; }

    int testType() const { return kTestType; }
    bool done() const { return done_; }
    Role role() const { return role_; }
    SocketHandle handle() const { return handle_; }

    // The transfers (see the design note above). Neither throws on a
    // failing send or receive; receive throws SocketException when the
    // peer's address cannot be read.
    void sendTestData();
    void receiveTestData();

    // Ends a transfer within a slice (any thread).
    void requestStop() { stopRequested_.store(true); }

    // Reporting, as the transfers use it; public for tests.
    void startReporting();
    // Reads the clock, adds bytes moved and makes the interval rows due.
    void account(std::int64_t bytes);
    void reportIfDue();
    // One report: interval bytes, total, from t0 to t1 seconds after the start.
    void report(std::int64_t intervalBytes, std::int64_t total, bool final, double t0, double t1);

    // Bytes moved so far; any thread may ask.
    std::int64_t totalBytes() const { return progress_.load(std::memory_order_relaxed); }
    bool reportsPeriodically() const { return reportFlag_; }
    std::int64_t reportIntervalMicroseconds() const { return intervalUs_; }

    // The whole-second rate of bytes over seconds (0 when no time passed).
    static std::int64_t rateOf(std::int64_t bytes, double seconds);
    // "<br>Bandwidth is <b>%s per second</b>." or the unknown sentence.
    static std::string bandwidthSentence(std::int64_t rate, char format);

    static constexpr const char* kUnknownBandwidthText =
        "<br>Bandwidth is unknown.  Try a larger file size.";
    // Sink side: why a transfer ended before the sender's end of data.
    static constexpr const char* kBrokenOffText =
        "<br>The sender broke the connection off before the end of its data: its test was "
        "cancelled or stopped.";

private:
    enum class Outcome { sent, stopped, failed };
    bool shouldStop() const;
    Outcome sendBlock(std::int64_t& sent);
    void waitForSinkClose();
    void abortConnection();
    // The final report; extra (HTML) follows the bandwidth sentence.
    void finalReport(const std::string& extra);
    // Whether the record was cancelled or finished elsewhere (read at most
    // every kRecordCheckUs, as it takes the record's lock).
    bool recordSaysStop();
    std::int64_t now() const { return clock_(); }

    SocketHandle handle_;
    PerfSocketSettings settings_;
    std::vector<std::uint8_t> buffer_;
    FillerGenerator filler_;
    std::int64_t total_ = 0;
    std::int64_t amountLimit_ = 0;
    int timeLimit_ = 0;
    // Times in microseconds on clock_.
    std::int64_t now_ = 0;
    std::int64_t start_ = 0;
    std::int64_t end_ = 0;
    std::int64_t lastReport_ = 0;
    std::int64_t nextReport_ = 0;
    std::int64_t intervalUs_ = 0;
    bool reportFlag_ = false;
    std::int64_t lastReportTotal_ = 0;
    std::shared_ptr<TestResult> result_;
    Role role_;
    Clock clock_;
    int stallLimitMs_ = 0;
    std::int64_t totalLimitMs_ = 0;
    bool done_ = false;
    std::string finalExtra_;  // for the final report in progress
    std::int64_t lastRecordCheck_ = 0;
    bool recordStop_ = false;
    int lastError_ = 0;
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::int64_t> progress_{0};  // total_, for other threads
};

// The process-wide lock under which every data mover makes its report rows.
std::mutex& bandwidthReportLock();

}  // namespace trellon
