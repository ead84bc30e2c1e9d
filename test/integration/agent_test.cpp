// The real trellon binary: start-up messages, stop signals, the install
// switches and the data-sink listener.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "lib/socket.h"
#include "support/agent_process.h"
#include "support/http_client.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

// Every port chosen by the system, so agents never collide with anything.
AgentProcess::Options anyPorts() {
    AgentProcess::Options o;
    o.settings = {{"controlPort", "0"}, {"serverTcpPort", "0"}, {"reflectorResponsePort", "0"},
                  {"streamDestinationUdpPort", "0"}};
    return o;
}

int chosenPort(const std::string& output, const std::string& what) {
    std::smatch m;
    std::regex pattern("Windows chose port ([0-9]+) for " + what);
    return std::regex_search(output, m, pattern) ? std::stoi(m[1]) : -1;
}

TEST(AgentProcessTest, StartsLogsAndStopsOnSigint) {
    AgentProcess agent(anyPorts());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("for TCP bandwidth test port.", 15s));
    for (const char* line : {"TRL agent start\n", "Starting Trellon version 3.2\n", "Initialize agent\n",
                             "About to get host name.  This invokes the Windows socket DNS calls which in turn\n",
                             "may cause any security code present (Windows, Norton, Symantec) to block.\n",
                             "If Trellon is not starting and this is the last message in the file then this is "
                             "your problem.\n",
                             "Network access succeeded.\n", "Parameters:\n"}) {
        EXPECT_NE(agent.output().find(line), std::string::npos) << line;
    }
    EXPECT_NE(agent.log().find("Starting Trellon version 3.2\n"), std::string::npos);
    EXPECT_EQ(agent.log().find("Parameters:"), std::string::npos);  // console only

    auto stopAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(agent.signal(SIGINT));
    EXPECT_EQ(agent.waitForExit(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 10s);
    EXPECT_NE(agent.log().find("Exit signal handler invoked\n"), std::string::npos);
    EXPECT_NE(agent.log().find("Server shutdown requested\n"), std::string::npos);
    EXPECT_NE(agent.log().find("Server shutdown finished\n"), std::string::npos);
    EXPECT_NE(agent.output().find("All threads shut down gracefully.\n"), std::string::npos);
}

TEST(AgentProcessTest, SecondSignalWhileStoppingIsLoggedButStopsOnce) {
    AgentProcess agent(anyPorts());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("for TCP bandwidth test port.", 15s));
    ASSERT_TRUE(agent.signal(SIGINT));
    ASSERT_TRUE(agent.waitForOutput("Server shutdown requested", 10s));
    ASSERT_TRUE(agent.signal(SIGTERM));
    EXPECT_EQ(agent.waitForExit(10s), 0);
    EXPECT_EQ(agent.countInOutput("Exit signal handler invoked\n"), 2);
    EXPECT_EQ(agent.countInOutput("Issue stop command to server threads\n"), 1);
    EXPECT_EQ(agent.countInOutput("Server shutdown finished\n"), 1);
}

TEST(AgentProcessTest, SighupAlsoStopsTheAgent) {
    AgentProcess agent(anyPorts());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("for TCP bandwidth test port.", 15s));
    ASSERT_TRUE(agent.signal(SIGHUP));
    EXPECT_EQ(agent.waitForExit(10s), 0);
    EXPECT_NE(agent.log().find("Server shutdown finished\n"), std::string::npos);
}

TEST(AgentProcessTest, InstallSwitchesWriteAndRemoveTheSettings) {
    AgentProcess::Options o;
    o.settings = {{"controlPort", "5000"}, {"name", "keeper"}};
    o.arguments = {"-i"};
    AgentProcess install(o);
    ASSERT_TRUE(install.start());
    ASSERT_EQ(install.waitForExit(30s), 0);
    std::string settings = readFile(install.settingsPath());
    EXPECT_NE(settings.find("controlPort=4044\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("serverTcpPort=4045\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("name=keeper\n"), std::string::npos) << settings;
    std::string log = install.log();
    EXPECT_EQ(log.rfind("installing in working directory:\n", 0), 0u) << log;  // the log was emptied first
    EXPECT_NE(log.find("Added value controlPort = 4044\n"), std::string::npos);
    EXPECT_NE(log.find("install completed, not started yet.\n"), std::string::npos);
    EXPECT_EQ(log.find("TRL agent start"), std::string::npos);  // no run mode

    o.arguments = {"-u"};
    AgentProcess uninstall(o);
    ASSERT_TRUE(uninstall.start());
    ASSERT_EQ(uninstall.waitForExit(30s), 0);
    EXPECT_FALSE(fileExists(uninstall.settingsPath()));
    EXPECT_NE(uninstall.log().find("Registry update success: Removed old registry key "), std::string::npos);
    EXPECT_EQ(uninstall.log().rfind("uninstalling ostrand\n", 0), 0u);

    o.arguments = {"-r"};
    AgentProcess reinstall(o);
    ASSERT_TRUE(reinstall.start());
    ASSERT_EQ(reinstall.waitForExit(30s), 0);
    log = reinstall.log();
    std::size_t removed = log.find("Registry update success: Removed old registry key ");
    std::size_t added = log.find("Added value controlPort = 4044\n");
    ASSERT_NE(removed, std::string::npos) << log;
    ASSERT_NE(added, std::string::npos) << log;
    EXPECT_LT(removed, added);  // uninstall first, then install
    EXPECT_NE(readFile(reinstall.settingsPath()).find("controlPort=4044\n"), std::string::npos);
}

TEST(AgentProcessTest, OtherArgumentsRunTheAgent) {
    for (std::vector<std::string> args : {std::vector<std::string>{"-x"}, {"-i", "extra"}}) {
        AgentProcess::Options o = anyPorts();
        o.arguments = args;
        AgentProcess agent(o);
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForOutput("TRL agent start", 15s)) << args[0];
        agent.signal(SIGINT);
        EXPECT_EQ(agent.waitForExit(10s), 0);
    }
}

