// The child-process layer: command lines split without a shell, and a child
// that starts clean (signals, descriptors, environment, folder, its own
// group), whose group ends as one, and whose waits can be woken.
#include "platform/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace trellon::platform {
namespace {

using namespace std::chrono_literals;
using Outcome = ChildProcess::ReadOutcome;

TEST(SplitCommandLineTest, BlanksSeparateQuotesGroupAndBackslashEscapesAQuote) {
    struct Case {
        const char* line;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"ping -c 4 host", {"ping", "-c", "4", "host"}},
        {"  a\t\tb  ", {"a", "b"}},
        {"echo \"two words\" x", {"echo", "two words", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"say \\\"hi\\\"", {"say", "\"hi\""}},
        {"path C:\\dir\\file", {"path", "C:\\dir\\file"}},
        {"end\\\\ x", {"end\\", "x"}},
        {"empty \"\" arg", {"empty", "", "arg"}},
        {"unclosed \"a b", {"unclosed", "a b"}},
        {"semi;colon | pipe $(x)", {"semi;colon", "|", "pipe", "$(x)"}},
    };
    for (const Case& c : cases) EXPECT_EQ(splitCommandLine(c.line), c.arguments) << c.line;
}

// Everything one stream says until it ends (bounded by a deadline).
std::string readAll(ChildProcess& child, ChildStream stream, std::chrono::seconds limit = 10s) {
    std::string text;
    char buffer[256];
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::size_t got = 0;
        Outcome outcome = child.read(stream, buffer, sizeof(buffer), 200, got);
        if (outcome == Outcome::data) text.append(buffer, got);
        if (outcome == Outcome::end || outcome == Outcome::failed ||
            outcome == Outcome::interrupted)
            break;
    }
    return text;
}

ChildProcess::Launch shell(const std::string& script, std::vector<std::string> environment = {},
                           std::string directory = "/") {
    return {{"/bin/sh", "-c", script}, std::move(environment), std::move(directory)};
}

TEST(ChildProcessTest, BothStreamsTheExitStatusAndExactlyTheGivenEnvironmentAndFolder) {
    ChildProcess child;
    std::string reason;
    ASSERT_TRUE(child.start(shell("echo out; echo err >&2; pwd; /usr/bin/env; exit 3",
                                  {"ONE=1", "TWO=two words"}, "/usr"),
                            &reason))
        << reason;
    EXPECT_TRUE(child.started());
    const std::string output = readAll(child, ChildStream::output);
    EXPECT_EQ(readAll(child, ChildStream::error), "err\n");
    EXPECT_TRUE(child.waitForExit(10000));
    EXPECT_EQ(child.reap(), 3);
    // The shell adds PWD (and may add others of its own); nothing of ours.
    std::istringstream lines(output);
    std::string line;
    std::vector<std::string> seen;
    while (std::getline(lines, line)) seen.push_back(line);
    ASSERT_GE(seen.size(), 2u) << output;
    EXPECT_EQ(seen[0], "out");
    EXPECT_EQ(seen[1], "/usr");
    bool one = false, two = false;
    for (std::size_t i = 2; i < seen.size(); ++i) {
        one = one || seen[i] == "ONE=1";
        two = two || seen[i] == "TWO=two words";
        EXPECT_EQ(seen[i].find("PATH="), std::string::npos) << "inherited: " << seen[i];
        EXPECT_EQ(seen[i].find("HOME="), std::string::npos) << "inherited: " << seen[i];
    }
    EXPECT_TRUE(one && two) << output;
}

// The agent blocks its stop signals and ignores SIGPIPE, and holds sockets
// and files without close-on-exec: the child must inherit none of it.
TEST(ChildProcessTest, ChildStartsWithCleanSignalsNoInheritedDescriptorsAndItsOwnGroup) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    struct sigaction ignore {
    }, before{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &before), 0);
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);  // no close-on-exec, as the agent's
    const int file = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(socket, 0);
    ASSERT_GE(file, 0);

    // Each program reports on itself: a shell would show its own state (it
    // blocks signals around its forks), not what it was started with.
    auto run = [](std::vector<std::string> arguments) {
        ChildProcess child;
        std::string reason;
        if (!child.start({std::move(arguments), {}, "/"}, &reason)) return "failed: " + reason;
        return readAll(child, ChildStream::output);
    };
    const std::string status = run({"grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"});
    const std::string descriptors = run({"ls", "-l", "/proc/self/fd"});
    std::string stat;
    ChildProcess statChild;
    std::string reason;
    const bool started = statChild.start({{"cat", "/proc/self/stat"}, {}, "/"}, &reason);
    if (started) stat = readAll(statChild, ChildStream::output);
    ::close(socket);
    ::close(file);
    sigaction(SIGPIPE, &before, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(started) << reason;

    EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"), std::string::npos) << status;
    // Signals 1 to 31 at their defaults (SIGPIPE among them). glibc's
    // spawn leaves its two internal real-time signals (32, 33) ignored; a
    // program's C library installs its own handlers for those.
    const std::size_t ignoredAt = status.find("SigIgn:\t");
    ASSERT_NE(ignoredAt, std::string::npos) << status;
    const unsigned long long ignored = std::stoull(status.substr(ignoredAt + 8), nullptr, 16);
    EXPECT_EQ(ignored & 0x7fffffffULL, 0u) << status;

    // 0 to 2 are the pipes; 3 is the folder ls itself reads.
    std::istringstream lines(descriptors);
    std::string line;
    std::vector<std::string> open;
    while (std::getline(lines, line)) {
        const std::size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        const std::size_t number = line.rfind(' ', arrow - 1);
        const std::string fd = line.substr(number + 1, arrow - number - 1);
        const std::string target = line.substr(arrow + 4);
        open.push_back(fd);
        if (fd == "3")
            EXPECT_EQ(target.rfind("/proc/", 0), 0u) << line;
        else
            EXPECT_EQ(target.rfind("pipe:", 0), 0u) << line;
    }
    EXPECT_EQ(open, (std::vector<std::string>{"0", "1", "2", "3"})) << descriptors;

    // "pid (cat) state ppid pgrp ...": the child leads a group of its own.
    std::istringstream fields(stat);
    std::string pid, name, state, parent, group;
    fields >> pid >> name >> state >> parent >> group;
    EXPECT_EQ(pid, std::to_string(statChild.pid())) << stat;
    EXPECT_EQ(group, pid) << stat;
}

