#include "platform/allocator.h"

#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace trellon::platform {

namespace {

// A sanitizer brings its own allocator (the agent's sanitizer build is gcc's).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kOwnAllocator = true;
#else
constexpr bool kOwnAllocator = false;
#endif

constexpr const char* kTunables = "GLIBC_TUNABLES";
constexpr const char* kTcacheOff = "glibc.malloc.tcache_count=0";
// Set for the image started again: "=" and the caller's GLIBC_TUNABLES, or
// "-" when the caller had none, so it can be put back as it was.
constexpr const char* kRestartMark = "TRELLON_ALLOCATOR_RESTART";

void restoreTunables(const char* saved) {
    if (saved[0] == '=') {
        ::setenv(kTunables, saved + 1, 1);
    } else {
        ::unsetenv(kTunables);
    }
    ::unsetenv(kRestartMark);
}

// glibc's per-thread caches keep up to seven freed blocks of every size a
// thread has seen, and the agent's long-lived threads (the connection loop,
// the request pool) see ever more sizes: the caches grow for minutes. Their
// size can only be set before the program starts, so the agent starts itself
// once more with them off (same process, same arguments). Plug-ins do not
// inherit the setting.
void withoutThreadCaches(char** argv) {
    if constexpr (kOwnAllocator) return;
    if (const char* saved = ::getenv(kRestartMark)) {
        const std::string copy = saved;
        restoreTunables(copy.c_str());
        return;
    }
    const char* tunables = ::getenv(kTunables);
    const std::string current = tunables ? tunables : "";
    // The administrator's own choice stands.
    if (current.find("glibc.malloc.tcache_count") != std::string::npos) return;
    // Under valgrind a new image would run outside it.
    if (const char* preload = ::getenv("LD_PRELOAD");
        preload && std::string(preload).find("vgpreload") != std::string::npos) {
        return;
    }
    if (argv == nullptr || argv[0] == nullptr) return;
    const std::string mark = tunables ? "=" + current : "-";
    const std::string wanted = current.empty() ? kTcacheOff : current + ":" + kTcacheOff;
    if (::setenv(kRestartMark, mark.c_str(), 1) != 0) return;
    if (::setenv(kTunables, wanted.c_str(), 1) != 0) {
        ::unsetenv(kRestartMark);
        return;
    }
    ::execv("/proc/self/exe", argv);
    // Not started again (no /proc, say): go on as we are.
    restoreTunables(mark.c_str());
}

}  // namespace

void settleAllocator(char** argv) {
    withoutThreadCaches(argv);
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