TEST(AgentProcessTest, DataSinkListensOnTheConfiguredOrChosenPort) {
    int configured = freePort();
    ASSERT_GT(configured, 0);
    for (int port : {configured, 0}) {
        AgentProcess::Options o = anyPorts();
        o.settings["serverTcpPort"] = std::to_string(port);
        AgentProcess agent(o);
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForOutput("for TCP bandwidth test port.", 15s));
        int bound = chosenPort(agent.output(), "TCP bandwidth test port");
        if (port != 0) {
            EXPECT_EQ(bound, port);
        }
        ASSERT_GT(bound, 0);
        TimeoutSocket client(2000);
        EXPECT_TRUE(client.Connect("127.0.0.1", bound, 0));
        if (::access("/usr/bin/nc", X_OK) == 0) {
            EXPECT_EQ(runCommand("nc -z -w 2 127.0.0.1 " + std::to_string(bound)), 0);
        }
        auto stopAt = std::chrono::steady_clock::now();
        agent.signal(SIGINT);
        EXPECT_EQ(agent.waitForExit(10s), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 10s);
    }
}

TEST(AgentProcessTest, TakenControlPortIsRetriedEveryTenSeconds) {
    // Another agent holds the control port: the second cannot bind it and
    // keeps retrying, each attempt numbered, until it is stopped.
    int controlPort = freePort();
    AgentProcess::Options o = anyPorts();
    o.settings["controlPort"] = std::to_string(controlPort);
    AgentProcess holder(o);
    ASSERT_TRUE(holder.start());
    ASSERT_TRUE(holder.waitForOutput("accept() start.", 15s));

    AgentProcess second(o);
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(second.waitForOutput("Error recovery started, retrying 1\n", 20s));
    auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(second.waitForOutput("Error recovery started, retrying 2\n", 20s));
    auto gap = std::chrono::steady_clock::now() - first;
    EXPECT_GE(gap, 9500ms);
    EXPECT_LE(gap, 12000ms);
    EXPECT_NE(second.errors().find("HTTP server socket bind failed."), std::string::npos) << second.errors();
    EXPECT_NE(second.errors().find("Address already in use"), std::string::npos);

    // A stop during the wait ends it at once.
    auto stopAt = std::chrono::steady_clock::now();
    second.signal(SIGINT);
    EXPECT_EQ(second.waitForExit(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 6s);
    holder.signal(SIGINT);
    EXPECT_EQ(holder.waitForExit(10s), 0);

    // Restarted on the same port right away, the agent binds at once even
    // though the closed connections of the first one sit in TIME_WAIT.
    AgentProcess again(o);
    ASSERT_TRUE(again.start());
    ASSERT_TRUE(again.waitForOutput("accept() start.", 15s));
    EXPECT_EQ(again.output().find("Error recovery started"), std::string::npos);
    again.signal(SIGINT);
    EXPECT_EQ(again.waitForExit(10s), 0);
}

TEST(AgentProcessTest, StatusAnswersTheActualPortsWithoutHeaders) {
    int controlPort = freePort();
    AgentProcess::Options o = anyPorts();
    o.settings["controlPort"] = std::to_string(controlPort);
    o.settings["streamDestinationUdpPort"] = "4046";
    AgentProcess agent(o);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("accept() start.", 15s));
    int sink = chosenPort(agent.output(), "TCP bandwidth test port");
    int reflector = chosenPort(agent.output(), "response time packet reflector port");
    ASSERT_GT(sink, 0);
    ASSERT_GT(reflector, 0);
    HttpReply reply = httpExchange(controlPort, "GET /status HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.raw, "3.2\r\nready\r\n" + std::to_string(sink) + "\r\n4046\r\n" + std::to_string(reflector) +
                             "\r\n0\r\n");
    agent.signal(SIGINT);
    EXPECT_EQ(agent.waitForExit(10s), 0);
}

TEST(AgentProcessTest, DefaultPortsInsideANetworkNamespace) {
    std::string why;
    if (!canUseNetworkNamespaces(&why)) GTEST_SKIP() << "skipped: " << why;
    ScopedNetns ns;
    AgentProcess::Options o;
    o.writeSettings = false;  // no settings file: every default
    o.netns = ns.name();
    AgentProcess agent(o);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("for TCP bandwidth test port.", 15s));
    EXPECT_EQ(chosenPort(agent.output(), "TCP bandwidth test port"), 4045);
    EXPECT_EQ(chosenPort(agent.output(), "response time packet reflector port"), 4047);
    EXPECT_EQ(ns.run("nc -z -w 2 127.0.0.1 4045"), 0);
    agent.signal(SIGINT);
    EXPECT_EQ(agent.waitForExit(10s), 0);
}

}  // namespace
}  // namespace trellon::testing