TEST(ChildProcessTest, StandardInputIsAtEndOfFile) {
    ChildProcess child;
    std::string reason;
    ASSERT_TRUE(child.start({{"cat"}, {}, "/"}, &reason)) << reason;
    EXPECT_EQ(readAll(child, ChildStream::output, 5s), "");
    EXPECT_TRUE(child.waitForExit(5000)) << "cat waits for input it will never get";
    EXPECT_EQ(child.reap(), 0);
}

TEST(ChildProcessTest, ProgramsAreFoundRelativeToTheFolderOrInThePathOrNotAtAll) {
    char folder[] = "/tmp/trellon-child-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string script = std::string(folder) + "/hello.sh";
    std::ofstream(script) << "#!/bin/sh\necho hello \"$1\"\n";
    ::chmod(script.c_str(), 0755);
    {
        ChildProcess child;
        std::string reason;
        ASSERT_TRUE(child.start({{"./hello.sh", "a b"}, {}, folder}, &reason)) << reason;
        EXPECT_EQ(readAll(child, ChildStream::output), "hello a b\n");
    }
    {
        ChildProcess child;
        std::string reason;
        ASSERT_TRUE(child.start({{"echo", "from", "path"}, {}, folder}, &reason)) << reason;
        EXPECT_EQ(readAll(child, ChildStream::output), "from path\n");
    }
    for (const ChildProcess::Launch& launch :
         {ChildProcess::Launch{{"no-such-program-anywhere"}, {}, folder},
          ChildProcess::Launch{{"./missing.sh"}, {}, folder},
          ChildProcess::Launch{{""}, {}, folder}, ChildProcess::Launch{{}, {}, folder},
          ChildProcess::Launch{{"/bin/sh"}, {}, std::string(folder) + "/no-folder"}}) {
        ChildProcess child;
        std::string reason;
        EXPECT_FALSE(child.start(launch, &reason)) << launch.arguments.size();
        EXPECT_FALSE(reason.empty());
        EXPECT_FALSE(child.started());
        EXPECT_EQ(child.reap(), -1);
    }
    std::remove(script.c_str());
    ::rmdir(folder);
}

// A process that is gone or a zombie: what a killed one becomes.
bool ended(int pid) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close + 1, 3, " Z ") == 0;
}

TEST(ChildProcessTest, TerminatingTheGroupEndsTheChildAndWhatItStarted) {
    ChildProcess child;
    std::string reason;
    ASSERT_TRUE(child.start(shell("sleep 60 & echo $!; wait"), &reason)) << reason;
    std::string line;
    char buffer[64];
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::size_t got = 0;
        if (child.read(ChildStream::output, buffer, sizeof(buffer), 200, got) == Outcome::data)
            line.append(buffer, got);
    }
    const int grandchild = std::atoi(line.c_str());
    ASSERT_GT(grandchild, 0) << line;
    EXPECT_FALSE(child.hasExited());
    EXPECT_FALSE(child.waitForExit(50));

    child.terminateGroup();
    EXPECT_TRUE(child.waitForExit(5000));
    EXPECT_TRUE(child.hasExited());
    EXPECT_EQ(child.reap(), 128 + SIGKILL);
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!ended(grandchild) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(ended(grandchild)) << "the grandchild " << grandchild << " outlived the group";
    child.terminateGroup();  // reaped: nothing is signalled any more
}

TEST(ChildProcessTest, InterruptWakesReadsAndWaitsAtOnceAndForGood) {
    ChildProcess child;
    std::string reason;
    ASSERT_TRUE(child.start(shell("sleep 30"), &reason)) << reason;
    Outcome outcome = Outcome::timeout;
    std::thread reader([&] {
        char buffer[16];
        std::size_t got = 0;
        outcome = child.read(ChildStream::output, buffer, sizeof(buffer), 20000, got);
    });
    const auto before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(50ms);  // let the reader block (not needed for correctness)
    child.interrupt();
    reader.join();
    EXPECT_EQ(outcome, Outcome::interrupted);
    EXPECT_FALSE(child.waitForExit(20000));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_TRUE(child.interrupted());
    // The destructor ends the sleeping child.
}

}  // namespace
}  // namespace trellon::platform
