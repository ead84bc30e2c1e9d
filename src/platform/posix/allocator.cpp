#include "platform/allocator.h"

#include <malloc.h>

namespace trellon::platform {

void settleAllocator() {
#ifdef M_ARENA_MAX
    // A refusal leaves glibc's default; nothing else depends on these.
    // The main arena and one more.
    (void)::mallopt(M_ARENA_MAX, 2);
    // Fixed thresholds: glibc otherwise raises both after the first large
    // block is freed (a test's buffers, the reflector's queue), and from then
    // on such blocks come from the heap and what they leave is never trimmed.
    (void)::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    (void)::mallopt(M_TRIM_THRESHOLD, 256 * 1024);
#endif
}

}  // namespace trellon::platform
