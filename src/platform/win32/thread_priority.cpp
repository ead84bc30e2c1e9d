#include "platform/thread_priority.h"

#include <windows.h>

namespace trellon::platform {

// A refusal is ignored: the thread keeps running at its priority.
void raiseCurrentThreadPriority() {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

void normalCurrentThreadPriority() {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

}  // namespace trellon::platform
