// Small helpers shared by the test suites.
#pragma once

#include <functional>
#include <string>

namespace trellon::testing {

// A fresh folder below /tmp, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);

// Runs fn with standard output (or standard error) sent to a file and returns
// what it wrote.
std::string captureStdout(const std::function<void()>& fn);
std::string captureStderr(const std::function<void()>& fn);

// Runs a shell command; returns its exit status, output in *output when given.
int runCommand(const std::string& command, std::string* output = nullptr);

// Whether this Windows test program runs under wine (never on Linux). Wine
// falls short of Windows in places a test checks: an abortive close (linger
// zero) ends the connection in order instead of resetting it.
bool runningUnderWine();

}  // namespace trellon::testing
