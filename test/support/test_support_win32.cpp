// test_support.h on Windows: the same helpers with the C runtime's
// descriptor calls and std::filesystem in place of the POSIX ones.
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "support/test_support.h"

#include "platform/win32/win32_text.h"

namespace trellon::testing {

namespace {

std::atomic<unsigned> gCounter{0};

std::string uniqueName(const char* prefix) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::string(prefix) + std::to_string(_getpid()) + "-" + std::to_string(now) + "-" +
           std::to_string(gCounter++);
}

}  // namespace

TempDir::TempDir() {
    std::error_code error;
    const auto base = std::filesystem::temp_directory_path(error);
    if (error) throw std::runtime_error("no temporary folder");
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto folder = base / uniqueName("trellon-test-");
        if (std::filesystem::create_directory(folder, error)) {
            path_ = folder.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {
std::string captureStream(std::FILE* stream, const std::function<void()>& fn) {
    std::fflush(stream);
    const int fd = _fileno(stream);
    std::error_code error;
    const std::string path =
        (std::filesystem::temp_directory_path(error) / uniqueName("trellon-capture-")).string();
    const int temp = _open(path.c_str(), _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY, 0600);
    if (temp < 0) throw std::runtime_error("cannot make a capture file");
    const int saved = _dup(fd);
    _dup2(temp, fd);
    auto restore = [&] {
        std::fflush(stream);
        _dup2(saved, fd);
        _close(saved);
        _close(temp);
    };
    try {
        fn();
    } catch (...) {
        restore();
        std::filesystem::remove(path, error);
        throw;
    }
    restore();
    std::string text = readFile(path);
    std::filesystem::remove(path, error);
    return text;
}
}  // namespace

std::string captureStdout(const std::function<void()>& fn) {
    return captureStream(stdout, fn);
}

std::string captureStderr(const std::function<void()>& fn) {
    return captureStream(stderr, fn);
}

int runCommand(const std::string& command, std::string* output) {
    std::FILE* pipe = _popen((command + " 2>&1").c_str(), "rb");
    if (pipe == nullptr) return -1;
    std::array<char, 4096> buffer{};
    std::string text;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        text.append(buffer.data(), n);
    const int status = _pclose(pipe);
    if (output != nullptr) *output = text;
    return status;
}

bool runningUnderWine() { return platform::win32::runningUnderWine(); }

}  // namespace trellon::testing
