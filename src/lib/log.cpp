#include "lib/log.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace trellon {

namespace {

// Guards the console stream and the file for the length of one entry, and the
// first-open flag and file path.
std::mutex& logLock() {
    static std::mutex m;
    return m;
}

bool gFirstOpen = true;
std::string& logPath() {
    static std::string path = kLogFilePath;
    return path;
}
std::atomic<bool> gQuiet{true};

std::FILE* openLocked(bool truncate) {
    bool fromStart = truncate || gFirstOpen;
    gFirstOpen = false;
    return std::fopen(logPath().c_str(), fromStart ? "wb" : "ab");
}

void writeEntry(const std::string& entry) {
    if (gQuiet.load()) return;
    std::lock_guard<std::mutex> guard(logLock());
    std::fwrite(entry.data(), 1, entry.size(), stdout);
    if (std::FILE* file = openLocked(false)) {
        std::fwrite(entry.data(), 1, entry.size(), file);
        std::fclose(file);
    }
    std::fflush(stdout);
}

template <typename T>
std::string format(const char* fmt, T argument) {
    int n = std::snprintf(nullptr, 0, fmt, argument);
    if (n <= 0) return "";
    std::vector<char> buffer(static_cast<std::size_t>(n) + 1);
    std::snprintf(buffer.data(), buffer.size(), fmt, argument);
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

}  // namespace

std::FILE* openLog(bool truncate) {
    std::lock_guard<std::mutex> guard(logLock());
    return openLocked(truncate);
}

void logLine(const std::string& text) { writeEntry(text + "\n"); }

// The formats are the agent's own constant texts, never input.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void logFormatted(const char* fmt, int argument) { writeEntry(format(fmt, argument)); }

void logFormatted(const char* fmt, const char* argument) {
    writeEntry(format(fmt, argument != nullptr ? argument : "(null)"));
}
#pragma GCC diagnostic pop

void logAddedValue(const std::string& name, const std::string& value) {
    writeEntry("Added value " + name + " = " + value + "\n");
}

void setLogQuiet(bool quiet) { gQuiet.store(quiet); }

bool isLogQuiet() { return gQuiet.load(); }

void setLogFilePathForTests(const std::string& path) {
    std::lock_guard<std::mutex> guard(logLock());
    logPath() = path;
    gFirstOpen = true;
}

}  // namespace trellon
