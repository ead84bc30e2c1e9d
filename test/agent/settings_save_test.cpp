// The save of the settings pages: what it writes loads back the same in a
// new agent, saves at the same time leave the newest values on disk, and a
// save while the run loop rebuilds its server cannot deadlock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "agent/performance_agent.h"
#include "lib/log.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "results/test_log.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using testing::captureStdout;
using testing::readFile;
using testing::TempDir;

class SettingsSaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        setLogFilePathForTests(dir_.file("log.txt"));
        setLogQuiet(true);
    }
    void TearDown() override {
        setLogFilePathForTests(kLogFilePath);
        TestLog::destroy();
    }
    platform::SettingsStore store(const platform::SettingsValues& values) {
        platform::SettingsStore s(dir_.file("agent.conf"));
        bool created = false;
        s.create(created);
        s.writeValues(values);
        return s;
    }

    TempDir dir_;
};

TEST_F(SettingsSaveTest, WhatASaveWritesLoadsBackTheSame) {
    auto s = store({{"controlPort", "4044"}});
    PerformanceAgent agent(dir_.path() + "/", s);
    captureStdout([&] { agent.loadSettings(); });
    const std::string password(127, 'p');
    {
        std::lock_guard<std::recursive_mutex> guard(agent.settingsLock());
        agent.authenticated.store(true);
        agent.setName("op=1");
        agent.setPassword(password);
        agent.setHint("line\none \\ two\r");
        agent.sampleInvisible.store(false);
        agent.useHtdocs.store(true);
        agent.useHTTPS.store(true);
        agent.responseTimePort.store(2001);
        agent.bandwidthPort.store(2002);
        agent.streamingClientPort.store(2003);
        agent.streamingServerPort.store(2004);
        agent.responseTimeLimit.store(86400);
        agent.bandwidthTimeLimit.store(1);
        agent.streamingTimeLimit.store(13);
    }
    agent.saveSettings();

    PerformanceAgent again(dir_.path() + "/", s);
    captureStdout([&] { again.loadSettings(); });
    EXPECT_TRUE(again.authenticated.load());
    EXPECT_EQ(again.name(), "op=1");
    EXPECT_EQ(again.password(), password);
    EXPECT_EQ(again.hint(), "line\none \\ two\r");
    EXPECT_FALSE(again.sampleInvisible.load());
    EXPECT_TRUE(again.useHtdocs.load());
    EXPECT_TRUE(again.useHTTPS.load());
    EXPECT_EQ(again.responseTimePort.load(), 2001);
    EXPECT_EQ(again.bandwidthPort.load(), 2002);
    EXPECT_EQ(again.streamingClientPort.load(), 2003);
    EXPECT_EQ(again.streamingServerPort.load(), 2004)
        << "stored by the page, kept at the next start";
    EXPECT_EQ(again.responseTimeLimit.load(), 86400);
    EXPECT_EQ(again.bandwidthTimeLimit.load(), 1);
    EXPECT_EQ(again.streamingTimeLimit.load(), 13);
    EXPECT_EQ(readFile(dir_.file("log.txt")).find("default value"), std::string::npos)
        << readFile(dir_.file("log.txt"));
}

TEST_F(SettingsSaveTest, SavesAtTheSameTimeLeaveTheNewestValuesOnDisk) {
    auto s = store({{"controlPort", "4044"}});
    PerformanceAgent agent(dir_.path() + "/", s);
    captureStdout([&] { agent.loadSettings(); });
    std::vector<std::thread> savers;
    for (int t = 0; t < 4; ++t) {
        savers.emplace_back([&agent, t] {
            for (int i = 0; i < 40; ++i) {
                {
                    std::lock_guard<std::recursive_mutex> guard(agent.settingsLock());
                    agent.setHint("saver " + std::to_string(t) + " save " + std::to_string(i));
                    agent.bandwidthTimeLimit.store(t * 100 + i + 1);
                }
                agent.saveSettings();
            }
        });
    }
    for (auto& saver : savers) saver.join();
    std::string hint;
    std::string limit;
    ASSERT_TRUE(s.readValue("hint", hint));
    ASSERT_TRUE(s.readValue("bandwidthTimeLimit", limit));
    EXPECT_EQ(hint, agent.hint());
    EXPECT_EQ(limit, std::to_string(agent.bandwidthTimeLimit.load()));
}

// A TCP listener on every address at a port of the system's choosing: an
// agent's server cannot bind that port, so its run loop builds server after
// server. -1 when it could not be made.
int holdPort(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// In the child: the real run loop rebuilding its server while settings are
// saved. Exit codes: 0 done, 3 the loop never rebuilt, 4 saves and rebuilds
// never overlapped.
int saveWhileRebuilding(const std::string& folder) {
    int port = 0;
    const int held = holdPort(port);
    if (held < 0) return 5;
    platform::SettingsStore s(folder + "/agent.conf");
    bool created = false;
    s.create(created);
    s.writeValues({{"controlPort", std::to_string(port)},
                   {"serverTcpPort", "0"},
                   {"reflectorResponsePort", "0"},
                   {"streamDestinationUdpPort", "0"}});
    PerformanceAgent::setRetryDelayForTests(0);
    PerformanceAgent::setShutdownPauseForTests(0);
    resetStopStateForTests();
    int result = 0;
    {
        PerformanceAgent agent(folder + "/", s);
        std::thread loop([&agent] { agent.runAgent(); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (agent.serversBuilt() < 2 && std::chrono::steady_clock::now() < deadline)
            platform::sleepMilliseconds(1);
        if (agent.serversBuilt() < 2) result = 3;
        const int before = agent.serversBuilt();
        for (int i = 0; i < 300 && result == 0; ++i) {
            {
                std::lock_guard<std::recursive_mutex> guard(agent.settingsLock());
                agent.setHint("save " + std::to_string(i));
            }
            agent.saveSettings();
        }
        if (result == 0 && agent.serversBuilt() == before) result = 4;
        ostrandStop();
        loop.join();
    }
    ::close(held);
    return result;
}

TEST_F(SettingsSaveTest, ASaveWhileTheServerIsRebuiltCannotDeadlock) {
    // A deadlock would hold the test for ever: the loop and the saves run in
    // a child process, which the test ends at its deadline.
    const std::string output = dir_.file("child.txt");
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        ::_exit(saveWhileRebuilding(dir_.path()));
    }
    int status = 0;
    pid_t ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        platform::sleepMilliseconds(20);
    if (ended == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        std::string text = readFile(output);
        FAIL() << "saving while the server was rebuilt did not end (deadlock); the child said:\n"
               << text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
    }
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status) << "\n" << readFile(output);
    EXPECT_EQ(WEXITSTATUS(status), 0) << readFile(output).substr(0, 3000);
    std::string hint;
    EXPECT_TRUE(platform::SettingsStore(dir_.file("agent.conf")).readValue("hint", hint));
    EXPECT_EQ(hint, "save 299");
}

}  // namespace
}  // namespace trellon
