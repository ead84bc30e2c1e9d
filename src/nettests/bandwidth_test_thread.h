// BandwidthTestThread: the bandwidth test, run against a remote agent's TCP
// data sink.
//
// RunBandwidthCommand makes and starts it. Its runTest checks the remote
// agent (answered from the cache Run has just filled), connects to the
// remote data sink, marks the connection when DSCP or 802.1p values were
// chosen, and hands the socket to a SocketWriterThread, which sends the
// filler and makes the rows and the final report (PerfSocket). The test
// thread joins the writer, adds the port sentence and only then moves the
// record to finished, so a program that sees `done` 1 also sees every figure.
// The socket is the test thread's: it is closed after the writer has ended.
//
// stop (agent shutdown) passes on to the writer, whose sends wait in short
// slices; a cancel is seen by the writer itself through the record.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nettests/test_thread.h"

namespace trellon {

class SocketWriterThread;

class BandwidthTestThread : public PerformanceTestThread {
public:
    // localPort: the bandwidthPort setting (bound first when above 1023).
    BandwidthTestThread(std::shared_ptr<TestResult> result, std::string remoteComputer,
                        int remotePort, std::int64_t testSize, int reportInterval, int timeLimit,
                        int dscp, int priority8021p, int localPort, bool deleteSelf);
    ~BandwidthTestThread() override;

    void stop() override;
    void runTest() override;

    std::int64_t testSize() const { return testSize_; }
    int localPort() const { return testValue_; }

    // The connect and send time-out: the smaller of the time limit and 3 s.
    static int socketTimeoutMs(int timeLimit);
    // The progress table's headings of every bandwidth record.
    static const std::vector<std::string>& columnHeadings();

private:
    void fail(const std::string& text);

    std::int64_t testSize_;
    std::mutex writerLock_;                 // guards writer_ and stopped_ against stop()
    SocketWriterThread* writer_ = nullptr;  // while it runs
    bool stopped_ = false;
};

}  // namespace trellon
