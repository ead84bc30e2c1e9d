#include "platform/host_name.h"

#include <windows.h>

namespace trellon::platform {

// The DNS host name, which needs no started Winsock (gethostname does).
int getHostName(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return -1;
    DWORD length = static_cast<DWORD>(size);
    const BOOL ok = ::GetComputerNameExA(ComputerNameDnsHostname, buffer, &length);
    buffer[size - 1] = '\0';
    if (!ok) {
        buffer[0] = '\0';
        return -1;
    }
    return 0;
}

}  // namespace trellon::platform
