#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

namespace trellon::platform {

namespace {

// SIGUSR2 only tells the signal thread to end; it is never sent from outside.
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

struct StopSignalThread::Impl {
    std::thread thread;
};

StopSignalThread::StopSignalThread(std::function<void(int)> handler) : impl_(new Impl) {
    blockStopSignals();
    impl_->thread = std::thread([handler = std::move(handler)] {
        sigset_t set = stopSignals(true);
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (sig == kWakeSignal) return;
            handler(sig);
        }
    });
}

StopSignalThread::~StopSignalThread() {
    if (impl_->thread.joinable()) {
        pthread_kill(impl_->thread.native_handle(), kWakeSignal);
        impl_->thread.join();
    }
}

}  // namespace trellon::platform
