#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace trellon::platform {

namespace {

// Where a bare program name is looked for when the agent has no PATH.
constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";
// Without a process descriptor the end of the child is polled this often.
constexpr int kExitPollMs = 10;

std::string errorText(int code) {
    char buffer[256];
    // The GNU strerror_r returns its text, which need not be in buffer.
    const char* text = ::strerror_r(code, buffer, sizeof(buffer));
    return text != nullptr ? text : "error " + std::to_string(code);
}

void closeDescriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// A pipe whose two ends are close-on-exec and above the standard three: an
// agent started with a standard stream closed would otherwise get 0, 1 or 2
// back, and the child's dup2 onto that number would keep close-on-exec.
bool makePipe(int ends[2]) {
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0) return false;
    bool made = true;
    for (int i = 0; i < 2; ++i) {
        ends[i] = raw[i];
        if (raw[i] >= 3) continue;
        ends[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, 3);
        ::close(raw[i]);
        if (ends[i] < 0) made = false;
    }
    if (!made) {
        closeDescriptor(ends[0]);
        closeDescriptor(ends[1]);
    }
    return made;
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// The file to execute for the program argument, or "" when there is none.
std::string resolveProgram(const std::string& program, const std::string& directory) {
    if (program.empty()) return "";
    if (program.find('/') != std::string::npos) {
        if (program[0] == '/' || directory.empty()) return program;
        return directory + (directory.back() == '/' ? "" : "/") + program;
    }
    const char* path = std::getenv("PATH");
    const std::string search = path != nullptr && *path != '\0' ? path : kDefaultSearchPath;
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t colon = search.find(':', start);
        if (colon == std::string::npos) colon = search.size();
        const std::string folder = search.substr(start, colon - start);
        // An empty entry would mean the agent's own working directory, which
        // is not where anybody means a plug-in's program to come from.
        if (!folder.empty() && folder[0] == '/') {
            const std::string candidate = folder + (folder.back() == '/' ? "" : "/") + program;
            if (isExecutableFile(candidate)) return candidate;
        }
        start = colon + 1;
    }
    return "";
}

int statusCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::vector<std::string> processEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    return entries;
}

struct ChildProcess::State {
    mutable std::mutex lock;  // guards pid, exited, reaped and status
    pid_t pid = -1;
    bool exited = false;
    bool reaped = false;
    int status = -1;
    int output = -1;   // read end of the child's standard output
    int error = -1;    // read end of its standard error
    int process = -1;  // pidfd: readable once the child has ended (-1: poll instead)
    int wake[2] = {-1, -1};
    std::atomic<bool> woken{false};

    // Under lock.
    bool checkExited() {
        if (pid <= 0) return false;
        if (exited || reaped) return true;
        siginfo_t info{};
        // WNOWAIT: the zombie keeps the pid, so the group cannot be reused
        // under a later kill.
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            // Somebody else collected it (SIGCHLD ignored): never signal that
            // pid again.
            if (errno == ECHILD) exited = reaped = true;
            return exited;
        }
        if (info.si_pid != 0) exited = true;
        return exited;
    }
};

ChildProcess::ChildProcess() : state_(std::make_unique<State>()) {
    if (::pipe2(state_->wake, O_CLOEXEC | O_NONBLOCK) != 0) state_->wake[0] = state_->wake[1] = -1;
}

ChildProcess::~ChildProcess() {
    reap();
    closeDescriptor(state_->output);
    closeDescriptor(state_->error);
    closeDescriptor(state_->process);
    closeDescriptor(state_->wake[0]);
    closeDescriptor(state_->wake[1]);
}

