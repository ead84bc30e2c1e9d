// The real trellon binary against what should never get through: signals that
// would leave it unstoppable, stop signals in the install modes, the password
// in its log and console, and settings values that make no sense.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_process.h"
#include "support/http_client.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kReady = "for TCP bandwidth test port.";

AgentProcess::Options anyPorts() {
    AgentProcess::Options o;
    o.settings = {{"controlPort", "0"},
                  {"serverTcpPort", "0"},
                  {"reflectorResponsePort", "0"},
                  {"streamDestinationUdpPort", "0"}};
    return o;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

TEST(AgentSignalsTest, OutsideWakeSignalLeavesTheStopSignalsWorking) {
    // SIGUSR2 is what the agent wakes its own signal thread with; one from
    // outside must not end that thread and leave SIGTERM without a taker.
    AgentProcess agent(anyPorts());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput(kReady, 15s));
    ASSERT_TRUE(agent.signal(SIGUSR2));
    ASSERT_TRUE(agent.signal(SIGUSR2));
    ASSERT_TRUE(agent.signal(SIGTERM));
    EXPECT_EQ(agent.waitForExit(10s), 0);
    EXPECT_NE(agent.log().find("Exit signal handler invoked\n"), std::string::npos);
    EXPECT_NE(agent.log().find("Server shutdown finished\n"), std::string::npos);
}

TEST(AgentSignalsTest, InstallDoesNotHangOnAPortWhoseHandshakesAreDropped) {
    // The install probes the standard ports with a one-second time-out: a
    // firewall that drops the handshake must not hold it for minutes.
    std::string why;
    if (!canUseNetworkNamespaces(&why)) GTEST_SKIP() << "skipped: " << why;
    ScopedNetns ns;
    ASSERT_TRUE(ns.ok());
    if (ns.run("iptables -A INPUT -p tcp --dport 4044:4045 -j DROP") != 0)
        GTEST_SKIP() << "skipped: iptables cannot drop packets in a namespace here";
    AgentProcess::Options o;
    o.arguments = {"-i"};
    o.netns = ns.name();
    AgentProcess install(o);
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(install.start());
    EXPECT_EQ(install.waitForExit(15s), 0) << install.report();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

TEST(AgentSignalsTest, StopSignalDuringInstallEndsItWithNothingHalfWritten) {
    // The port probe of an install connects to 4044; in a namespace that
    // drops those connection attempts it waits for a long time, which is
    // where a user presses Ctrl+C.
    std::string why;
    if (!canUseNetworkNamespaces(&why)) GTEST_SKIP() << "skipped: " << why;
    struct Case {
        const char* mode;
        int sig;
        bool settingsRemain;  // -r removes them before it installs
    };
    for (const Case& c : {Case{"-i", SIGINT, true}, Case{"-r", SIGTERM, false}}) {
        SCOPED_TRACE(c.mode);
        ScopedNetns ns;
        ASSERT_TRUE(ns.ok());
        if (ns.run("iptables -A INPUT -p tcp --dport 4044 -j DROP") != 0) {
            GTEST_SKIP() << "skipped: iptables cannot drop packets in a namespace here";
        }
        AgentProcess::Options o;
        o.settings = {{"name", "keeper"}};
        o.arguments = {c.mode};
        o.netns = ns.name();
        AgentProcess install(o);
        std::string before = "name=keeper\n";
        ASSERT_TRUE(install.start());
        // -r reads the settings once to remove them and again to install:
        // the signal belongs in the install's port probe, after that reading.
        auto inProbe = [&install] {
            std::string out = install.output();
            std::size_t at = out.find("installing in working directory:");
            return at != std::string::npos && out.find("Network access succeeded.", at) != std::string::npos;
        };
        for (int i = 0; i < 750 && !inProbe(); ++i) std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(inProbe()) << install.output();
        auto stopAt = std::chrono::steady_clock::now();
        ASSERT_TRUE(install.signal(c.sig));
        // Ended by the signal itself: no exit code, and well before the probe
        // would have given up.
        EXPECT_EQ(install.waitForExit(5s), -1);
        EXPECT_FALSE(install.running());
        EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 5s);
        EXPECT_NE(install.log().find("Exit signal handler invoked\n"), std::string::npos);
        EXPECT_EQ(install.log().find("install completed"), std::string::npos);
        if (c.settingsRemain) {
            EXPECT_EQ(readFile(install.settingsPath()), before);
        } else {
            EXPECT_FALSE(fileExists(install.settingsPath()));
        }
        for (const std::string& name : filesIn(install.folder())) {
            EXPECT_EQ(name.find("agent.conf."), std::string::npos) << name;
        }
        for (const std::string& name : filesIn(install.folder() + "/htdocs")) {
            EXPECT_EQ(name.find(".new"), std::string::npos) << name;
        }
    }
}

