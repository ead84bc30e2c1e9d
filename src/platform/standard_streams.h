// The program's standard input and output as plain byte streams, for a
// console filter: no line-end translation on the way, and a failure of
// either reported with its system text.
#pragma once

#include <cstddef>
#include <string>

namespace trellon::platform {

// Both streams in binary mode; a closed output pipe fails the write
// instead of ending the process by a signal.
void prepareStandardStreams();

// What the input has now, up to size bytes, waiting for at least one byte:
// the count, 0 at the end of the input, -1 on failure (*error its text).
long readStandardInput(void* data, std::size_t size, std::string* error);

// All of it, or false with *error the text.
bool writeStandardOutput(const void* data, std::size_t size, std::string* error);

// Some file systems report a failed write only when the file is closed.
bool closeStandardOutput(std::string* error);

}  // namespace trellon::platform
