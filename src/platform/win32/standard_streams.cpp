#include "platform/standard_streams.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace trellon::platform {

void prepareStandardStreams() {
    // Text mode would turn CR LF into LF, stop at ^Z and add CRs of its own:
    // the filter does its own line ends. A closed pipe fails the write here.
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

long readStandardInput(void* data, std::size_t size, std::string* error) {
    const unsigned int room = size > INT_MAX ? INT_MAX : static_cast<unsigned int>(size);
    const int got = ::_read(0, data, room);
    if (got >= 0) return got;
    *error = std::strerror(errno);
    return -1;
}

bool writeStandardOutput(const void* data, std::size_t size, std::string* error) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const unsigned int chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned int>(size);
        const int written = ::_write(1, bytes, chunk);
        if (written < 0) {
            *error = std::strerror(errno);
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool closeStandardOutput(std::string* error) {
    if (::_close(1) != 0 && errno != EBADF) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace trellon::platform
