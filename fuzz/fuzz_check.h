// What the fuzz targets share: a check that stops the run with a message
// (libFuzzer then saves the input that broke it), and the bytes of the
// input as text.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

// Unlike assert, also in builds with NDEBUG.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace trellon::fuzz {

inline std::string text(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Splits the input at its first NUL: the part before and the part after.
// Seeds written by hand put a NUL between the two texts a target needs.
inline std::pair<std::string, std::string> splitAtNul(const std::string& input) {
    std::size_t nul = input.find('\0');
    if (nul == std::string::npos) return {input, std::string()};
    return {input.substr(0, nul), input.substr(nul + 1)};
}

// A folder of this run's own for the targets that read files: in memory
// where the system has /dev/shm (rewriting a file on a disk waits for the
// disk at every input), else in /tmp. Made at the first call; the target
// removes what it puts in it.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string path = std::string(base) + "/trellon-fuzz-" + std::to_string(::getpid());
        if (::mkdir(path.c_str(), 0700) != 0) path = base;
        return path;
    }();
    return folder;
}

}  // namespace trellon::fuzz
