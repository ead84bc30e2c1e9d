// Failure and warning reports shared by all network code, with the socket
// error text table. Reports go to standard error.
#pragma once

namespace trellon {

// Text of a socket error code from the 51-row table; "Unknown error" otherwise.
const char* socketErrorText(int code);

// "Failure test: <message> failed (<file>:<line>)". With withSocketError it also
// prints the thread's last socket error and throws SocketException carrying
// that error's text and code.
void failureReport(const char* message, const char* file, int line, bool withSocketError);

// "Warning: <message> failed (<file>:<line>)" and the socket error line; never throws.
void warningReport(const char* message, const char* file, int line);

// The last system error with its message, on the console.
void printSystemError(const char* context);

// Prints "Verify assertion failed at <file>, line <line>" when condition is
// false, and carries on: a failed verification never stops the program.
void verify(bool condition, const char* file, int line);

// The file name without its folders, for report locations.
const char* sourceFileName(const char* path);

}  // namespace trellon

#define TRL_WARNING(message) ::trellon::warningReport((message), __FILE__, __LINE__)
#define TRL_FAILURE(message) ::trellon::failureReport((message), __FILE__, __LINE__, false)
#define TRL_SOCKET_FAILURE(message) ::trellon::failureReport((message), __FILE__, __LINE__, true)
#define TRL_VERIFY(condition) ::trellon::verify((condition), __FILE__, __LINE__)
