#include "nettests/test_thread.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "http/templates.h"
#include "lib/agent_state.h"
#include "lib/error_report.h"
#include "lib/socket_exception.h"
#include "nettests/remote_agent_status.h"
#include "platform/clock.h"
#include "results/test_result.h"

namespace trellon {

namespace {

std::mutex gSequenceLock;  // guards gLastSequence
int gLastSequence = 0;

int nextSequenceNumber() {
    std::lock_guard<std::mutex> guard(gSequenceLock);
    return ++gLastSequence;
}

void printConsole(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string runLocation(int line) {
    return std::string("(TestThread::Run() ") + sourceFileName(__FILE__) + " at line " +
           std::to_string(line) + ")\n";
}

// Counts a test as running for as long as it lives, so every way out of Run
// (a failed check, an exception) puts the count back.
class RunningTestCount {
public:
    RunningTestCount() : agent_(AgentState::current()) {
        if (agent_ != nullptr) ++agent_->testsRunning;
    }
    ~RunningTestCount() {
        if (agent_ != nullptr) --agent_->testsRunning;
    }
    RunningTestCount(const RunningTestCount&) = delete;
    RunningTestCount& operator=(const RunningTestCount&) = delete;

private:
    AgentState* agent_;
};

}  // namespace

TestThread::TestThread(std::string name, std::shared_ptr<TestResult> result, int timeLimit,
                       bool deleteSelf)
    : Thread(std::move(name), deleteSelf),
      timeLimit_(timeLimit),
      sequenceNumber_(nextSequenceNumber()),
      result_(std::move(result)) {
    if (AgentState* agent = AgentState::current()) ++agent->testsCreated;
}

TestThread::~TestThread() = default;

std::int64_t TestThread::startTime() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return startTime_;
}

void TestThread::setStartTime(std::int64_t seconds) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    startTime_ = seconds;
}

PerformanceTestThread::PerformanceTestThread(std::string name, std::shared_ptr<TestResult> result,
                                             std::string remoteComputer, int remotePort,
                                             int timeLimit, int testValue, int dscp,
                                             int priority8021p, int reportInterval, bool deleteSelf)
    : TestThread(std::move(name), std::move(result), timeLimit, deleteSelf),
      remoteComputer_(std::move(remoteComputer)),
      remotePort_(remotePort),
      testValue_(testValue),
      dscp_(dscp),
      priority8021p_(priority8021p),
      reportInterval_(reportInterval) {
    if (result_) {
        result_->setRemoteComputer(remoteComputer_);
        result_->setRemotePort(remotePort_);
    }
}

PerformanceTestThread::~PerformanceTestThread() = default;

void PerformanceTestThread::stop() {
    stopBase();
}

std::shared_ptr<RemoteAgentStatus> PerformanceTestThread::remoteCheck(std::string* reason) {
    if (!result_) return nullptr;
    return checkRemoteAgentForTest(remoteComputer_, *result_, reason);
}

void PerformanceTestThread::Run() {
    RunningTestCount running;
    if (!result_) return;
    std::string reason;
    std::shared_ptr<RemoteAgentStatus> remote = remoteCheck(&reason);
    if (!remote) {
        // The record keeps the check's message and ends with it; finished, so
        // its page stops refreshing.
        result_->endWithReason(reason);
        return;
    }
    try {
        remoteDataSinkPort_ = remote->dataSinkPort();
        remoteReflectorPort_ = remote->reflectorPort();
        std::int64_t now = platform::nowSeconds();
        setStartTime(now);
        result_->setStartTime(now);
        result_->setState(TestResult::kStarting);
        result_->setTimeLimit(timeLimit_);
        runTest();
    } catch (const SocketException& e) {
        result_->recordSocketException(e, __FILE__, __LINE__);
        printConsole(e.description() + runLocation(__LINE__));
        reason = "The test ended because of a socket error: " + escapeHtml(e.message()) +
                 " (error " + std::to_string(e.code()) + ").";
    } catch (const std::runtime_error& e) {
        result_->recordRuntimeException(e, __FILE__, __LINE__);
        printConsole(std::string("std::runtime_error: ") + e.what() + "\n" + runLocation(__LINE__));
        reason = "The test ended because of an error: " + escapeHtml(e.what()) + ".";
    } catch (...) {
        result_->recordUnknownException(__FILE__, __LINE__);
        printConsole("Unknown exception.  " + runLocation(__LINE__));
        reason = "The test ended because of an unexpected error.";
    }
    // A test that ended by an exception has ended: its page must not wait for
    // it for ever, nor show the running text beside "Test finished.". Figures
    // already in stay.
    result_->endWithReason(reason.empty() ? kNoFiguresText : reason);
}

}  // namespace trellon
