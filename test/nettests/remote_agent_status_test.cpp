#include "nettests/remote_agent_status.h"

#include <gtest/gtest.h>

#include "nettests/fake_agent.h"
#include "results/test_result.h"

namespace trellon {
namespace {

using testing::FakeAgent;

constexpr const char* kStatusReply = "3.2\r\nready\r\n4045\r\n4046\r\n4047\r\n0\r\n";
constexpr const char* kNoAgent =
    "Sorry, but Trellon could not establish communication with another Trellon at that address.  ";
constexpr const char* kImproper =
    "Sorry, but the Trellon agent you specified did not respond properly and cannot be used.  ";

class RemoteAgentStatusTest : public ::testing::Test {
protected:
    void SetUp() override { emptyRemoteAgentCache(); }
    void TearDown() override {
        setRemoteAgentCacheClockForTests({});
        emptyRemoteAgentCache();
        setAgentControlPortForTests(kAgentControlPort);
    }
    // The requests of this test go to the fake agent.
    void use(const FakeAgent& agent) { setAgentControlPortForTests(agent.port()); }

    TestResult result{1, LocalEndpoint{"here", "here", 4044}};
};

TEST_F(RemoteAgentStatusTest, StatusReplyGivesVersionWordAndPortsUpToTheZero) {
    FakeAgent agent("3.1\r\nbusy\r\n4045\r\n4046\r\n4047\r\n0\r\n9999\r\n");
    use(agent);
    RemoteAgentStatus status("127.0.0.1");
    EXPECT_EQ(status.version(), "3.2");
    ASSERT_TRUE(status.query());
    EXPECT_TRUE(status.found());
    EXPECT_TRUE(status.contacted());
    EXPECT_TRUE(status.compatible());
    EXPECT_EQ(status.version(), "3.1");
    EXPECT_EQ(status.statusWord(), "busy");
    EXPECT_EQ(status.ports(), (std::vector<int>{4045, 4046, 4047}));
    EXPECT_EQ(status.dataSinkPort(), 4045);
    EXPECT_EQ(status.streamPort(), 4046);
    EXPECT_EQ(status.reflectorPort(), 4047);
    EXPECT_EQ(status.port(3), 0);
    EXPECT_EQ(status.controlPort(), agent.port());
    EXPECT_EQ(agent.heads()[0], "GET /status HTTP/1.0\r\n\r\n");
}

TEST_F(RemoteAgentStatusTest, PortListEndsAtTenValuesAnEmptyLineOrANonPort) {
    struct Case {
        const char* reply;
        std::vector<int> ports;
    };
    const Case cases[] = {
        {"3.2\r\nok\r\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n10\r\n11\r\n12\r\n",
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"3.2\r\nok\r\n4045\r\n\r\n4046\r\n", {4045}},
        {"3.2\r\nok\r\n4045\r\nabc\r\n4046\r\n", {4045}},
        {"3.2\r\nok\r\n4045\r\n99999999999\r\n4046\r\n", {4045}},
        // Numbers that name no port end the list as 0 does.
        {"3.2\r\nok\r\n-5\r\n", {}},
        {"3.2\r\nok\r\n4045\r\n65536\r\n4047\r\n", {4045}},
        {"3.2\r\nok\r\n65535\r\n5555555\r\n", {65535}},
        {"3.2\r\nok\r\n4045\r\n-4046\r\n4047\r\n", {4045}},
        {"3.2\r\nok\r\n", {}},
        {"3.2\r\n", {}},
    };
    for (const auto& c : cases) {
        FakeAgent agent(c.reply);
        use(agent);
        RemoteAgentStatus status("127.0.0.1");
        ASSERT_TRUE(status.query()) << c.reply;
        EXPECT_EQ(status.ports(), c.ports) << c.reply;
    }
}

TEST_F(RemoteAgentStatusTest, RunCommandCheck) {
    int port = -1;
    EXPECT_EQ(checkRemoteAgentForRunCommand("", port), "");
    EXPECT_EQ(port, 0);

    {
        FakeAgent agent(kStatusReply);
        use(agent);
        EXPECT_EQ(checkRemoteAgentForRunCommand("127.0.0.1", port), "");
        EXPECT_EQ(port, agent.port());
        auto first = findRemoteAgentStatus("127.0.0.1");
        ASSERT_NE(first, nullptr);
        // It always asks again and replaces the cached record.
        EXPECT_EQ(checkRemoteAgentForRunCommand("127.0.0.1", port), "");
        EXPECT_EQ(agent.requestCount(), 2);
        EXPECT_NE(findRemoteAgentStatus("127.0.0.1"), first);
        EXPECT_EQ(first->dataSinkPort(), 4045);  // still valid for whoever holds it
    }
    emptyRemoteAgentCache();
    {
        FakeAgent twoLines("3.2\r\nready\r\n");
        use(twoLines);
        EXPECT_EQ(checkRemoteAgentForRunCommand("127.0.0.1", port), kImproper);
        EXPECT_EQ(findRemoteAgentStatus("127.0.0.1"), nullptr);
    }
    setAgentControlPortForTests(testing::closedLoopbackPort());
    EXPECT_EQ(checkRemoteAgentForRunCommand("127.0.0.1", port), kNoAgent);
    EXPECT_EQ(checkRemoteAgentForRunCommand("no-such-agent.invalid", port), kNoAgent);
    EXPECT_EQ(remoteAgentCacheSize(), 0);
}

TEST_F(RemoteAgentStatusTest, RunningTestCheckMessages) {
    std::string reason;
    EXPECT_EQ(checkRemoteAgentForTest("no-such-agent.invalid", result, &reason), nullptr);
    EXPECT_EQ(result.getOutputText(), "<p>Sorry, could not find no-such-agent.invalid</p>\n");
    EXPECT_EQ(reason, "Sorry, could not find no-such-agent.invalid");

    TestResult second(2, LocalEndpoint{"here", "here", 4044});
    setAgentControlPortForTests(testing::closedLoopbackPort());
    EXPECT_EQ(checkRemoteAgentForTest("127.0.0.1", second), nullptr);
    EXPECT_EQ(second.getOutputText(),
              "<p>Sorry, we can contact 127.0.0.1 but either the port number is wrong or it does "
              "not have the "
              "software installed.</p>\n");
    EXPECT_EQ(remoteAgentCacheSize(), 0);

    // The host a user typed is shown escaped.
    TestResult third(3, LocalEndpoint{"here", "here", 4044});
    checkRemoteAgentForTest("<b>x.invalid", third);
    EXPECT_EQ(third.getOutputText(), "<p>Sorry, could not find &lt;b&gt;x.invalid</p>\n");
}

TEST_F(RemoteAgentStatusTest, RunningTestCheckIsAnsweredFromTheCache) {
    FakeAgent agent(kStatusReply);
    use(agent);
    auto first = checkRemoteAgentForTest("127.0.0.1", result);
    ASSERT_NE(first, nullptr);
    auto second = checkRemoteAgentForTest("127.0.0.1", result);
    EXPECT_EQ(second, first);
    EXPECT_EQ(agent.requestCount(), 1);
    EXPECT_EQ(result.getOutputText(), "");
}

TEST_F(RemoteAgentStatusTest, CachedStatusExpiresAfterItsLifetime) {
    FakeAgent agent(kStatusReply);
    use(agent);
    auto now = std::chrono::steady_clock::now();
    setRemoteAgentCacheClockForTests([&] { return now; });
    auto first = checkRemoteAgentForTest("127.0.0.1", result);
    ASSERT_NE(first, nullptr);
    now += kRemoteAgentStatusLifetime - std::chrono::seconds(1);
    EXPECT_EQ(checkRemoteAgentForTest("127.0.0.1", result), first);
    EXPECT_EQ(agent.requestCount(), 1);

    // Past its lifetime the entry is gone, and every way in asks again.
    now += std::chrono::seconds(2);
    EXPECT_EQ(findRemoteAgentStatus("127.0.0.1"), nullptr);
    EXPECT_EQ(remoteAgentCacheSize(), 0);
    auto second = checkRemoteAgentForTest("127.0.0.1", result);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(agent.requestCount(), 2);
    now += kRemoteAgentStatusLifetime;
    int port = 0;
    EXPECT_TRUE(lookupRemoteControlPort("127.0.0.1", port));
    EXPECT_EQ(agent.requestCount(), 3);

    // Forgetting a record leaves a newer one for the same host alone.
    auto newest = findRemoteAgentStatus("127.0.0.1");
    ASSERT_NE(newest, nullptr);
    forgetRemoteAgentStatus(first);
    EXPECT_EQ(findRemoteAgentStatus("127.0.0.1"), newest);
    forgetRemoteAgentStatus(newest);
    EXPECT_EQ(remoteAgentCacheSize(), 0);
    EXPECT_EQ(result.getOutputText(), "");
}

TEST_F(RemoteAgentStatusTest, ControlPortLookup) {
    int port = 0;
    setAgentControlPortForTests(testing::closedLoopbackPort());
    EXPECT_FALSE(lookupRemoteControlPort("127.0.0.1", port));
    EXPECT_EQ(remoteAgentCacheSize(), 0);

    FakeAgent agent(kStatusReply);
    use(agent);
    ASSERT_TRUE(lookupRemoteControlPort("127.0.0.1", port));
    EXPECT_EQ(port, agent.port());
    ASSERT_TRUE(lookupRemoteControlPort("127.0.0.1", port));
    EXPECT_EQ(agent.requestCount(), 1);
    emptyRemoteAgentCache();
    EXPECT_EQ(remoteAgentCacheSize(), 0);
    ASSERT_TRUE(lookupRemoteControlPort("127.0.0.1", port));
    EXPECT_EQ(agent.requestCount(), 2);
}

TEST_F(RemoteAgentStatusTest, CancelRequestAsksTheRemoteAgent) {
    FakeAgent agent(
        [](const std::string& path) { return path == "status" ? kStatusReply : "OK\r\n"; });
    use(agent);
    sendCancelRequest("127.0.0.1", result, 17);
    auto heads = agent.heads();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0], "GET /status HTTP/1.0\r\n\r\n");
    EXPECT_EQ(heads[1], "GET /cancel?id=17 HTTP/1.0\r\n\r\n");
    // A known host is not asked for its status again.
    sendCancelRequest("127.0.0.1", result, 18);
    heads = agent.heads();
    ASSERT_EQ(heads.size(), 3u);
    EXPECT_EQ(heads[2], "GET /cancel?id=18 HTTP/1.0\r\n\r\n");

    TestResult unreachable(5, LocalEndpoint{"here", "here", 4044});
    sendCancelRequest("no-such-agent.invalid", unreachable, 3);
    EXPECT_NE(unreachable.getOutputText().find("could not find"), std::string::npos);
}

}  // namespace
}  // namespace trellon
