// Stop events on Windows: the console control handler. The system calls the
// handler on a thread of its own for each event; the handler only queues the
// event for the one stop thread, which runs the agent's handler, so events
// are taken one at a time as the POSIX signal thread takes them.
//
// Ctrl+C arrives as 2 (SIGINT), a closed console as 1 (SIGHUP), log-off and
// shutdown as 15 (SIGTERM). Ctrl+Break keeps the system's action. For a
// closed console, log-off and shutdown the system ends the process as soon
// as the handler returns, so the handler waits (up to kCloseGraceMs) for the
// agent to finish stopping, which ends the stop thread.
//
// Once a stop thread has ended, the handler stays registered and takes
// further events without action: a Ctrl+C that arrives while the process
// finishes an orderly stop must not turn its exit code into the console's
// STATUS_CONTROL_C_EXIT. Before the first stop thread the system's default
// action applies (there is nothing to stop in order yet).
#include "platform/signals.h"

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "platform/native_thread.h"

namespace trellon::platform {

namespace {

constexpr int kSignalHangup = 1;
constexpr int kSignalInterrupt = 2;
constexpr int kSignalTerminate = 15;
// Windows gives a closing console about 5 s before it ends the process.
constexpr DWORD kCloseGraceMs = 10000;

struct Hub {
    std::mutex lock;  // guards everything below
    std::condition_variable changed;
    std::deque<int> pending;
    bool taking = false;  // a stop thread runs
    bool ending = false;  // the stop thread is told to end
    bool finished = false;  // a stop thread has ended: events are taken and dropped
    bool registered = false;  // the handler is registered with the system
};

Hub& hub() {
    static Hub* h = new Hub;  // never destroyed: the handler may run during exit
    return *h;
}

BOOL WINAPI controlHandler(DWORD type) {
    int sig = 0;
    switch (type) {
        case CTRL_C_EVENT:
            sig = kSignalInterrupt;
            break;
        case CTRL_CLOSE_EVENT:
            sig = kSignalHangup;
            break;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            sig = kSignalTerminate;
            break;
        default:
            return FALSE;  // Ctrl+Break: the default action
    }
    Hub& h = hub();
    std::unique_lock<std::mutex> guard(h.lock);
    if (!h.taking) return h.finished ? TRUE : FALSE;
    h.pending.push_back(sig);
    h.changed.notify_all();
    if (sig != kSignalInterrupt)
        h.changed.wait_for(guard, std::chrono::milliseconds(kCloseGraceMs),
                           [&h] { return !h.taking; });
    return TRUE;
}

}  // namespace

void blockStopSignals() {}

void ignoreBrokenPipe() {}

void endProcessBySignal(int) {
    std::fflush(nullptr);
    // What the console's default action does on every stop event; at once,
    // without running other threads' cleanup.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

struct StopSignalThread::Impl {
    NativeThread thread;
};

StopSignalThread::StopSignalThread(std::function<void(int)> handler) : impl_(new Impl) {
    Hub& h = hub();
    {
        std::lock_guard<std::mutex> guard(h.lock);
        h.pending.clear();
        h.taking = true;
        h.ending = false;
        h.finished = false;
        if (!h.registered) h.registered = ::SetConsoleCtrlHandler(controlHandler, TRUE) != FALSE;
    }
    impl_->thread = NativeThread([handler = std::move(handler)] {
        Hub& hb = hub();
        for (;;) {
            int sig = 0;
            {
                std::unique_lock<std::mutex> guard(hb.lock);
                hb.changed.wait(guard, [&hb] { return hb.ending || !hb.pending.empty(); });
                if (hb.ending) return;
                sig = hb.pending.front();
                hb.pending.pop_front();
            }
            handler(sig);
        }
    });
}

StopSignalThread::~StopSignalThread() {
    Hub& h = hub();
    {
        std::lock_guard<std::mutex> guard(h.lock);
        h.ending = true;
        h.taking = false;
        h.changed.notify_all();
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    std::lock_guard<std::mutex> guard(h.lock);
    h.finished = true;
}

}  // namespace trellon::platform
