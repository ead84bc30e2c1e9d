// Winsock 2.2 is started once, by the first socket call of the process, and
// stays for its lifetime: the agent's sockets are used until the very end,
// and WSACleanup while a thread still holds one would break it.
#pragma once

namespace trellon::platform::win32 {

// True when Winsock 2.2 is ready; a failure is printed once ("WSAStartup
// failed") and the socket calls fail with Winsock's own error.
bool ensureWinsock();

}  // namespace trellon::platform::win32
