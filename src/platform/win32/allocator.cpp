#include "platform/allocator.h"

namespace trellon::platform {

// The process heap is one heap for all threads already.
void settleAllocator(char**) {}

}  // namespace trellon::platform
