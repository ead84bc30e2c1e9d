// The diagnostic log: start-up, settings and shutdown messages go to the
// console and to "htdocs/log.txt" below the current directory.
//
// Any thread may log. One lock keeps every entry whole and in the same order on
// the console and in the file; nothing that logs or locks is called while it
// is held. The file is opened and closed for every entry, so it is complete on
// disk after each one; the first open of the process empties it.
#pragma once

#include <cstdio>
#include <string>

namespace trellon {

// Relative to the current directory, not to the agent's working directory.
constexpr const char* kLogFilePath = "htdocs/log.txt";

// Opens the log file for writing from the start when truncate is set or on the
// first open of the process, else for appending. Returns the open file or null.
std::FILE* openLog(bool truncate);

void logLine(const std::string& text);                  // text and a line end
void logFormatted(const char* format, int argument);    // no line end added
void logFormatted(const char* format, const char* argument);
void logAddedValue(const std::string& name, const std::string& value);

// While quiet, no entry is written. The program starts quiet; main clears it.
void setLogQuiet(bool quiet);
bool isLogQuiet();

// Tests only: log to another file (the first-open rule applies to it afresh).
void setLogFilePathForTests(const std::string& path);

}  // namespace trellon
