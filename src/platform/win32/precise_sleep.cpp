// Sleeping to a counter deadline on Windows: a waitable timer per thread
// (high resolution where the system has it) and the 1 ms multimedia timer
// resolution while the stream sender runs.
#include "platform/precise_sleep.h"

// <windows.h> first: the other system headers build on its types.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include "platform/clock.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace trellon::platform {

namespace {

// One timer per thread, closed when the thread ends.
struct ThreadTimer {
    HANDLE handle = nullptr;
    ThreadTimer() {
        handle = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
        // Older systems (and wine) have no high-resolution timers.
        if (handle == nullptr) handle = ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
    }
    ~ThreadTimer() {
        if (handle != nullptr) ::CloseHandle(handle);
    }
};

thread_local ThreadTimer tTimer;
// The period this thread asked timeBeginPeriod for; 0 when none.
thread_local UINT tTimerPeriod = 0;

}  // namespace

void sleepUntilTicks(std::uint64_t ticks) {
    for (;;) {
        const std::uint64_t now = monotonicTicks();
        if (now >= ticks) return;
        const std::uint64_t left = ticks - now;
        if (tTimer.handle == nullptr) {
            ::Sleep(static_cast<DWORD>(left / 1000000ULL));
            if (left < 1000000ULL) ::SwitchToThread();
            continue;
        }
        LARGE_INTEGER due;
        // Negative: relative, in 100-ns units; at least one unit.
        const std::uint64_t units = left / 100 > 0 ? left / 100 : 1;
        due.QuadPart = -static_cast<LONGLONG>(units);
        if (!::SetWaitableTimer(tTimer.handle, &due, 0, nullptr, nullptr, FALSE)) {
            ::Sleep(0);
            continue;
        }
        ::WaitForSingleObject(tTimer.handle, INFINITE);
    }
}

void useFineTimerSlack() {
    if (tTimerPeriod != 0) return;
    TIMECAPS caps{};
    UINT period = 1;
    if (::timeGetDevCaps(&caps, sizeof(caps)) == MMSYSERR_NOERROR && caps.wPeriodMin > period)
        period = caps.wPeriodMin;
    if (::timeBeginPeriod(period) == TIMERR_NOERROR) tTimerPeriod = period;
}

void useDefaultTimerSlack() {
    if (tTimerPeriod == 0) return;
    ::timeEndPeriod(tTimerPeriod);
    tTimerPeriod = 0;
}

bool usePacingPriority() {
    return ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

void endPacingPriority() {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

}  // namespace trellon::platform
