// Thread priority, best effort: raising needs privileges the agent may not
// have, and a refusal is ignored.
#pragma once

namespace trellon::platform {

void raiseCurrentThreadPriority();
void normalCurrentThreadPriority();

}  // namespace trellon::platform
