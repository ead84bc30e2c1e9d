#include "platform/socket_error.h"

#include <cerrno>

namespace trellon::platform {

namespace {
thread_local int tLastSocketError = 0;
}

int socketErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return 10038;
        case EACCES: return 10013;
        case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE: return 10024;
        case ENFILE: return 10024;
        case EWOULDBLOCK: return 10060;  // a receive that ran into SO_RCVTIMEO
#if EAGAIN != EWOULDBLOCK
        case EAGAIN: return 10060;
#endif
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET: return 10054;
        case EPIPE: return 10058;  // sending after the peer or we shut the connection down
        case ENOBUFS: return 10055;
        case ENOMEM: return 8;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        default: return 10107;  // "System call failure."
    }
}

int recordSocketErrorFromErrno() {
    tLastSocketError = socketErrorFromErrno(errno);
    return tLastSocketError;
}

int lastSocketError() { return tLastSocketError; }

void setLastSocketError(int code) { tLastSocketError = code; }

}  // namespace trellon::platform
