// Clocks on Windows: the performance counter, scaled to nanoseconds so that
// callers keep one tick unit everywhere, and the system time as FILETIME.
#include "platform/clock.h"

#include <windows.h>

#include <ctime>

namespace trellon::platform {

namespace {

// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kFileTimeTo1970 = 116444736000000000ULL;

std::uint64_t counterFrequency() {
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER f;
        return ::QueryPerformanceFrequency(&f) && f.QuadPart > 0
                   ? static_cast<std::uint64_t>(f.QuadPart)
                   : 1000ULL;
    }();
    return frequency;
}

std::uint64_t fileTimeNow() {
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

std::uint64_t monotonicTicks() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const std::uint64_t count = static_cast<std::uint64_t>(now.QuadPart);
    const std::uint64_t frequency = counterFrequency();
    // Whole seconds and the rest apart: count * 1e9 overflows 64 bits after
    // half an hour at a 10 MHz counter.
    return count / frequency * 1000000000ULL + count % frequency * 1000000000ULL / frequency;
}

WallClock wallClock() {
    const std::uint64_t units = fileTimeNow() - kFileTimeTo1970;
    return {static_cast<std::int64_t>(units / 10000000ULL),
            static_cast<std::int32_t>(units % 10000000ULL / 10)};
}

std::int64_t nowSeconds() {
    return static_cast<std::int64_t>((fileTimeNow() - kFileTimeTo1970) / 10000000ULL);
}

bool localCalendarTime(std::int64_t seconds, std::tm& out) {
    const __time64_t t = seconds;
    return _localtime64_s(&out, &t) == 0;
}

bool utcCalendarTime(std::int64_t seconds, std::tm& out) {
    const __time64_t t = seconds;
    return _gmtime64_s(&out, &t) == 0;
}

void sleepMilliseconds(int milliseconds) {
    if (milliseconds <= 0) {
        ::SwitchToThread();
        return;
    }
    ::Sleep(static_cast<DWORD>(milliseconds));
}

void yieldProcessor() {
    ::SwitchToThread();
}

}  // namespace trellon::platform