TEST(AgentSecretsTest, PasswordNeverReachesTheLogOrTheConsole) {
    const std::string secret = "Zq7-secret-Wx";
    AgentProcess::Options o = anyPorts();
    int controlPort = freePort();
    o.settings["controlPort"] = std::to_string(controlPort);
    o.settings["password"] = secret;  // log-in off, so /log.txt is open to anyone
    AgentProcess agent(o);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("accept() start.", 15s));
    HttpReply reply = httpExchange(controlPort, "GET /log.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.status(), 200) << reply.raw;
    EXPECT_NE(reply.body().find("Network access succeeded."), std::string::npos) << reply.raw;
    EXPECT_EQ(reply.raw.find(secret), std::string::npos);
    EXPECT_NE(agent.output().find("  password = ********\n"), std::string::npos) << agent.output();
    agent.signal(SIGINT);
    EXPECT_EQ(agent.waitForExit(10s), 0);
    EXPECT_EQ(agent.output().find(secret), std::string::npos);
    EXPECT_EQ(agent.errors().find(secret), std::string::npos);
    EXPECT_EQ(agent.log().find(secret), std::string::npos);

    // The install logs every value it stores, the password only masked; the
    // settings file still holds it.
    for (const std::string& password : {secret, std::string()}) {
        AgentProcess::Options i;
        i.settings = {{"password", password}};
        i.arguments = {"-i"};
        AgentProcess install(i);
        ASSERT_TRUE(install.start());
        ASSERT_EQ(install.waitForExit(30s), 0);
        std::string shown = password.empty() ? "" : "********";
        EXPECT_NE(install.log().find("Added value password = " + shown + "\n"), std::string::npos)
            << install.log();
        EXPECT_NE(install.output().find("  password = " + shown + "\n"), std::string::npos);
        if (!password.empty()) {
            EXPECT_EQ(install.log().find(secret), std::string::npos);
            EXPECT_EQ(install.output().find(secret), std::string::npos);
        }
        EXPECT_NE(readFile(install.settingsPath()).find("password=" + password + "\n"),
                  std::string::npos);
    }
}

TEST(AgentSettingsCheckTest, OutOfRangeControlPortIsReportedAndTheDefaultUsed) {
    // 70000 used to wrap to 4464 silently. The default port needs a namespace.
    std::string why;
    if (!canUseNetworkNamespaces(&why)) GTEST_SKIP() << "skipped: " << why;
    ScopedNetns ns;
    ASSERT_TRUE(ns.ok());
    AgentProcess::Options o = anyPorts();
    o.settings["controlPort"] = "70000";
    o.settings["testLogSize"] = "-3";
    o.settings["bandwidthTimeLimit"] = "10 minutes";
    o.netns = ns.name();
    AgentProcess agent(o);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("accept() start.", 15s));
    for (const char* report : {"Parameter controlPort = \"70000\" is out of range (0 to 65535), "
                               "will use default value 4044\n",
                               "Parameter testLogSize = \"-3\" is out of range (1 to 10000), will "
                               "use default value 100\n",
                               "Parameter bandwidthTimeLimit = \"10 minutes\" is not a number, "
                               "will use default value 60\n"}) {
        EXPECT_NE(agent.output().find(report), std::string::npos) << report;
        EXPECT_NE(agent.log().find(report), std::string::npos) << report;
    }
    EXPECT_NE(agent.output().find("  controlPort = 4044\n"), std::string::npos);
    EXPECT_EQ(ns.run("nc -z -w 2 127.0.0.1 4044"), 0);
    EXPECT_NE(ns.run("nc -z -w 2 127.0.0.1 4464"), 0);
    agent.signal(SIGINT);
    EXPECT_EQ(agent.waitForExit(10s), 0);
}

}  // namespace
}  // namespace trellon::testing
