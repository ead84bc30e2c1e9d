// The native socket handle: a descriptor here, a SOCKET (UINT_PTR) on Windows,
// without pulling in the system's socket headers.
#pragma once

#include <cstdint>

namespace trellon::platform {

#ifdef _WIN32
using NativeSocket = std::uintptr_t;
inline constexpr NativeSocket kNoSocket = ~static_cast<std::uintptr_t>(0);  // INVALID_SOCKET
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
#endif

}  // namespace trellon::platform
