#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace trellon::platform {

namespace {

// Wakes the signal thread so that it can end. Anybody may send it from
// outside; only together with the ending flag does it end the thread.
constexpr int kWakeSignal = SIGUSR2;

sigset_t stopSignals(bool withWake) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    if (withWake) sigaddset(&set, kWakeSignal);
    return set;
}

}  // namespace

void blockStopSignals() {
    sigset_t set = stopSignals(true);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ignoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

void endProcessBySignal(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
    // Unblocked in this thread alone and raised at it: the default action
    // ends the whole process at once.
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
    // Only a signal whose default action does not end the process gets here.
    ::_exit(128 + sig);
}

struct StopSignalThread::Impl {
    std::atomic<bool> ending{false};
    std::thread thread;
};

StopSignalThread::StopSignalThread(std::function<void(int)> handler) : impl_(new Impl) {
    blockStopSignals();
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl, handler = std::move(handler)] {
        sigset_t set = stopSignals(true);
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (sig == kWakeSignal) {
                if (impl->ending.load()) return;
                continue;  // sent from outside: not ours to act on
            }
            handler(sig);
        }
    });
}

StopSignalThread::~StopSignalThread() {
    if (impl_->thread.joinable()) {
        impl_->ending.store(true);
        pthread_kill(impl_->thread.native_handle(), kWakeSignal);
        impl_->thread.join();
    }
}

}  // namespace trellon::platform
