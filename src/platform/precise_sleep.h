// Sleeping to a deadline on the monotonic counter, for paced test traffic.
//
// The stream sender plans each departure on the counter and sleeps until a
// little before it; an absolute deadline (rather than a duration) means a
// late wake-up or a slow send does not push every later departure back.
#pragma once

#include <cstdint>

namespace trellon::platform {

// Sleeps until the monotonic counter (platform::monotonicTicks, nanoseconds)
// reaches ticks; returns at once when it already has.
void sleepUntilTicks(std::uint64_t ticks);

// Asks for the finest timer granularity for the calling thread (best effort):
// the stream sender's wake-ups then come within microseconds of their
// deadline instead of the default tens. The counterpart of requesting a 1 ms
// multimedia timer resolution on Windows.
void useFineTimerSlack();
// Back to the default for the calling thread.
void useDefaultTimerSlack();

// Puts the calling thread in the lowest real-time class, so its wake-ups are
// not queued behind busy processes (on a loaded machine an ordinary thread
// wakes milliseconds late). False when the system refuses (no privilege):
// the thread keeps its priority. Only for threads that sleep most of the
// time; endPacingPriority puts the thread back.
bool usePacingPriority();
void endPacingPriority();

}  // namespace trellon::platform
