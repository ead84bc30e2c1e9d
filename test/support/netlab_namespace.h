// Named network namespaces for the test network lab, and the clean-up that
// removes them again however a test run ends.
//
// Every namespace this process creates is called
// "trl-<pid>-<process start time>-<lab>-<role>", so parallel runs never
// collide and a later run can tell leftovers of a dead run from namespaces of
// a live one (sweepLeftovers). The names of live namespaces and the PIDs of the
// children started in them sit in a fixed table that a signal handler (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGABRT, when their disposition was the default)
// uses to kill the children and unmount the namespaces before the process
// dies; children also get SIGKILL through PR_SET_PDEATHSIG when the thread that
// started them ends (so start them from a thread that outlives them, normally
// the test's main thread). A SIGKILL of the test process leaves the namespace
// files behind; the sweep at the next Lab construction removes them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace trellon::netlab {

// Why the lab cannot run here (not root, no namespaces, no iproute2), or empty
// when it can. Checked once per process.
std::string unavailableReason();

// Full path of a program found in PATH or the usual sbin folders, or empty.
std::string findTool(const std::string& name);

// Runs fn on a short-lived thread that has joined the network namespace open
// at nsFd; sockets made there stay in that namespace after the thread ends.
// An exception thrown by fn is rethrown here.
void inNamespace(int nsFd, const std::function<void()>& fn);

// Writes a /proc/sys/net value as seen from inside the namespace.
void writeSysctl(int nsFd, const std::string& path, const std::string& value);

// Runs an ip/tc command line (program and arguments, split at spaces) in the
// root namespace; throws std::runtime_error with its output when it fails.
void runTool(const std::string& commandLine);

// "trl-<pid>-<start time>-": the prefix of every namespace of this process,
// and of another (live or zombie) process.
std::string processPrefix();
std::string processPrefixOf(pid_t pid);

// Removes namespaces of this lab's naming scheme whose owning process is
// gone (killing what still runs inside them, by PID). Returns how many it
// removed; names them in *report when given. Takes the SweepLock unless the
// caller holds it already.
int sweepLeftovers(std::string* report = nullptr, bool lockHeld = false);

// Held by every sweep (an flock on /tmp/trellon-netlab-sweep.lock, waited for
// up to a few seconds): one sweeper at a time, and a test can stage a
// leftover without another run's sweep taking it first.
class SweepLock {
public:
    SweepLock();
    ~SweepLock();
    SweepLock(const SweepLock&) = delete;
    SweepLock& operator=(const SweepLock&) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

// The interrupt path's table of children; a Process registers itself.
void registerChild(pid_t pid);
void unregisterChild(pid_t pid);

// One named network namespace (/run/netns/<name>) with loopback up. The
// destructor kills every process still inside (by PID) and deletes it.
class NetNamespace {
public:
    explicit NetNamespace(std::string name);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    const std::string& name() const { return name_; }
    int fd() const { return fd_; }

    // SIGKILL to every process whose network namespace this is; returns how many.
    int killProcesses() const;

private:
    std::string name_;
    int fd_ = -1;
};

}  // namespace trellon::netlab