bool ChildProcess::start(const Launch& launch, std::string* reason) {
    auto fail = [reason](const std::string& text) {
        if (reason != nullptr) *reason = text;
        return false;
    };
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->pid > 0) return fail("already started");
    }
    if (launch.arguments.empty() || launch.arguments[0].empty()) return fail("no program named");
    const std::string program = resolveProgram(launch.arguments[0], launch.directory);
    if (program.empty()) return fail(errorText(ENOENT));

    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int error[2] = {-1, -1};
    if (!makePipe(input) || !makePipe(output) || !makePipe(error)) {
        const int code = errno;
        for (int* ends : {input, output, error}) {
            closeDescriptor(ends[0]);
            closeDescriptor(ends[1]);
        }
        return fail(errorText(code));
    }

    std::vector<char*> argv;
    for (const std::string& argument : launch.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : launch.environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, error[1], 2);
    if (!launch.directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, launch.directory.c_str());
    // Whatever the agent holds open without close-on-exec (sockets, the
    // log) stays behind.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    const int result =
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);

    // The child's ends are the child's; its standard input is at end of
    // file from the start, since nothing is ever written to it.
    closeDescriptor(input[0]);
    closeDescriptor(input[1]);
    closeDescriptor(output[1]);
    closeDescriptor(error[1]);
    if (result != 0) {
        closeDescriptor(output[0]);
        closeDescriptor(error[0]);
        return fail(errorText(result));
    }

    std::lock_guard<std::mutex> guard(state_->lock);
    state_->pid = pid;
    state_->output = output[0];
    state_->error = error[0];
#ifdef SYS_pidfd_open
    // Not reaped yet, so the id names our child. The descriptor is
    // close-on-exec by itself.
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    state_->process = fd >= 0 ? static_cast<int>(fd) : -1;
#endif
    return true;
}

bool ChildProcess::started() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->pid > 0;
}

int ChildProcess::pid() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->pid;
}

ChildProcess::ReadOutcome ChildProcess::read(ChildStream stream, char* buffer, std::size_t size,
                                             int timeoutMs, std::size_t& got) {
    got = 0;
    const int fd = stream == ChildStream::output ? state_->output : state_->error;
    if (fd < 0) return ReadOutcome::end;
    if (state_->woken.load()) return ReadOutcome::interrupted;
    pollfd watched[2] = {{fd, POLLIN, 0}, {state_->wake[0], POLLIN, 0}};
    const int ready = ::poll(watched, state_->wake[0] >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0) return errno == EINTR ? ReadOutcome::timeout : ReadOutcome::failed;
    if (ready == 0) return ReadOutcome::timeout;
    if (state_->woken.load()) return ReadOutcome::interrupted;
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) return ReadOutcome::timeout;
    const ssize_t count = ::read(fd, buffer, size);
    if (count > 0) {
        got = static_cast<std::size_t>(count);
        return ReadOutcome::data;
    }
    if (count == 0) return ReadOutcome::end;
    return errno == EINTR || errno == EAGAIN ? ReadOutcome::timeout : ReadOutcome::failed;
}

bool ChildProcess::hasExited() {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->checkExited();
}

bool ChildProcess::waitForExit(int timeoutMs) {
    if (timeoutMs < 0) timeoutMs = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (hasExited()) return true;
        if (state_->woken.load()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
        if (state_->process >= 0) {
            pollfd watched[2] = {{state_->process, POLLIN, 0}, {state_->wake[0], POLLIN, 0}};
            if (::poll(watched, state_->wake[0] >= 0 ? 2 : 1, left) < 0 && errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(kExitPollMs));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, kExitPollMs)));
        }
    }
}

void ChildProcess::terminateGroup() {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->pid <= 0 || state_->reaped) return;
    // The child leads its own group; an ended child is still a zombie here,
    // so the group id is still ours.
    ::kill(-state_->pid, SIGKILL);
}

void ChildProcess::interrupt() {
    state_->woken.store(true);
    if (state_->wake[1] >= 0) {
        const char byte = 1;
        // Never read back: the pipe stays readable, so every later poll wakes too.
        [[maybe_unused]] ssize_t ignored = ::write(state_->wake[1], &byte, 1);
    }
}

bool ChildProcess::interrupted() const {
    return state_->woken.load();
}

int ChildProcess::reap() {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->pid <= 0) return -1;
    if (state_->reaped) return state_->status;
    ::kill(-state_->pid, SIGKILL);
    int status = 0;
    pid_t collected;
    do {
        collected = ::waitpid(state_->pid, &status, 0);
    } while (collected < 0 && errno == EINTR);
    state_->reaped = state_->exited = true;
    state_->status = collected == state_->pid ? statusCode(status) : -1;
    return state_->status;
}

}  // namespace trellon::platform
