// The last socket error on Windows: Winsock's own codes as they come; the
// C library's errno values (from the few calls that set it) map into the
// same code space.
#include "platform/socket_error.h"

#include <winsock2.h>

#include <cerrno>

namespace trellon::platform {

int socketErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10038;
        case EACCES:
            return 10013;
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
            return 10024;
        case ENFILE:
            return 10024;
        case EWOULDBLOCK:
            return 10060;
#if EAGAIN != EWOULDBLOCK
        case EAGAIN:
            return 10060;
#endif
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case EOPNOTSUPP:
            return 10045;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case EPIPE:
            return 10058;
        case ENOBUFS:
            return 10055;
        case ENOMEM:
            return 8;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10107;
    }
}

namespace {
// Kept apart from GetLastError, which every later system call (a printf
// to the console, say) may overwrite before the error is reported.
thread_local int tLastSocketError = 0;
}  // namespace

// Callers ask right after a failing socket call, so Winsock's code is the
// one that call left; errno only speaks when Winsock has nothing.
int recordSocketErrorFromErrno() {
    const int code = ::WSAGetLastError();
    tLastSocketError = code != 0 ? code : socketErrorFromErrno(errno);
    return tLastSocketError;
}

int lastSocketError() {
    return tLastSocketError;
}

void setLastSocketError(int code) {
    tLastSocketError = code;
    ::WSASetLastError(code);
}

}  // namespace trellon::platform
