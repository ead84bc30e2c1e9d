// Stop signals: Ctrl+C, a closed console and log-off/shutdown reach the agent
// as SIGINT, SIGHUP and SIGTERM. They are blocked in every thread and taken by
// one signal thread with sigwait, so the handler may log, take locks and stop
// the HTTP server (none of which an asynchronous signal handler may do).
// SIGQUIT (Ctrl+Break's counterpart) keeps its default action.
#pragma once

#include <functional>
#include <memory>

namespace trellon::platform {

// Blocks the stop signals in the calling thread; threads created afterwards
// inherit the mask. Call first thing in main.
void blockStopSignals();

// A peer that closes its end must not end the process through SIGPIPE; the
// failed send reports the error instead.
void ignoreBrokenPipe();

class StopSignalThread {
public:
    // handler gets the signal number; it runs on the signal thread.
    explicit StopSignalThread(std::function<void(int)> handler);
    ~StopSignalThread();  // ends and joins the signal thread

    StopSignalThread(const StopSignalThread&) = delete;
    StopSignalThread& operator=(const StopSignalThread&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace trellon::platform
