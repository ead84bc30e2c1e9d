// The lab itself: hosts, links, commands and processes in hosts, and that
// everything goes again however a test ends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "support/netlab.h"
#include "support/test_support.h"

namespace trellon::netlab {
namespace {

bool namespaceExists(const std::string& name) {
    return testing::fileExists("/run/netns/" + name);
}

// Processes of a process group that are not zombies.
int livingMembers(pid_t group) {
    int living = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string stat = testing::readFile(entry.path().string() + "/stat");
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        long parent = 0, processGroup = 0;
        if (fields >> state >> parent >> processGroup && processGroup == group && state != "Z")
            ++living;
    }
    return living;
}

TEST(Lab, HostsAreSeparateNetworksWithLoopbackUp) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    EXPECT_NE(a.namespaceName(), b.namespaceName());
    EXPECT_EQ(a.namespaceName().rfind(lab.prefix(), 0), 0u);
    EXPECT_EQ(a.address(), "");

    CommandResult links = a.run("ip -o link show");
    ASSERT_TRUE(links.ok()) << links.output;
    EXPECT_NE(links.output.find("lo: <LOOPBACK,UP"), std::string::npos) << links.output;
    EXPECT_EQ(links.output.find("eth"), std::string::npos)
        << "a host without links has only loopback";

    // A listener in one host is not seen from the other: separate stacks.
    UniqueFd listener = a.openSocket(AF_INET, SOCK_STREAM);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(7001);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    EXPECT_TRUE(a.isListening(7001));
    EXPECT_FALSE(b.isListening(7001));
    CommandResult seen = a.run("ss -ltn");
    EXPECT_NE(seen.output.find("127.0.0.1:7001"), std::string::npos) << seen.output;
    // The same port is free in the other host.
    UniqueFd twin = b.openSocket(AF_INET, SOCK_STREAM);
    EXPECT_EQ(::bind(twin.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
}

TEST(Lab, ADirectLinkJoinsTwoHostsOnTheirOwnSubnet) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    Host c = lab.addHost("c");
    Link ab = lab.connect(a, b);
    Link bc = lab.connect(b, c);
    EXPECT_EQ(ab.addressOf(a), "10.77.1.1");
    EXPECT_EQ(ab.addressOf(b), "10.77.1.2");
    EXPECT_EQ(bc.addressOf(b), "10.77.2.1");
    EXPECT_EQ(bc.addressOf(c), "10.77.2.2");
    EXPECT_EQ(b.address(), "10.77.1.2");
    EXPECT_EQ(b.addresses(), (std::vector<std::string>{"10.77.1.2", "10.77.2.1"}));
    EXPECT_EQ(ab.interfaceOf(b), "eth0");
    EXPECT_EQ(bc.interfaceOf(b), "eth1");
    EXPECT_THROW(ab.addressOf(c), std::logic_error);

    CommandResult ping = a.run("ping -n -c 2 -i 0.05 -W 2 " + b.address());
    EXPECT_TRUE(ping.ok()) << ping.output;
    // No routing between subnets: c is not reachable from a.
    CommandResult unreachable = a.run("ping -n -c 1 -W 1 " + c.address());
    EXPECT_FALSE(unreachable.ok()) << unreachable.output;
    std::string error;
    EXPECT_EQ(a.tcpExchange(b.address(), 7002, "hello", std::chrono::seconds(5), &error), "");
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
}

TEST(Lab, RateLimitersFollowTheLinkSettings) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    LinkOptions tenMbit;
    tenMbit.rateMbit = 10;
    Link direct = lab.connect(a, b, tenMbit);
    for (const Host& host : {a, b}) {
        CommandResult shown = host.run("tc qdisc show dev " + direct.interfaceOf(host));
        EXPECT_NE(shown.output.find("tbf"), std::string::npos) << shown.output;
        EXPECT_NE(shown.output.find("rate 10Mbit"), std::string::npos) << shown.output;
    }

