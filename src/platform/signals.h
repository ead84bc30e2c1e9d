// Stop signals: Ctrl+C, a closed console and log-off/shutdown reach the agent
// as SIGINT, SIGHUP and SIGTERM. They are blocked in every thread and taken by
// one signal thread with sigwait, so the handler may log, take locks and stop
// the HTTP server (none of which an asynchronous signal handler may do).
// SIGQUIT (Ctrl+Break's counterpart) keeps its default action.
//
// The signal thread is woken to end by SIGUSR2 sent to it alone, together
// with a flag: a SIGUSR2 from outside finds the flag clear and is ignored, so
// no signal anybody can send leaves the stop signals without a taker.
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

// Ends the process as the signal's default action would, so that the parent
// sees it ended by that signal. For a stop signal taken by the signal thread
// when there is nothing to shut down in order.
[[noreturn]] void endProcessBySignal(int sig);

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
