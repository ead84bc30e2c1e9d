#include "platform/standard_streams.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trellon::platform {

void prepareStandardStreams() {
    // Linux streams are binary already.
    ::signal(SIGPIPE, SIG_IGN);
}

long readStandardInput(void* data, std::size_t size, std::string* error) {
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, data, size);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        *error = std::strerror(errno);
        return -1;
    }
}

bool writeStandardOutput(const void* data, std::size_t size, std::string* error) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            *error = std::strerror(errno);
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool closeStandardOutput(std::string* error) {
    if (::close(STDOUT_FILENO) != 0 && errno != EINTR && errno != EBADF) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace trellon::platform
