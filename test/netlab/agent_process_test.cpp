// The agent fixture: trellon started in lab hosts, each in its own folder
// with its own settings, on the standard ports side by side, stopped by SIGINT.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>

#include "support/netlab_agent.h"
#include "support/test_support.h"

namespace trellon::netlab {
namespace {

constexpr int kControlPort = 4044;
constexpr int kDataSinkPort = 4045;

bool connects(const Host& from, const std::string& address, int port) {
    UniqueFd socket = from.openSocket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return true;
    pollfd wait{socket.get(), POLLOUT, 0};
    if (errno != EINPROGRESS || ::poll(&wait, 1, 5000) != 1) return false;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0;
}

TEST(AgentProcess, StartsInItsOwnFolderAndStopsOnSigint) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    AgentOptions options;
    options.settings = {{"testLogSize", "7"}, {"serverTcpPort", "4045"}};
    AgentProcess agent(a, options);
    ASSERT_TRUE(agent.ready());  // listening on the control port
    EXPECT_TRUE(agent.running());
    EXPECT_TRUE(a.isListening(kDataSinkPort));
    EXPECT_TRUE(testing::fileExists(agent.folder() + "/trellon"));
    EXPECT_TRUE(std::filesystem::is_directory(agent.folder() + "/htdocs"));
    EXPECT_EQ(testing::readFile(agent.settingsPath()), "testLogSize=7\nserverTcpPort=4045\n");
    // It read the settings file it was given.
    EXPECT_NE(agent.console().find("testLogSize = 7"), std::string::npos) << agent.console();

    EXPECT_EQ(agent.stop(), 0);
    EXPECT_FALSE(agent.killedAtStop());
    EXPECT_FALSE(agent.running());
    EXPECT_NE(agent.log().find("Server shutdown finished"), std::string::npos) << agent.log();
    EXPECT_EQ(agent.stop(), 0);  // again: the same answer, no second signal
}

TEST(AgentProcess, ReportsAnAgentThatNeverListens) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    AgentOptions options;
    options.readyPort = 4999;  // nothing of the agent's
    options.startTimeout = std::chrono::milliseconds(1500);
    AgentProcess agent(a, options);
    ::testing::AssertionResult ready = agent.ready();
    EXPECT_FALSE(ready);
    EXPECT_NE(std::string(ready.message()).find("did not listen on port 4999"), std::string::npos)
        << ready.message();
}

TEST(AgentProcess, RefusesAFolderWithoutTheProgram) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    testing::TempDir empty;
    AgentOptions options;
    options.programFolder = empty.path();
    EXPECT_THROW(AgentProcess(a, options), std::runtime_error);
}

// Two agents on the standard ports side by side: each answers the other's
// status request through the relay, and the data sinks take connections.
TEST(AgentProcess, TwoAgentsOnTheStandardPortsAnswerEachOthersStatusRequest) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    Impairment path;
    path.delayMs = 2;
    lab.connectThroughRelay(a, b, RelayConfig::both(path));
    AgentOptions options;
    options.waitUntilReady = false;  // both start at once
    AgentProcess agentA(a, options);
    AgentProcess agentB(b, options);
    ASSERT_TRUE(agentA.waitUntilReady());
    ASSERT_TRUE(agentB.waitUntilReady());
    EXPECT_NE(agentA.folder(), agentB.folder());
    for (auto [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
        SCOPED_TRACE(from.name() + " asks " + to.name());
        std::string error;
        std::string reply =
            from.tcpExchange(to.address(), kControlPort, "GET /status HTTP/1.0\r\n\r\n",
                             std::chrono::seconds(10), &error);
        ASSERT_FALSE(reply.empty()) << error;
        // A body-only reply: version, status word, the three ports, 0.
        EXPECT_EQ(reply.substr(0, 5), "3.2\r\n") << reply;
        std::string ports = "\r\n4045\r\n4046\r\n4047\r\n0\r\n";
        EXPECT_TRUE(reply.size() > ports.size() &&
                    reply.compare(reply.size() - ports.size(), ports.size(), ports) == 0)
            << reply;
        EXPECT_TRUE(connects(from, to.address(), kDataSinkPort));
    }
    agentB.requestStop();
    EXPECT_EQ(agentA.stop(), 0);
    EXPECT_EQ(agentB.stop(), 0);
}

}  // namespace
}  // namespace trellon::netlab
