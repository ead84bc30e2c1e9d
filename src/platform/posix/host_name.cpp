#include "platform/host_name.h"

#include <unistd.h>

namespace trellon::platform {

int getHostName(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return -1;
    int rc = ::gethostname(buffer, size);
    buffer[size - 1] = '\0';
    return rc;
}

}  // namespace trellon::platform
