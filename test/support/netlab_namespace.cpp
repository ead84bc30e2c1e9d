#include "support/netlab_namespace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace trellon::netlab {

namespace {

constexpr const char* kNetnsDir = "/run/netns/";

// --- The interrupt path's tables ---------------------------------------------
// Written under gTableMutex by normal code; read without it by the signal
// handler, which only needs each slot to be either empty or a whole entry.
constexpr std::size_t kMaxNamespaces = 256;
constexpr std::size_t kMaxChildren = 1024;
constexpr std::size_t kPathSize = 160;
std::mutex gTableMutex;  // guards slot allocation in the two tables below
std::array<std::array<char, kPathSize>, kMaxNamespaces> gNamespacePaths{};
std::array<std::atomic<bool>, kMaxNamespaces> gNamespaceUsed{};
std::array<std::atomic<pid_t>, kMaxChildren> gChildren{};

void onFatalSignal(int signalNumber) {
    // Only async-signal-safe calls: kill, umount2, unlink, raise.
    for (auto& slot : gChildren) {
        pid_t pid = slot.load();
        if (pid > 0) {
            ::kill(-pid, SIGKILL);  // its process group: what a shell started
            ::kill(pid, SIGKILL);
        }
    }
    for (std::size_t i = 0; i < kMaxNamespaces; ++i) {
        if (!gNamespaceUsed[i].load()) continue;
        ::umount2(gNamespacePaths[i].data(), MNT_DETACH);
        ::unlink(gNamespacePaths[i].data());
    }
    // SA_RESETHAND restored the default action; it runs when the handler returns.
    ::raise(signalNumber);
}

void installSignalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT}) {
            struct sigaction current {};
            if (::sigaction(signalNumber, nullptr, &current) != 0) continue;
            // Someone else's handler (a sanitizer, the program itself) stays.
            if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
            struct sigaction action {};
            action.sa_handler = onFatalSignal;
            action.sa_flags = SA_RESETHAND;
            sigemptyset(&action.sa_mask);
            ::sigaction(signalNumber, &action, nullptr);
        }
    });
}

void registerNamespace(const std::string& path) {
    if (path.size() >= kPathSize) return;
    std::lock_guard<std::mutex> guard(gTableMutex);
    for (std::size_t i = 0; i < kMaxNamespaces; ++i) {
        if (gNamespaceUsed[i].load()) continue;
        std::memcpy(gNamespacePaths[i].data(), path.c_str(), path.size() + 1);
        gNamespaceUsed[i].store(true);
        return;
    }
}

void unregisterNamespace(const std::string& path) {
    std::lock_guard<std::mutex> guard(gTableMutex);
    for (std::size_t i = 0; i < kMaxNamespaces; ++i) {
        if (gNamespaceUsed[i].load() && path == gNamespacePaths[i].data()) {
            gNamespaceUsed[i].store(false);
            return;
        }
    }
}

// Field 22 of /proc/<pid>/stat: start time in clock ticks since boot. Together
// with the PID it names one process for the life of the machine.
std::string processStartTime(pid_t pid) {
    std::string stat = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && (fields >> field); ++i) {
        if (i == 22) return field;
    }
    return {};
}

bool sameNamespace(const struct stat& a, const std::string& path) {
    struct stat b {};
    return ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int killProcessesIn(const std::string& namespacePath) {
    struct stat target {};
    if (::stat(namespacePath.c_str(), &target) != 0) return 0;
    int killed = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == ::getpid()) continue;
        if (sameNamespace(target, "/proc/" + std::string(entry->d_name) + "/ns/net")) {
            if (::kill(static_cast<pid_t>(pid), SIGKILL) == 0) ++killed;
        }
    }
    ::closedir(proc);
    return killed;
}

void removeNamespaceFile(const std::string& path) {
    ::umount2(path.c_str(), MNT_DETACH);
    ::unlink(path.c_str());
}

std::string computeUnavailableReason() {
    if (::geteuid() != 0) {
        return "the network lab needs root (network namespaces, veth links, tc); run the suite as "
               "root to "
               "include these tests";
    }
    if (findTool("ip").empty() || findTool("tc").empty())
        return "the network lab needs iproute2 (ip, tc)";
    int error = 0;
    std::thread probe([&error] {
        if (::unshare(CLONE_NEWNET) != 0) error = errno;
    });
    probe.join();
    if (error != 0)
        return std::string("cannot create network namespaces here: ") + std::strerror(error);
    ::mkdir("/run/netns", 0755);
    if (::access("/run/netns", W_OK) != 0)
        return "cannot write /run/netns for named network namespaces";
    return {};
}

}  // namespace

