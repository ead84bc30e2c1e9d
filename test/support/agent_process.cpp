#include "support/agent_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace trellon::testing {

namespace {

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

}  // namespace

AgentProcess::AgentProcess(Options options) : options_(std::move(options)) {}

AgentProcess::~AgentProcess() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        exited_ = true;
    }
    if (::testing::Test::HasFailure()) std::fprintf(stderr, "%s\n", report().c_str());
}

bool AgentProcess::start() {
    std::string bin = TRELLON_BINARY_DIR;
    std::string copy = "cp '" + bin + "/" + options_.program + "' '" + dir_.path() + "/' && cp -r '" + bin +
                       "/htdocs' '" + dir_.path() + "/'";
    if (runCommand(copy) != 0) return false;
    if (options_.writeSettings) {
        std::ofstream settings(settingsPath());
        for (const auto& [name, value] : options_.settings) settings << name << '=' << value << '\n';
    }
    std::vector<std::string> args;
    if (!options_.netns.empty()) {
        args = {"/usr/sbin/ip", "netns", "exec", options_.netns};
    }
    args.push_back(dir_.path() + "/" + options_.program);
    for (const auto& a : options_.arguments) args.push_back(a);

    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        if (::chdir(dir_.path().c_str()) != 0) ::_exit(127);
        int out = ::open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::setenv("TRELLON_SETTINGS", (dir_.path() + "/agent.conf").c_str(), 1);
        // The test runner may have blocked signals; the agent sets its own mask.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return true;
}

std::string AgentProcess::output() const { return readFile(dir_.file("stdout.txt")); }
std::string AgentProcess::errors() const { return readFile(dir_.file("stderr.txt")); }
std::string AgentProcess::log() const { return readFile(dir_.file("htdocs/log.txt")); }

bool AgentProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (output().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline || !running()) return output().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int AgentProcess::countInOutput(const std::string& text) const { return static_cast<int>(countOf(output(), text)); }

bool AgentProcess::signal(int sig) { return pid_ > 0 && !exited_ && ::kill(pid_, sig) == 0; }

bool AgentProcess::running() {
    if (pid_ <= 0 || exited_) return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exited_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

int AgentProcess::waitForExit(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exitCode_;
}

std::string AgentProcess::report() const {
    return "---- agent in " + dir_.path() + " ----\n[stdout]\n" + output() + "[stderr]\n" + errors() +
           "[htdocs/log.txt]\n" + log() + "---- end ----";
}

int freeTcpPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t n = sizeof(a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

int freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int port = freeTcpPort();
        int u = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        ::close(u);
        if (ok) return port;
    }
    return 0;
}

bool canUseNetworkNamespaces(std::string* why) {
    if (::geteuid() != 0) {
        if (why) *why = "needs root to create network namespaces";
        return false;
    }
    if (::access("/usr/sbin/ip", X_OK) != 0) {
        if (why) *why = "the ip tool (iproute2) is not installed";
        return false;
    }
    ScopedNetns probe;
    if (!probe.ok()) {
        if (why) *why = "network namespaces cannot be created here";
        return false;
    }
    return true;
}

ScopedNetns::ScopedNetns() {
    static std::atomic<int> counter{0};
    name_ = "trl-it-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    ok_ = runCommand("ip netns add " + name_) == 0 && runCommand("ip -n " + name_ + " link set lo up") == 0;
}

ScopedNetns::~ScopedNetns() { runCommand("ip netns del " + name_); }

int ScopedNetns::run(const std::string& command, std::string* output) const {
    return runCommand("ip netns exec " + name_ + " sh -c '" + command + "'", output);
}

}  // namespace trellon::testing
