// ActionThread: one plug-in run, the command as a child process.
//
// The plug-in runner makes the thread with the run's record, the command
// (already split into arguments, the form values substituted inside them),
// the environment block and the plug-in folder, and starts it. Run starts
// the child (platform::ChildProcess: pipes, no shell, a clean signal state,
// no inherited descriptor, a process group of its own) and then three
// companions:
//   - StdOutThread and StdErrThread copy what the command writes into the
//     record, in reads of at most kReadBytes, keeping at most kMaxOutputBytes
//     of each stream (the rest is read and dropped, with a note);
//   - ProcessThread watches the child: at the time limit it marks the record
//     ranFullPeriod and ends the group; on cancel, agent shutdown or stop()
//     it ends the group too.
// Run waits for the companions (waking every second for cancel, shutdown and
// the end of the child), cleans up, and only then finishes the record, so
// the last lines the command wrote are in it.
//
// ShutdownAndCleanup ends the child's group, lets the readers drain what is
// left for a moment, wakes what still waits and joins the companions; a
// second call does nothing. stop() (from the agent's cancellation at
// shutdown) never waits: it ends the group and wakes everything, and Run
// returns soon after.
//
// The record is written only through its own operations (its lock). The
// runner waits on Progress, which needs no lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nettests/test_thread.h"
#include "platform/child_process.h"
#include "platform/native_thread.h"

namespace trellon {

class TestResult;

class ActionThread : public TestThread {
public:
    struct Command {
        std::string commandLine;               // the actual command line, as shown and logged
        std::vector<std::string> arguments;    // what is executed: the program first
        std::vector<std::string> environment;  // "name=value", all the child sees
        std::string directory;                 // the plug-in folder, the child's working directory
    };

    // What the runner waits for: the record has passed its starting state
    // (running, or finished when the command could not start), and Run has
    // ended.
    struct Progress {
        std::atomic<bool> started{false};
        std::atomic<bool> ended{false};
    };

    static constexpr std::size_t kReadBytes = 500;
    static constexpr std::size_t kMaxOutputBytes = 1024 * 1024;  // per stream
    // The readers' chance to take what the ended group wrote before they are woken.
    static constexpr int kDrainMs = 1000;

    ActionThread(int timeLimit, Command command, std::shared_ptr<TestResult> record,
                 std::shared_ptr<Progress> progress, bool deleteSelf);
    ~ActionThread() override;

    void stop() override;
    void Run() override;

    // The thread body: true when the command ran, false when it failed to start.
    bool StartChildProcess();
    void ShutdownAndCleanup();

    // The note that ends a stream cut at kMaxOutputBytes.
    static std::string cutNote();

private:
    void readStream(platform::ChildStream stream);
    void ProcessThread();
    void companionEnded();
    bool startCompanions();
    // Cancelled, shutting down or stopped.
    bool mustEnd() const;
    void finishRecord();

    const Command command_;
    const std::shared_ptr<Progress> progress_;
    platform::ChildProcess child_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> processStarted_{false};

    std::mutex companionsLock_;  // guards companionsRunning_
    std::condition_variable companionsChanged_;
    int companionsRunning_ = 0;

    std::mutex cleanupLock_;  // one ShutdownAndCleanup at a time; guards the three threads
    platform::NativeThread outputReader_;
    platform::NativeThread errorReader_;
    platform::NativeThread watcher_;
};

}  // namespace trellon
