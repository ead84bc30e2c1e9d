// TestThread and PerformanceTestThread: the bases of every test thread.
//
// A run command (or the plug-in runner) makes a test thread with the test's
// record and starts it. PerformanceTestThread::Run is the body of every
// network test: it counts the test as running, checks that the remote
// computer runs an agent (the check is answered from the remote-agent cache
// once a host is known), records the start, calls the subclass's runTest,
// and counts the test as ended again whatever happened, recording any
// exception in the test's result. However it ends, the record ends finished
// with a final text: the figures, or the reason there are none (a failed
// check, an exception), never the running text. The thread holds its record
// through shared_ptr, so the record stays valid even when the test log drops
// it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "lib/thread.h"

namespace trellon {

class RemoteAgentStatus;
class TestResult;

class TestThread : public Thread {
public:
    // Also counts one more test thread created for the status page.
    TestThread(std::string name, std::shared_ptr<TestResult> result, int timeLimit,
               bool deleteSelf);
    ~TestThread() override;

    int sequenceNumber() const { return sequenceNumber_; }
    const std::shared_ptr<TestResult>& result() const { return result_; }
    int timeLimit() const { return timeLimit_; }
    std::int64_t startTime() const;

protected:
    void setStartTime(std::int64_t seconds);

    mutable std::mutex fieldsLock_;  // guards busy_, startTime_ and text_
    bool busy_ = false;
    std::int64_t startTime_ = 0;
    int timeLimit_;
    const int sequenceNumber_;  // process-wide, the first thread is 1
    std::shared_ptr<TestResult> result_;
    std::string text_;  // free for derived classes
};

class PerformanceTestThread : public TestThread {
public:
    // testValue is the subclass's own figure given by the run command; dscp
    // and priority8021p are -1 for no marking. The remote computer and port
    // are written into the result too.
    PerformanceTestThread(std::string name, std::shared_ptr<TestResult> result,
                          std::string remoteComputer, int remotePort, int timeLimit, int testValue,
                          int dscp, int priority8021p, int reportInterval, bool deleteSelf = false);
    ~PerformanceTestThread() override;

    // Test threads poll their record's cancelled flag and the shutdown flag;
    // stop only marks the thread.
    void stop() override;
    void Run() final;
    // The test itself.
    virtual void runTest() = 0;

    // The remote check for a running test: the remote agent's record, or null
    // with the reason added to the result (and given in *reason).
    std::shared_ptr<RemoteAgentStatus> remoteCheck(std::string* reason = nullptr);

    // The final text of a test that ended without figures and gave no reason.
    static constexpr const char* kNoFiguresText = "The test ended without final figures.";

    const std::string& remoteComputer() const { return remoteComputer_; }
    int remotePort() const { return remotePort_; }
    int remoteDataSinkPort() const { return remoteDataSinkPort_; }    // -1 until known
    int remoteReflectorPort() const { return remoteReflectorPort_; }  // -1 until known
    int testValue() const { return testValue_; }
    int dscp() const { return dscp_; }
    int priority8021p() const { return priority8021p_; }
    int reportInterval() const { return reportInterval_; }

protected:
    std::string remoteComputer_;
    int remotePort_;
    int remoteDataSinkPort_ = -1;
    int remoteReflectorPort_ = -1;
    int testValue_;
    int dscp_;
    int priority8021p_;
    std::mutex performanceLock_;  // free for derived classes' own fields
    bool performanceBusy_ = false;
    int reportInterval_;
};

}  // namespace trellon