    // On a relayed link the limiter for a to b sits on the middle's b side.
    RelayConfig config;
    config.aToB.rateMbit = 20;
    RelayLink relayed = lab.connectThroughRelay(a, b, config);
    auto middle = [&](const char* side) {
        std::string output;
        testing::runCommand(
            findTool("tc") + " -n " + relayed.middleNamespaceName() + " qdisc show dev " + side,
            &output);
        return output;
    };
    EXPECT_NE(middle("to-b").find("rate 20Mbit"), std::string::npos) << middle("to-b");
    EXPECT_EQ(middle("to-a").find("tbf"), std::string::npos) << middle("to-a");
    config.aToB.rateMbit = 0;
    config.bToA.rateMbit = 5;
    relayed.setConfig(config);
    EXPECT_EQ(middle("to-b").find("tbf"), std::string::npos) << middle("to-b");
    EXPECT_NE(middle("to-a").find("rate 5Mbit"), std::string::npos) << middle("to-a");
    EXPECT_EQ(relayed.config().bToA.rateMbit, 5);
}

TEST(Lab, RejectsBadHostNamesAndLinks) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    EXPECT_THROW(lab.addHost("a"), std::invalid_argument);
    EXPECT_THROW(lab.addHost(""), std::invalid_argument);
    EXPECT_THROW(lab.addHost("Upper"), std::invalid_argument);
    EXPECT_THROW(lab.addHost("a/../../etc"), std::invalid_argument);
    EXPECT_THROW(lab.addHost("abcdefghijklmnopq"), std::invalid_argument);
    EXPECT_THROW(lab.connect(a, a), std::invalid_argument);
}

TEST(Lab, CommandsReportStatusOutputAndTimeouts) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    CommandResult fine = a.run("echo out; echo err >&2; exit 3");
    EXPECT_EQ(fine.status, 3);
    EXPECT_FALSE(fine.timedOut);
    EXPECT_NE(fine.output.find("out"), std::string::npos);
    EXPECT_NE(fine.output.find("err"), std::string::npos);

    auto started = std::chrono::steady_clock::now();
    // The background sleep must die with the shell's group, not outlive the test.
    CommandResult slow = a.run("sleep 30 & sleep 30", std::chrono::milliseconds(300));
    EXPECT_TRUE(slow.timedOut);
    EXPECT_FALSE(slow.ok());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(lab.namespaceNames().size(), 1u);
}

TEST(Lab, AProcessIsStoppedAndReapedAndItsGroupGoesWithIt) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    pid_t shellPid = -1;
    {
        Process shell = a.start({"sh", "-c", "sleep 60 & echo started; wait"});
        shellPid = shell.pid();
        EXPECT_TRUE(shell.running());
        EXPECT_FALSE(shell.waitFor(std::chrono::milliseconds(50)));
        EXPECT_EQ(shell.stop(SIGTERM, std::chrono::seconds(5)), 128 + SIGTERM);
        EXPECT_FALSE(shell.running());
    }
    // Neither the shell nor its background child is left (the group was
    // killed; the child, reparented, may wait a while as a zombie).
    EXPECT_NE(::kill(shellPid, 0), 0);
    bool groupGone = false;
    for (int i = 0; i < 500 && !groupGone; ++i) {
        groupGone = livingMembers(shellPid) == 0;
        if (!groupGone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(groupGone);
    EXPECT_THROW(a.start({"no-such-program-anywhere"}), std::runtime_error);
}

TEST(Lab, EverythingGoesWhenTheLabEnds) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    std::vector<std::string> names;
    pid_t stray = -1;
    {
        Lab lab;
        Host a = lab.addHost("a");
        Host b = lab.addHost("b");
        lab.connect(a, b);
        lab.connectThroughRelay(a, b);
        names = lab.namespaceNames();
        ASSERT_EQ(names.size(), 3u);
        for (const auto& name : names) EXPECT_TRUE(namespaceExists(name)) << name;
        // A process started behind the lab's back (setsid: no Process owns it).
        CommandResult started = b.run("setsid sleep 60 > /dev/null 2>&1 < /dev/null & echo $!");
        ASSERT_TRUE(started.ok()) << started.output;
        stray = static_cast<pid_t>(std::stol(started.output));
        ASSERT_EQ(::kill(stray, 0), 0);
    }
    for (const auto& name : names) EXPECT_FALSE(namespaceExists(name)) << name;
    std::string listed;
    testing::runCommand(findTool("ip") + " netns list", &listed);
    for (const auto& name : names) EXPECT_EQ(listed.find(name), std::string::npos) << listed;
    // Killed (SIGKILL) by the lab; not our child, so only its disappearance shows.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = ::kill(stray, 0) != 0 ||
               testing::readFile("/proc/" + std::to_string(stray) + "/stat").find(") Z") !=
                   std::string::npos;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "process " << stray << " survived the lab";
}

