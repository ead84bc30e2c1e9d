// The computer's own name.
#pragma once

#include <cstddef>

namespace trellon::platform {

// Writes the host name into buffer (NUL-terminated). Returns 0 on success, the
// failing result (-1) otherwise.
int getHostName(char* buffer, std::size_t size);

}  // namespace trellon::platform
