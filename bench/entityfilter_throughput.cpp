// Throughput of the built entityfilter program: writes a 100 MB Latin-1 text file below /tmp,
// runs the filter on it with its output to a file (and once more to /dev/null, which leaves out
// the cost of writing the output), and prints MB/s of input (1 MB = 10^6 bytes). A second input
// made only of characters with eight-character entities shows the widest expansion. The files
// are removed at the end, also when a run fails.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace trellon {
namespace {

constexpr std::size_t kInputSize = 100'000'000;
constexpr int kRuns = 3;

// A file below /tmp that is removed when it goes out of scope.
class TempFile {
  public:
    explicit TempFile(const char* stem) {
        path_ = std::string("/tmp/") + stem + "-XXXXXX";
        const int fd = ::mkstemp(path_.data());
        if (fd < 0) throw std::runtime_error("cannot create a file below /tmp");
        ::close(fd);
    }
    ~TempFile() { ::unlink(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Plain text as a person writes it: words in lines of about seventy characters, mostly ASCII
// with a few accented letters, an occasional special character, and both kinds of line end.
void writeLatin1Text(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    static const char kAccented[] = "\xE0\xE1\xE2\xE4\xE7\xE8\xE9\xEA\xF1\xF6\xFC\xDF\xC9\xA9\xB0";
    static const char kSpecial[] = "<>&\"";
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state >> 33);
    };
    std::vector<char> chunk;
    chunk.reserve(1 << 20);
    std::size_t written = 0;
    std::size_t column = 0;
    bool crlf = false;
    while (written < kInputSize) {
        chunk.clear();
        while (chunk.size() < (1 << 20) - 16 && written + chunk.size() < kInputSize) {
            const std::uint32_t r = next() % 1000;
            if (column > 70 && r < 200) {
                if (crlf) chunk.push_back('\r');
                chunk.push_back('\n');
                crlf = !crlf;
                column = 0;
                continue;
            }
            char c;
            if (r < 150) {
                c = ' ';
            } else if (r < 180) {
                c = kAccented[next() % (sizeof kAccented - 1)];
            } else if (r < 185) {
                c = kSpecial[next() % (sizeof kSpecial - 1)];
            } else {
                c = static_cast<char>('a' + next() % 26);
            }
            chunk.push_back(c);
            ++column;
        }
        const std::size_t size = std::min(chunk.size(), kInputSize - written);
        if (std::fwrite(chunk.data(), 1, size, file) != size) {
            std::fclose(file);
            throw std::runtime_error("cannot write " + path);
        }
        written += size;
    }
    if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + path);
}

void writeWidestText(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    std::vector<char> chunk(1 << 20);
    static const char kWidest[] = "\xA4\xA6\xB1\xB7\xBC\xBD\xBE\xBF\xC0\xC7\xD8";
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = kWidest[i % (sizeof kWidest - 1)];
    for (std::size_t written = 0; written < kInputSize;) {
        const std::size_t size = std::min(chunk.size(), kInputSize - written);
        if (std::fwrite(chunk.data(), 1, size, file) != size) {
            std::fclose(file);
            throw std::runtime_error("cannot write " + path);
        }
        written += size;
    }
    if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + path);
}

// Runs the filter from input to output; returns the seconds it took.
double runFilter(const std::string& program, const std::string& input, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + program);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("cannot wait for " + program);
    }
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(program + " failed with status " + std::to_string(status));
    }
    return std::chrono::duration<double>(end - start).count();
}

long long fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

void measure(const std::string& program, const char* label, const std::string& input,
             const std::string& output) {
    std::vector<double> rates;
    for (int run = 0; run < kRuns; ++run) {
        const double seconds = runFilter(program, input, output);
        rates.push_back(static_cast<double>(kInputSize) / 1e6 / seconds);
    }
    std::sort(rates.begin(), rates.end());
    const long long produced = fileSize(output);
    std::printf("%-34s median %7.0f MB/s  best %7.0f MB/s", label, rates[rates.size() / 2],
                rates.back());
    if (produced >= 0 && output != "/dev/null") {
        std::printf("  (output %.0f MB)", static_cast<double>(produced) / 1e6);
    }
    std::printf("\n");
}

int benchMain() {
    const std::string program = std::string(TRELLON_BINARY_DIR) + "/entityfilter";
    if (::access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "%s is not built\n", program.c_str());
        return 1;
    }
    TempFile text("entityfilter-bench-text");
    TempFile widest("entityfilter-bench-widest");
    TempFile output("entityfilter-bench-output");
    writeLatin1Text(text.path());
    std::printf("entityfilter on %zu MB of input, %d runs each\n", kInputSize / 1'000'000, kRuns);
    measure(program, "Latin-1 text to a file", text.path(), output.path());
    measure(program, "Latin-1 text to /dev/null", text.path(), "/dev/null");
    ::unlink(text.path().c_str());
    ::unlink(output.path().c_str());
    writeWidestText(widest.path());
    measure(program, "widest entities to /dev/null", widest.path(), "/dev/null");
    return 0;
}

}  // namespace
}  // namespace trellon

int main() {
    try {
        return trellon::benchMain();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_entityfilter_throughput: %s\n", e.what());
        return 1;
    }
}
