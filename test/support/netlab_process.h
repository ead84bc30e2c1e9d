// Programs started inside a lab host's network namespace.
//
// A Process is the only owner of its child: the destructor kills the child's
// process group (SIGKILL) if it still runs and reaps it, so no test leaves a
// process behind. The child leads its own process group (a shell's children
// go with it) and dies with the thread that started it (PR_SET_PDEATHSIG).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace trellon::netlab {

struct ProcessOptions {
    std::string workingDirectory;          // empty: this process's
    std::vector<std::string> environment;  // extra or replaced NAME=value entries
    std::string outputPath;  // stdout and stderr; empty: a temporary file removed with the Process
    bool inheritStdio = false;  // keep this process's stdin, stdout and stderr (output() is empty)
};

class Process {
public:
    // Starts argv (argv[0] looked up in PATH) in the network namespace open at
    // nsFd (-1: this process's). Throws std::runtime_error when it cannot start.
    Process(int nsFd, std::vector<std::string> argv, ProcessOptions options = {});
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();

    // Waits for the exit; its status (exit code, or 128 + signal), or nothing
    // when the timeout passed first.
    std::optional<int> waitFor(std::chrono::milliseconds timeout);

    // Sends signalNumber, waits up to grace, then SIGKILL to the group. Returns the status.
    int stop(int signalNumber, std::chrono::milliseconds grace);

    void signal(int signalNumber) const;
    std::string output() const;
    const std::string& outputPath() const { return outputPath_; }

private:
    void release();

    pid_t pid_ = -1;
    int pidFd_ = -1;
    std::optional<int> status_;
    std::string outputPath_;
    bool ownsOutput_ = false;
};

struct CommandResult {
    int status = -1;        // exit code, 128 + signal, or -1 when it did not start
    bool timedOut = false;  // killed at the timeout
    std::string output;     // stdout and stderr together

    bool ok() const { return status == 0 && !timedOut; }
};

// Runs a /bin/sh command line in the namespace at nsFd and collects its output;
// kills it (and its process group) at the timeout.
CommandResult runShell(int nsFd, const std::string& commandLine, std::chrono::milliseconds timeout);

}  // namespace trellon::netlab
