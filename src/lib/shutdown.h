// The process-wide shutdown-requested flag: set once when the agent is to
// stop, polled without a lock by every long-running loop.
#pragma once

namespace trellon {

bool isShutdownRequested();
void requestShutdown();

// Tests only: lets one process run several agent lifetimes.
void resetShutdownRequestForTests();

}  // namespace trellon
