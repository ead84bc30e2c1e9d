#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace trellon::platform {

namespace {
void setNice(int value) {
    // On Linux the nice value of a thread id affects that thread only.
    pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), value);
}
}  // namespace

void raiseCurrentThreadPriority() { setNice(-10); }

void normalCurrentThreadPriority() { setNice(0); }

}  // namespace trellon::platform
