#include "lib/error_report.h"

#include <cstdio>
#include <cstring>

#include "lib/socket_exception.h"
#include "platform/socket_error.h"
#include "platform/system_error.h"

namespace trellon {

namespace {

struct ErrorText {
    int code;
    const char* text;
};

// Searched in this order; the first match wins.
constexpr ErrorText kSocketErrors[] = {
    {10013, "Permission denied"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10047, "Address family not supported by protocol family"},
    {10037, "Operation already in progress"},
    {10053, "Software caused connection abort"},
    {10061, "Connection refused"},
    {10054, "Connection reset by peer"},
    {10039, "Destination address required"},
    {10014, "Bad address"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10036, "Operation now in progress"},
    {10004, "Interrupted function call."},
    {10022, "Invalid argument."},
    {10056, "Socket is already connected."},
    {10024, "Too many open files."},
    {10040, "Message too long"},
    {10050, "Network is down"},
    {10052, "Network dropped connection on reset"},
    {10051, "Network is unreachable"},
    {10055, "No buffer space available."},
    {10042, "Bad protocol option."},
    {10057, "Socket is not connected"},
    {10038, "Socket operation on non-socket."},
    {10045, "Operation not supported"},
    {10046, "Protocol family not supported"},
    {10067, "Too many processes."},
    {10043, "Protocol not supported"},
    {10041, "Protocol wrong type for socket"},
    {10058, "Cannot send after socket shutdown"},
    {10044, "Socket type not supported."},
    {10060, "Connection timed out."},
    {10109, "Class type not found."},
    {10035, "Resource temporarily unavailable"},
    {11001, "Host not found."},
    {6, "Specified event object handle is invalid."},
    {87, "One or more parameters are invalid."},
    {996, "Overlapped I/O event object not in signaled state."},
    {997, "Overlapped operations will complete later."},
    {8, "Insufficient memory available."},
    {10093, "Successful WSAStartup not yet performed."},
    {11004, "Valid name, no data record of requested type."},
    {11003, "This is a non-recoverable error."},
    {10107, "System call failure."},
    {10091, "Network subsystem is unavailable."},
    {11002, "Non-authoritative host not found."},
    {10092, "WINSOCK.DLL version out of range."},
    {10101, "Graceful shutdown in progress."},
    {995, "Overlapped operation aborted."},
    {0, "No error."},
};
static_assert(sizeof(kSocketErrors) / sizeof(kSocketErrors[0]) == 51);

void printSocketErrorLine(int code) {
    std::fprintf(stderr, "\tSocket error %d:\"%s\"\n", code, socketErrorText(code));
}

}  // namespace

const char* sourceFileName(const char* path) {
    if (path == nullptr) return "";
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

const char* socketErrorText(int code) {
    for (const auto& entry : kSocketErrors) {
        if (entry.code == code) return entry.text;
    }
    return "Unknown error";
}

void failureReport(const char* message, const char* file, int line, bool withSocketError) {
    std::fprintf(stderr, "Failure test: %s failed (%s:%d)\n", message, sourceFileName(file), line);
    if (!withSocketError) return;
    int code = platform::lastSocketError();
    printSocketErrorLine(code);
    throw SocketException(socketErrorText(code), code);
}

void warningReport(const char* message, const char* file, int line) {
    std::fprintf(stderr, "Warning: %s failed (%s:%d)\n", message, sourceFileName(file), line);
    printSocketErrorLine(platform::lastSocketError());
}

void printSystemError(const char* context) {
    int code = platform::lastSystemError();
    std::string text = platform::systemErrorText(code);
    std::printf("printError %s\nGetLastError returns %d\n%s\n", context, code, text.c_str());
    std::fflush(stdout);
}

void verify(bool condition, const char* file, int line) {
    if (condition) return;
    std::printf("Verify assertion failed at %s, line %d\n", sourceFileName(file), line);
    std::fflush(stdout);
}

}  // namespace trellon
