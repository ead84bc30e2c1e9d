#include "plugins/action_thread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "lib/agent_state.h"
#include "lib/shutdown.h"
#include "platform/clock.h"
#include "plugins/plugin_pages.h"
#include "results/test_result.h"

namespace trellon {

namespace {

using Clock = std::chrono::steady_clock;

// How often the waits look at cancellation, shutdown and the end of the child.
constexpr std::chrono::milliseconds kWakeInterval{1000};
// Reads beyond the kept bytes move this much at a time: dropping output
// should cost the agent as little as it can.
constexpr std::size_t kDropBytes = 64 * 1024;
// A reader that keeps failing gives up rather than spin.
constexpr int kMaxReadFailures = 10;

void console(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Counts the run as a running test (the status page) for as long as it lives.
class RunningCount {
public:
    RunningCount() : agent_(AgentState::current()) {
        if (agent_ != nullptr) ++agent_->testsRunning;
    }
    ~RunningCount() {
        if (agent_ != nullptr) --agent_->testsRunning;
    }
    RunningCount(const RunningCount&) = delete;
    RunningCount& operator=(const RunningCount&) = delete;

private:
    AgentState* agent_;
};

}  // namespace

ActionThread::ActionThread(int timeLimit, Command command, std::shared_ptr<TestResult> record,
                           std::shared_ptr<Progress> progress, bool deleteSelf)
    : TestThread("ActionThread", std::move(record), timeLimit, deleteSelf),
      command_(std::move(command)),
      progress_(progress ? std::move(progress) : std::make_shared<Progress>()) {}

ActionThread::~ActionThread() {
    ShutdownAndCleanup();
    // A thread that could not be started never ran: its record must not
    // stay "starting" for ever, nor its runner wait for it.
    if (!progress_->ended.load()) {
        if (result_) {
            result_->setActionThread(nullptr);
            if (result_->getState() != TestResult::kFinished)
                result_->endWithReason("The command could not be started.");
        }
        progress_->started.store(true);
        progress_->ended.store(true);
    }
}

std::string ActionThread::cutNote() {
    return "\n(Trellon kept the first " + std::to_string(kMaxOutputBytes) +
           " bytes of this output; the rest was left out.)\n";
}

void ActionThread::stop() {
    stopBase();
    stopRequested_.store(true);
    // Never waits: the group ends now, and every wait of Run and its
    // companions wakes up.
    child_.terminateGroup();
    child_.interrupt();
    companionsChanged_.notify_all();
}

void ActionThread::Run() {
    RunningCount counted;
    try {
        StartChildProcess();
    } catch (...) {
        console("Unexpected exception in StartChildProcess!\n");
        ShutdownAndCleanup();
        if (result_) finishRecord();
    }
    if (result_) result_->setActionThread(nullptr);
    progress_->started.store(true);
    progress_->ended.store(true);
}

bool ActionThread::mustEnd() const {
    return stopRequested_.load() || isShutdownRequested() || (result_ && result_->isCancelled());
}

bool ActionThread::StartChildProcess() {
    if (!result_) return false;
    std::string reason;
    platform::ChildProcess::Launch launch{command_.arguments, command_.environment,
                                          command_.directory};
    if (!child_.start(launch, &reason)) {
        std::fprintf(stderr, "CreateProcess failed: %s\n", reason.c_str());
        std::fflush(stderr);
        // The command line holds what the user typed.
        result_->addMessage(pluginPageText("Unable to start " + command_.commandLine) + "\n");
        ShutdownAndCleanup();
        result_->endWithReason("The command could not be started.");
        return false;
    }
    processStarted_.store(true);
    result_->setState(TestResult::kRunning);
    progress_->started.store(true);
    if (!startCompanions()) {
        console("ActionThread StartChildProcess(): its companion threads could not start\n");
        stopRequested_.store(true);
        child_.terminateGroup();
    }

    for (;;) {
        {
            std::unique_lock<std::mutex> lock(companionsLock_);
            companionsChanged_.wait_for(lock, kWakeInterval, [this] {
                return companionsRunning_ == 0 || stopRequested_.load();
            });
            if (companionsRunning_ == 0) {
                console("Thread closed, leaving.\n");
                break;
            }
        }
        if (stopRequested_.load()) break;
        if (child_.hasExited()) break;
        if (isShutdownRequested()) {
            console("PerformanceAgent::isShutdownRequested()\n");
            break;
        }
        if (result_->isCancelled()) break;
        if (result_->getState() == TestResult::kFinished) break;
    }
    ShutdownAndCleanup();
    finishRecord();
    return true;
}

bool ActionThread::startCompanions() {
    std::lock_guard<std::mutex> guard(cleanupLock_);
    {
        std::lock_guard<std::mutex> lock(companionsLock_);
        companionsRunning_ = 3;
    }
    int started = 0;
    try {
        outputReader_ = platform::NativeThread([this] { readStream(platform::ChildStream::output); });
        ++started;
        errorReader_ = platform::NativeThread([this] { readStream(platform::ChildStream::error); });
        ++started;
        watcher_ = platform::NativeThread([this] { ProcessThread(); });
        ++started;
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(companionsLock_);
        companionsRunning_ -= 3 - started;
        companionsChanged_.notify_all();
        return false;
    }
    return true;
}

void ActionThread::companionEnded() {
    std::lock_guard<std::mutex> lock(companionsLock_);
    --companionsRunning_;
    companionsChanged_.notify_all();
}

void ActionThread::readStream(platform::ChildStream stream) {
    const bool isOutput = stream == platform::ChildStream::output;
    try {
        console(isOutput ? "StdOutThread\n" : "StdErrThread\n");
        std::vector<char> buffer(kDropBytes);
        std::size_t kept = 0;
        bool cut = false;
        int failures = 0;
        while (!mustEnd()) {
            const std::size_t want =
                kept < kMaxOutputBytes ? std::min(kReadBytes, kMaxOutputBytes - kept) : kDropBytes;
            std::size_t got = 0;
            const auto outcome = child_.read(stream, buffer.data(), want, 1000, got);
            if (outcome == platform::ChildProcess::ReadOutcome::end ||
                outcome == platform::ChildProcess::ReadOutcome::interrupted)
                break;
            if (outcome == platform::ChildProcess::ReadOutcome::failed) {
                console(isOutput ? "stdout read failed\n" : "stderr read failed\n");
                if (++failures >= kMaxReadFailures) break;
                continue;
            }
            failures = 0;
            if (outcome != platform::ChildProcess::ReadOutcome::data) continue;
            if (kept < kMaxOutputBytes) {
                const std::string_view text(buffer.data(), got);
                if (isOutput)
                    result_->appendStdout(text);
                else
                    result_->appendStderr(text);
                kept += got;
            } else if (!cut) {
                // Only once more arrives: a stream of exactly the bound is whole.
                cut = true;
                if (isOutput)
                    result_->appendStdout(cutNote());
                else
                    result_->appendStderr(cutNote());
            }
        }
    } catch (...) {
        console(isOutput ? "Unexpected exception in ActionThread::StdOutThread\n"
                         : "Unexpected exception in ActionThread::StdErrThread\n");
    }
    companionEnded();
}

void ActionThread::ProcessThread() {
    try {
        const auto deadline = Clock::now() + std::chrono::seconds(timeLimit_);
        for (;;) {
            const auto now = Clock::now();
            if (now >= deadline) {
                result_->setRanFullPeriod();
                child_.terminateGroup();
                break;
            }
            if (mustEnd()) {
                child_.terminateGroup();
                break;
            }
            if (result_->getState() == TestResult::kFinished) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            const int wait =
                static_cast<int>(std::min<long long>(kWakeInterval.count(), left.count() + 1));
            if (child_.waitForExit(wait)) {
                console("child process exit\n");
                break;
            }
            if (child_.interrupted()) {
                console("exit event\n");
                break;
            }
        }
        console("Broke loop in ActionThread::ProcessThread\n");
    } catch (...) {
        console("Unexpected exception in ActionThread::ProcessThread\n");
    }
    companionEnded();
}

void ActionThread::ShutdownAndCleanup() {
    try {
        std::lock_guard<std::mutex> guard(cleanupLock_);
        if (processStarted_.exchange(false)) {
            // The child if it still runs, and whatever it started: the whole group.
            child_.terminateGroup();
            std::unique_lock<std::mutex> lock(companionsLock_);
            companionsChanged_.wait_for(lock, std::chrono::milliseconds(kDrainMs),
                                        [this] { return companionsRunning_ == 0; });
        }
        // A descendant that left the group may still hold a pipe: the readers
        // are woken rather than waited for.
        child_.interrupt();
        for (platform::NativeThread* companion : {&watcher_, &outputReader_, &errorReader_}) {
            if (companion->joinable()) companion->join();
        }
        child_.reap();
    } catch (...) {
        console("Unexpected exception in ActionThread::ShutdownAndCleanup()\n");
    }
}

void ActionThread::finishRecord() {
    std::lock_guard<RecordLock> hold(result_->lock());
    const std::string title = result_->getTitle();
    if (result_->getState() != TestResult::kFinished || !result_->hasFinalResults()) {
        // The final text says how the run ended; setFinalResults adds the
        // sentences for a run cut at its time limit and for a cancelled one.
        if (!result_->hasFinalResults()) result_->setFinalResults(title + " finished.");
        result_->setState(TestResult::kFinished);
        result_->addRow(platform::nowSeconds(), {title + " finished."});
    }
}

}  // namespace trellon
