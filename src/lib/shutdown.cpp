#include "lib/shutdown.h"

#include <atomic>

namespace trellon {

namespace {
std::atomic<bool> gShutdownRequested{false};
}

bool isShutdownRequested() { return gShutdownRequested.load(std::memory_order_acquire); }

void requestShutdown() { gShutdownRequested.store(true, std::memory_order_release); }

void resetShutdownRequestForTests() { gShutdownRequested.store(false); }

}  // namespace trellon