// Leftovers of a run that died: namespaces named after a process that is gone.
TEST(Lab, TheSweepRemovesWhatADeadRunLeftAndSparesLiveRuns) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host mine = lab.addHost("a");
    std::string leftover;
    std::optional<Process> inside;
    {
        // Held while the leftover is staged, so no other run's sweep takes it early.
        SweepLock staging;
        ASSERT_TRUE(staging.held());
        // A process that is gone: a child, looked at as a zombie, then reaped.
        pid_t child = ::fork();
        if (child == 0) ::_exit(0);
        ASSERT_GT(child, 0);
        siginfo_t info{};
        ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
        leftover = processPrefixOf(child) + "9-hdead";
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_EQ(testing::runCommand(findTool("ip") + " netns add " + leftover), 0);
        ASSERT_TRUE(namespaceExists(leftover));
        // Something still running inside it must go too.
        inside.emplace(-1,
                       std::vector<std::string>{"ip", "netns", "exec", leftover, "sleep", "60"});
        bool entered = false;
        for (int i = 0; i < 500 && !entered; ++i) {
            entered =
                std::filesystem::read_symlink("/proc/" + std::to_string(inside->pid()) + "/exe")
                    .filename() == "sleep";
            if (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(entered);

        std::string swept;
        EXPECT_GE(sweepLeftovers(&swept, true), 1);
        EXPECT_NE(swept.find(leftover), std::string::npos) << swept;
        EXPECT_EQ(swept.find(lab.prefix()), std::string::npos)
            << "a live lab's namespaces must survive a sweep";
    }
    EXPECT_FALSE(namespaceExists(leftover));
    EXPECT_EQ(inside->waitFor(std::chrono::seconds(5)), 128 + SIGKILL);
    EXPECT_TRUE(namespaceExists(mine.namespaceName()));
}

// Interrupted runs: SIGINT or SIGTERM to a test process with a lab removes
// its namespaces before it dies.
TEST(Lab, AnInterruptedRunRemovesItsNamespaces) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    for (int signalNumber : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signalNumber);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        if (child == 0) {
            ::close(ready[0]);
            Lab* lab = new Lab;  // never destroyed: only the signal path cleans up
            Host host = lab->addHost("victim");
            std::string name = host.namespaceName() + "\n";
            [[maybe_unused]] auto w = ::write(ready[1], name.data(), name.size());
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        std::string name;
        char c;
        while (::read(ready[0], &c, 1) == 1 && c != '\n') name += c;
        ::close(ready[0]);
        ASSERT_FALSE(name.empty());
        EXPECT_TRUE(namespaceExists(name));
        ::kill(child, signalNumber);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
        EXPECT_FALSE(namespaceExists(name));
    }
}

// Without root the lab tests skip with their reason and the program passes.
TEST(Lab, WithoutRootTheLabTestsSkipAndPass) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("setpriv", "util-linux");
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    // The build folder must be reachable for an unprivileged user.
    if (::access(self.c_str(), X_OK) != 0) GTEST_SKIP() << "cannot run " << self;
    std::string output;
    int status =
        testing::runCommand(findTool("setpriv") + " --reuid=65534 --regid=65534 --clear-groups " +
                                self + " --gtest_filter='Lab.HostsAreSeparate*:Lab.ADirectLink*'",
                            &output);
    if (output.find("Permission denied") != std::string::npos)
        GTEST_SKIP() << "nobody cannot run " << self;
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  SKIPPED ] 2 tests"), std::string::npos) << output;
    EXPECT_NE(output.find("needs root"), std::string::npos) << output;
}

}  // namespace
}  // namespace trellon::netlab
