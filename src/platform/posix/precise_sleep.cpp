#include "platform/precise_sleep.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

namespace trellon::platform {

void sleepUntilTicks(std::uint64_t ticks) {
    timespec deadline{static_cast<time_t>(ticks / 1000000000ULL),
                      static_cast<long>(ticks % 1000000000ULL)};
    // An absolute sleep restarts with the same deadline after a signal.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void useFineTimerSlack() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

// 0 puts back the slack the thread started with.
void useDefaultTimerSlack() {
    prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
}

bool usePacingPriority() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

void endPacingPriority() {
    sched_param param{};
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

}  // namespace trellon::platform
