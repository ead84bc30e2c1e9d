#include "support/test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace trellon::testing {

TempDir::TempDir() {
    char pattern[] = "/tmp/trellon-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // Nothing more to do: a leftover below /tmp harms no later test.
    }
}

namespace {
std::string captureStream(std::FILE* stream, int fd, const std::function<void()>& fn) {
    std::fflush(stream);
    char pattern[] = "/tmp/trellon-capture-XXXXXX";
    int temp = ::mkstemp(pattern);
    int saved = ::dup(fd);
    ::dup2(temp, fd);
    try {
        fn();
    } catch (...) {
        std::fflush(stream);
        ::dup2(saved, fd);
        ::close(saved);
        ::close(temp);
        ::unlink(pattern);
        throw;
    }
    std::fflush(stream);
    ::dup2(saved, fd);
    ::close(saved);
    ::close(temp);
    std::string text = readFile(pattern);
    ::unlink(pattern);
    return text;
}
}  // namespace

std::string captureStdout(const std::function<void()>& fn) { return captureStream(stdout, STDOUT_FILENO, fn); }

std::string captureStderr(const std::function<void()>& fn) { return captureStream(stderr, STDERR_FILENO, fn); }

int runCommand(const std::string& command, std::string* output) {
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::array<char, 4096> buffer{};
    std::string text;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) text.append(buffer.data(), n);
    int status = ::pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool runningUnderWine() { return false; }

}  // namespace trellon::testing
