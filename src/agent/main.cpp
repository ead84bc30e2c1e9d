#include "agent/agent_modes.h"
#include "platform/allocator.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
    // First: on Linux this may start the program again.
    trellon::platform::settleAllocator(argv);
    // Before any thread starts, so every thread inherits the blocked stop signals.
    trellon::platform::blockStopSignals();
    trellon::platform::ignoreBrokenPipe();
    return trellon::agentMain(argc, argv);
}
