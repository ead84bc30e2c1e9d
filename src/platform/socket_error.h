// The per-thread "last socket error", in the Windows code space (10004 ...
// 11004) so that the error text table and every code the agent compares keep
// their meaning. The socket layer records it after every failing call.
#pragma once

namespace trellon::platform {

constexpr int kErrorInterrupted = 10004;
constexpr int kErrorAccess = 10013;
constexpr int kErrorInvalid = 10022;
constexpr int kErrorNotSocket = 10038;  // also a closed or unknown handle
constexpr int kErrorMessageSize = 10040;
constexpr int kErrorAddressInUse = 10048;
constexpr int kErrorConnectionReset = 10054;
constexpr int kErrorNoBuffers = 10055;
constexpr int kErrorShutDown = 10058;  // sending after the connection was shut down (EPIPE)
constexpr int kErrorTimedOut = 10060;
constexpr int kErrorConnectionRefused = 10061;
constexpr int kErrorHostNotFound = 11001;

// Maps an errno value into the Windows code space (0 stays 0).
int socketErrorFromErrno(int err);

// Records errno (mapped) as the calling thread's last socket error and returns it.
int recordSocketErrorFromErrno();

int lastSocketError();
void setLastSocketError(int code);

}  // namespace trellon::platform
