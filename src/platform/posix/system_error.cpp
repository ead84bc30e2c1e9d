#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace trellon::platform {

int lastSystemError() { return errno; }

std::string systemErrorText(int code) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not be the buffer.
    const char* text = ::strerror_r(code, buffer, sizeof(buffer));
    return text != nullptr ? text : "";
}

}  // namespace trellon::platform
