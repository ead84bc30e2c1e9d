#include "support/netlab_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/netlab_namespace.h"
#include "support/test_support.h"

extern char** environ;

namespace trellon::netlab {

namespace {

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& add : extra) replaced = replaced || add.substr(0, add.find('=')) == name;
        if (!replaced) merged.push_back(text);
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// The child between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeChild(pid_t parent, bool ownGroup, int nsFd, const char* directory,
                              int outputFd, int nullFd, int errorPipe, const char* program,
                              char** argv, char** envp) {
    int error = 0;
    // A child on the terminal stays in the foreground group so it can read it.
    if (ownGroup) ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the parent died before the line above
    if (nsFd >= 0 && ::setns(nsFd, CLONE_NEWNET) != 0) error = errno;
    if (error == 0 && directory != nullptr && ::chdir(directory) != 0) error = errno;
    if (error == 0) {
        if (outputFd >= 0) {
            ::dup2(nullFd, STDIN_FILENO);
            ::dup2(outputFd, STDOUT_FILENO);
            ::dup2(outputFd, STDERR_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int signalNumber = 1; signalNumber < 32; ++signalNumber) {
            if (signalNumber != SIGKILL && signalNumber != SIGSTOP)
                ::sigaction(signalNumber, &standard, nullptr);
        }
        ::execve(program, argv, envp);
        error = errno;
    }
    [[maybe_unused]] auto written = ::write(errorPipe, &error, sizeof error);
    ::_exit(127);
}

}  // namespace

Process::Process(int nsFd, std::vector<std::string> argv, ProcessOptions options) {
    if (argv.empty()) throw std::runtime_error("Process: no program given");
    std::string program = argv[0].find('/') == std::string::npos ? findTool(argv[0]) : argv[0];
    if (program.empty()) throw std::runtime_error("Process: program not found: " + argv[0]);

    if (options.inheritStdio) {
        // No file: the child writes where this process does.
    } else if (options.outputPath.empty()) {
        char pattern[] = "/tmp/trellon-netlab-output-XXXXXX";
        int fd = ::mkstemp(pattern);
        if (fd < 0) throw std::runtime_error("Process: cannot create an output file");
        ::close(fd);
        outputPath_ = pattern;
        ownsOutput_ = true;
    } else {
        outputPath_ = options.outputPath;
    }
    int outputFd = options.inheritStdio ? -1
                                        : ::open(outputPath_.c_str(),
                                                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int errorPipe[2] = {-1, -1};
    if ((outputFd < 0 && !options.inheritStdio) || nullFd < 0 ||
        ::pipe2(errorPipe, O_CLOEXEC) != 0) {
        if (outputFd >= 0) ::close(outputFd);
        if (nullFd >= 0) ::close(nullFd);
        release();
        throw std::runtime_error("Process: cannot prepare the output of " + argv[0]);
    }

    std::vector<std::string> environment = mergedEnvironment(options.environment);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envPointers = pointers(environment);
    const char* directory =
        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

    pid_t parent = ::getpid();
    pid_t child = ::fork();
    if (child == 0) {
        becomeChild(parent, !options.inheritStdio, nsFd, directory, outputFd, nullFd, errorPipe[1],
                    program.c_str(), argvPointers.data(), envPointers.data());
    }
    if (outputFd >= 0) ::close(outputFd);
    ::close(nullFd);
    ::close(errorPipe[1]);
    if (child < 0) {
        ::close(errorPipe[0]);
        release();
        throw std::runtime_error("Process: fork failed");
    }
    pid_ = child;
    registerChild(pid_);

    // The pipe closes at exec (success) or carries the errno of what failed.
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(errorPipe[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(errorPipe[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        int waitStatus = 0;
        ::waitpid(pid_, &waitStatus, 0);
        unregisterChild(pid_);
        pid_ = -1;
        release();
        throw std::runtime_error("Process: cannot start " + argv[0] + ": " +
                                 std::strerror(childError));
    }
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

Process::~Process() {
    if (pid_ > 0 && !status_) stop(SIGKILL, std::chrono::seconds(10));
    release();
}

Process::Process(Process&& other) noexcept {
    *this = std::move(other);
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !status_) stop(SIGKILL, std::chrono::seconds(10));
        release();
        std::swap(pid_, other.pid_);
        std::swap(pidFd_, other.pidFd_);
        std::swap(status_, other.status_);
        std::swap(outputPath_, other.outputPath_);
        std::swap(ownsOutput_, other.ownsOutput_);
    }
    return *this;
}

void Process::release() {
    if (pidFd_ >= 0) ::close(pidFd_);
    pidFd_ = -1;
    if (ownsOutput_ && !outputPath_.empty()) ::unlink(outputPath_.c_str());
    ownsOutput_ = false;
}

bool Process::running() {
    return pid_ > 0 && !waitFor(std::chrono::milliseconds(0));
}

std::optional<int> Process::waitFor(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        siginfo_t info{};
        // WNOWAIT: the zombie keeps its PID (and so its process group) while the
        // rest of the group is killed below.
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid_) {
            ::kill(-pid_, SIGKILL);  // whatever it left running in its group
            int waitStatus = 0;
            ::waitpid(pid_, &waitStatus, 0);
            unregisterChild(pid_);
            status_ = statusOf(waitStatus);
            return status_;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        if (pidFd_ >= 0) {
            pollfd wait{pidFd_, POLLIN, 0};
            ::poll(&wait, 1, static_cast<int>(left.count()) + 1);
        } else {
            // No pidfd (old kernel): a short bounded poll of the child's state.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

int Process::stop(int signalNumber, std::chrono::milliseconds grace) {
    if (status_ || pid_ <= 0) return status_.value_or(-1);
    ::kill(pid_, signalNumber);
    if (auto status = waitFor(grace)) return *status;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    return waitFor(std::chrono::seconds(10)).value_or(-1);
}

void Process::signal(int signalNumber) const {
    if (pid_ > 0 && !status_) ::kill(pid_, signalNumber);
}

std::string Process::output() const {
    return outputPath_.empty() ? std::string() : testing::readFile(outputPath_);
}

CommandResult runShell(int nsFd, const std::string& commandLine,
                       std::chrono::milliseconds timeout) {
    CommandResult result;
    Process shell(nsFd, {"/bin/sh", "-c", commandLine});
    auto status = shell.waitFor(timeout);
    if (!status) {
        result.timedOut = true;
        status = shell.stop(SIGKILL, std::chrono::seconds(10));
    }
    result.status = *status;
    result.output = shell.output();
    return result;
}

}  // namespace trellon::netlab
