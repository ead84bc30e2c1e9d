// Marking seen at the far end, through a routed middle host: a response test
// asks for DSCP 46; without interference the reflector sees 46 and the
// replies come back with 46; with an nftables rule on the middle host that
// sets the code point of everything going to the reflector's host to 0, the
// reflector sees 0 while the replies still come back with 46.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/lab_agents.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
using response::httpGet;
using response::waitUntilDone;

// A response test from `from` to `remote` asking DSCP 46; its finished XML.
std::string markedTest(const Host& from, const std::string& remote, int id) {
    std::string answer =
        httpGet(from, "/response?remoteComputer=" + remote +
                          "&testSize=100&repeatCount=10&pause=50&timeLimit=10&refreshInterval=5"
                          "&diffservcodepoint=EF&format=xml");
    EXPECT_NE(answer.find("/results?id=" + std::to_string(id) + "&format=xml"), std::string::npos)
        << answer;
    std::string xml = waitUntilDone(from, id, 30s, 100ms);
    EXPECT_EQ(element(xml, "done"), "1") << xml;
    EXPECT_EQ(element(xml, "received"), "10") << xml;
    return xml;
}

class MarkingSeenLab : public LabAgents {};

TEST_F(MarkingSeenLab, ReMarkingOnTheWayOutShowsAtTheReflector) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("nft", "nftables");
    makeHosts();
    const Host& a = a_;
    const Host& b = b_;
    Host m = lab_->addHost("m");
    Link left = lab_->connect(a, m);
    Link right = lab_->connect(m, b);
    const std::string bAddress = right.addressOf(b);
    ASSERT_TRUE(m.run("sysctl -qw net.ipv4.ip_forward=1").ok());
    ASSERT_TRUE(a.run("ip route add " + bAddress + "/32 via " + left.addressOf(m)).ok());
    ASSERT_TRUE(b.run("ip route add " + left.addressOf(a) + "/32 via " + right.addressOf(m)).ok());
    startAgents();

    std::string xml = markedTest(a, bAddress, 1);
    EXPECT_EQ(element(xml, "dscpAsked"), "46") << xml;
    EXPECT_EQ(element(xml, "dscpSeenAtReflector"), "46") << xml;
    EXPECT_EQ(element(xml, "dscpCameBack"), "46") << xml;

    CommandResult rule = m.run(
        "nft add table ip remark && "
        "nft add chain ip remark forward '{ type filter hook forward priority 0; }' && "
        "nft add rule ip remark forward ip daddr " +
        bAddress + " ip dscp set 0");
    ASSERT_TRUE(rule.ok()) << rule.output;
    xml = markedTest(a, bAddress, 2);
    std::printf("re-marked to 0 on the way out: asked %s, seen %s, came back %s\n",
                element(xml, "dscpAsked").c_str(), element(xml, "dscpSeenAtReflector").c_str(),
                element(xml, "dscpCameBack").c_str());
    EXPECT_EQ(element(xml, "dscpAsked"), "46") << xml;
    EXPECT_EQ(element(xml, "dscpSeenAtReflector"), "0") << xml;
    EXPECT_EQ(element(xml, "dscpCameBack"), "46") << xml;
    std::string page = httpGet(a, "/results?id=2&format=html");
    EXPECT_NE(page.find("Packet marking (DSCP): asked <b>46</b>, seen at the remote reflector "
                        "<b>0</b>, came back <b>46</b>."),
              std::string::npos);
}

}  // namespace
}  // namespace trellon::netlab