std::string unavailableReason() {
    static const std::string reason = computeUnavailableReason();
    return reason;
}

std::string findTool(const std::string& name) {
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    path += ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    std::istringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

void inNamespace(int nsFd, const std::function<void()>& fn) {
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            // setns on a network namespace moves only the calling thread.
            if (::setns(nsFd, CLONE_NEWNET) != 0) {
                throw std::runtime_error(std::string("setns failed: ") + std::strerror(errno));
            }
            fn();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

void writeSysctl(int nsFd, const std::string& path, const std::string& value) {
    inNamespace(nsFd, [&] {
        // /proc/sys/net answers for the namespace of the thread that opens it.
        std::ofstream out("/proc/sys/net/" + path);
        out << value;
        out.flush();
        if (!out) throw std::runtime_error("cannot write /proc/sys/net/" + path);
    });
}

void runTool(const std::string& commandLine) {
    auto space = commandLine.find(' ');
    std::string program = findTool(commandLine.substr(0, space));
    if (program.empty())
        throw std::runtime_error("program not found: " + commandLine.substr(0, space));
    std::string rest = space == std::string::npos ? std::string() : commandLine.substr(space);
    std::string output;
    int status = testing::runCommand(program + rest, &output);
    if (status != 0) {
        throw std::runtime_error("'" + commandLine + "' failed (" + std::to_string(status) +
                                 "): " + output);
    }
}

std::string processPrefixOf(pid_t pid) {
    return "trl-" + std::to_string(pid) + "-" + processStartTime(pid) + "-";
}

std::string processPrefix() {
    // Recomputed after a fork: a child's namespaces are its own, not its parent's.
    static std::mutex mutex;
    static pid_t cachedPid = 0;
    static std::string cached;
    std::lock_guard<std::mutex> guard(mutex);
    if (cachedPid != ::getpid()) {
        cachedPid = ::getpid();
        cached = processPrefixOf(cachedPid);
    }
    return cached;
}

SweepLock::SweepLock()
    : fd_(::open("/tmp/trellon-netlab-sweep.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ < 0) return;
    // flock has no timeout of its own; a bounded retry. Sweeps are short.
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SweepLock::~SweepLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the flock
}

int sweepLeftovers(std::string* report, bool lockHeld) {
    std::optional<SweepLock> lock;
    if (!lockHeld) lock.emplace();
    DIR* folder = ::opendir(kNetnsDir);
    if (folder == nullptr) return 0;
    std::vector<std::string> stale;
    while (dirent* entry = ::readdir(folder)) {
        // trl-<pid>-<start>-...: anything else is not ours.
        std::string name = entry->d_name;
        if (name.rfind("trl-", 0) != 0) continue;
        std::istringstream parts(name.substr(4));
        std::string pidText, startText;
        if (!std::getline(parts, pidText, '-') || !std::getline(parts, startText, '-')) continue;
        if (pidText.empty() || startText.empty() ||
            pidText.find_first_not_of("0123456789") != std::string::npos ||
            startText.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        pid_t owner = static_cast<pid_t>(std::strtol(pidText.c_str(), nullptr, 10));
        if (processStartTime(owner) == startText) continue;  // its owner still runs
        stale.push_back(name);
    }
    ::closedir(folder);
    for (const auto& name : stale) {
        std::string path = kNetnsDir + name;
        killProcessesIn(path);
        removeNamespaceFile(path);
        if (report != nullptr) *report += name + "\n";
    }
    return static_cast<int>(stale.size());
}

void registerChild(pid_t pid) {
    std::lock_guard<std::mutex> guard(gTableMutex);
    for (auto& slot : gChildren) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) return;
    }
}

void unregisterChild(pid_t pid) {
    std::lock_guard<std::mutex> guard(gTableMutex);
    for (auto& slot : gChildren) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

NetNamespace::NetNamespace(std::string name) : name_(std::move(name)) {
    installSignalHandlers();
    std::string path = kNetnsDir + name_;
    runTool("ip netns add " + name_);
    registerNamespace(path);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    try {
        if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        runTool("ip -n " + name_ + " link set lo up");
    } catch (...) {
        if (fd_ >= 0) ::close(fd_);
        removeNamespaceFile(path);
        unregisterNamespace(path);
        throw;
    }
}

NetNamespace::~NetNamespace() {
    std::string path = kNetnsDir + name_;
    killProcesses();
    ::close(fd_);
    // What ip netns del does; the namespace, with its links, goes when its last
    // user (process or socket) has gone.
    removeNamespaceFile(path);
    unregisterNamespace(path);
}

int NetNamespace::killProcesses() const {
    return killProcessesIn(kNetnsDir + name_);
}

}  // namespace trellon::netlab
