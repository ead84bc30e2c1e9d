// The C library's allocator, set up for a process that runs for months while
// short-lived threads (one per test, per request, per plug-in run) come and go.
#pragma once

namespace trellon::platform {

// Call first thing in main, before any thread starts. On Linux, glibc gives
// threads arenas of their own, up to eight per core, each keeping the pages
// its peak left, and lets large blocks settle in the heap once one has been
// freed: the agent's resident memory then creeps up for many minutes
// although its live heap stays flat. Two arenas are plenty for the agent's
// allocation rate, and large blocks go back to the system when freed. The
// threads' own caches of freed blocks are turned off as well, which on Linux
// means the program starts itself once more from here (argv: main's).
void settleAllocator(char** argv);

}  // namespace trellon::platform
