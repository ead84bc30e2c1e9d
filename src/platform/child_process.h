// Child processes for the plug-ins: one program started with its standard
// input, output and error on pipes, in a folder of our choosing, with exactly
// the environment we give it, in a process group of its own so that it can
// be ended together with everything it started.
//
// No shell is involved anywhere: a command line is split into arguments here
// (splitCommandLine) and the program is executed with that argument vector.
// Callers substitute user text into single arguments after splitting, so no
// user text can become another argument, let alone another command.
//
// The child starts clean: every signal at its default action and none
// blocked (the agent blocks its stop signals and ignores SIGPIPE), and no
// descriptor of the agent open but its three pipes (the agent's sockets and
// log are not all close-on-exec). Its standard input is at end of file.
//
// Threads: one thread may read each output stream while another waits for
// the end; interrupt() and terminateGroup() may come from any thread. The
// child is reaped only by reap() or the destructor, so its process id (and
// with it the group id) cannot be reused while this object may still signal
// it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace trellon::platform {

// Blanks and TABs separate arguments; double quotes group blanks into one
// argument and are dropped; \" is a literal quote and \\ one backslash; any
// other backslash is itself. An empty pair of quotes is an empty argument.
std::vector<std::string> splitCommandLine(const std::string& line);

// This process's environment, one "name=value" entry each, in order.
std::vector<std::string> processEnvironment();

enum class ChildStream { output, error };

class ChildProcess {
public:
    struct Launch {
        // The program first. A name with a "/" is taken relative to the
        // directory; a bare name is looked up in this process's PATH (never
        // in the child's environment, which may come from a form).
        std::vector<std::string> arguments;
        std::vector<std::string> environment;  // "name=value", all the child gets
        std::string directory;                 // the child's working directory
    };

    enum class ReadOutcome { data, end, timeout, interrupted, failed };

    ChildProcess();
    ~ChildProcess();  // ends the group, reaps the child, closes the pipes

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program once; false with the system's reason in *reason
    // when it could not be started (nothing is left running then).
    bool start(const Launch& launch, std::string* reason);
    bool started() const;
    int pid() const;

    // Up to size bytes of one stream, waiting at most timeoutMs for them.
    // end: the stream is closed (every writer has exited or closed it).
    ReadOutcome read(ChildStream stream, char* buffer, std::size_t size, int timeoutMs,
                     std::size_t& got);

    // Whether the child has ended (it is not reaped by asking).
    bool hasExited();
    // Waits up to timeoutMs for the end of the child; false at the time-out
    // or after interrupt().
    bool waitForExit(int timeoutMs);

    // SIGKILL to the child's whole process group, unless it is reaped.
    void terminateGroup();
    // Wakes every read and wait, now and from now on.
    void interrupt();
    bool interrupted() const;

    // Ends the group and collects the child; its exit status afterwards
    // (exit code, or 128 + the signal that ended it; -1 when never started).
    int reap();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace trellon::platform
