// Packet marking seen from outside the agents: two real agents in lab hosts
// joined by a direct link, tcpdump on the link for the DSCP in the IP header
// of probes, replies, bandwidth data and stream packets, and nftables rules
// on the sending hosts that count packets by their socket priority (what a
// VLAN's egress-qos-map turns into the 802.1p bits). An agent started without
// CAP_NET_ADMIN and CAP_NET_RAW may not use priority 7: its test runs
// unmarked and its results say why.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/lab_agents.h"
#include "support/response_test_helpers.h"
#include "support/test_support.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
using response::httpGet;
using response::intElement;
using response::startTest;
using response::waitUntilDone;

// One packet of a capture: its TOS byte and its ends.
struct Captured {
    int tos = -1;
    std::string source;  // "10.77.1.1.40000"
    std::string destination;
    std::string proto;  // "UDP" or "TCP"
    int payload = -1;   // UDP or TCP payload length
};

int portOf(const std::string& end) {
    std::size_t dot = end.rfind('.');
    return dot == std::string::npos ? -1 : std::atoi(end.c_str() + dot + 1);
}

// tcpdump on one interface of a host, written to a file and read back with -v
// once stopped, so no packet is lost to a slow reader.
class Capture {
public:
    Capture(const Host& host, const std::string& interface, const std::string& filter)
        : host_(host), file_(dir_.file("capture.pcap")) {
        ProcessOptions options;
        options.outputPath = dir_.file("tcpdump.out");
        process_ = std::make_unique<Process>(
            host.start({"tcpdump", "-i", interface, "-n", "-U", "--immediate-mode", "-s", "128",
                        "-w", file_, filter},
                       options));
        // Ready once it says it listens.
        auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end &&
               process_->output().find("listening on") == std::string::npos)
            std::this_thread::sleep_for(10ms);
        ready_ = process_->output().find("listening on") != std::string::npos;
    }
    ~Capture() {
        if (process_) process_->stop(SIGINT, 3s);
    }

    bool ready() const { return ready_; }

    // Stops the capture and gives its packets in order.
    std::vector<Captured> packets() {
        if (process_) {
            process_->stop(SIGINT, 3s);
            process_.reset();
        }
        CommandResult read = host_.run("tcpdump -r " + file_ + " -n -v -t 2>/dev/null");
        std::vector<Captured> out;
        // -v gives "IP (tos 0xc0, ttl ..., proto UDP (17), length 128)" and on the
        // next line "    10.77.1.1.40000 > 10.77.1.2.4047: UDP, length 100"
        // (TCP: "... Flags [P.], ..., length 1448").
        std::vector<std::string> lines;
        std::istringstream text(read.output);
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
            const std::string& head = lines[i];
            if (head.rfind("IP (tos ", 0) != 0) continue;
            Captured p;
            p.tos = static_cast<int>(std::strtol(head.c_str() + 8, nullptr, 16));
            p.proto = head.find("proto UDP") != std::string::npos ? "UDP" : "TCP";
            const std::string& body = lines[i + 1];
            std::size_t first = body.find_first_not_of(' ');
            std::size_t arrow = body.find(" > ");
            std::size_t colon = body.find(": ", arrow == std::string::npos ? 0 : arrow);
            if (first == std::string::npos || arrow == std::string::npos ||
                colon == std::string::npos)
                continue;
            p.source = body.substr(first, arrow - first);
            p.destination = body.substr(arrow + 3, colon - arrow - 3);
            std::size_t length = body.rfind("length ");
            if (length != std::string::npos) p.payload = std::atoi(body.c_str() + length + 7);
            out.push_back(p);
            ++i;
        }
        return out;
    }

private:
    Host host_;
    testing::TempDir dir_;
    std::string file_;
    std::unique_ptr<Process> process_;
    bool ready_ = false;
};

// An nftables table in a host with counting rules on its output hook.
class PriorityCounter {
public:
    explicit PriorityCounter(const Host& host) : host_(host) {
        ok_ = host.run(
                      "nft add table ip trlmark && nft 'add chain ip trlmark out { type filter "
                      "hook output priority 0; }'")
                  .ok();
    }
    ~PriorityCounter() { host_.run("nft delete table ip trlmark"); }
    bool ok() const { return ok_; }

    // Adds a counting rule, e.g. "udp dport 4047 meta priority 0:5".
    bool add(const std::string& match) {
        return host_.run("nft add rule ip trlmark out " + match + " counter").ok();
    }
    // Packets the rule counted, -1 when it cannot be read.
    long long packets(const std::string& match) const { return counted(match, " counter packets "); }
    // Bytes the rule counted (headers included), -1 when it cannot be read.
    long long bytes(const std::string& match) const { return counted(match, " bytes "); }

private:
    long long counted(const std::string& match, const std::string& label) const {
        CommandResult list = host_.run("nft list chain ip trlmark out");
        std::size_t at = list.output.find(match + " counter packets ");
        if (at == std::string::npos) return -1;
        at = list.output.find(label, at + match.size());
        if (at == std::string::npos) return -1;
        return std::atoll(list.output.c_str() + at + label.size());
    }

    Host host_;
    bool ok_ = false;
};

std::string resultsPage(const Host& from, int id) {
    return httpGet(from, "/results?id=" + std::to_string(id) + "&format=html");
}

// The last "tcCount=%d" a console printed, -1 without one.
int lastTcCount(const std::string& console) {
    std::size_t at = console.rfind("tcCount=");
    return at == std::string::npos ? -1 : std::atoi(console.c_str() + at + 8);
}

class MarkingWire : public LabAgents {
protected:
    void SetUp() override {
        NETLAB_SKIP_UNLESS_AVAILABLE();
        NETLAB_SKIP_UNLESS_TOOL("tcpdump", "tcpdump");
        NETLAB_SKIP_UNLESS_TOOL("nft", "nftables");
        makeHosts();
        link_ = lab_->connect(a_, b_);
    }
};

constexpr const char* kProbes = "testSize=100&repeatCount=30&pause=50&timeLimit=20";

TEST_F(MarkingWire, ProbesAndRepliesCarryTheirTestsMarkingAndAnUnmarkedReplyCarriesZero) {
    startAgents();
    PriorityCounter countA(a_), countB(b_);
    ASSERT_TRUE(countA.ok() && countB.ok());
    for (const char* rule :
         {"udp dport 4047 meta priority 0:5", "udp dport 4047 meta priority 0:2", "udp dport 4047"})
        ASSERT_TRUE(countA.add(rule));
    for (const char* rule :
         {"udp sport 4047 meta priority 0:5", "udp sport 4047 meta priority 0:2", "udp sport 4047"})
        ASSERT_TRUE(countB.add(rule));
    Capture capture(a_, link_.interfaceOf(a_), "udp port 4047");
    ASSERT_TRUE(capture.ready());

    // Two tests at once with different markings, then one without.
    const std::string remote = "remoteComputer=" + b_.address() + "&" + kProbes;
    int cs6 = startTest(a_, "response", remote + "&diffservcodepoint=CS6&l2priority=5");
    int af41 = startTest(a_, "response", remote + "&diffservcodepoint=AF41&l2priority=2");
    std::string cs6Xml = waitUntilDone(a_, cs6, 30s, 100ms);
    std::string af41Xml = waitUntilDone(a_, af41, 30s, 100ms);
    std::string cs6Page = resultsPage(a_, cs6);
    int off = startTest(a_, "response", remote + "&diffservcodepoint=Off&l2priority=Off");
    std::string offXml = waitUntilDone(a_, off, 30s, 100ms);
    ASSERT_EQ(element(cs6Xml, "done"), "1") << cs6Xml;
    ASSERT_EQ(element(af41Xml, "done"), "1") << af41Xml;
    ASSERT_EQ(element(offXml, "done"), "1") << offXml;
    EXPECT_NE(cs6Page.find("IP DSCP quality of service set to <b>48</b>. Ethernet 802.1p priority "
                           "set to <b>5</b>."),
              std::string::npos)
        << cs6Page;
    EXPECT_EQ(resultsPage(a_, off).find("quality of service"), std::string::npos);

    // Every probe and reply of a test, by its local port: tos and count.
    std::map<int, int> expectedTos = {{intElement(cs6Xml, "localResponsePort"), 48 << 2},
                                      {intElement(af41Xml, "localResponsePort"), 34 << 2},
                                      {intElement(offXml, "localResponsePort"), 0}};
    ASSERT_EQ(expectedTos.size(), 3u) << cs6Xml << af41Xml << offXml;
    std::map<int, int> probes, replies;
    for (const Captured& p : capture.packets()) {
        bool probe = portOf(p.destination) == 4047;
        int port = probe ? portOf(p.source) : portOf(p.destination);
        ASSERT_TRUE(expectedTos.count(port)) << p.source << " > " << p.destination;
        EXPECT_EQ(p.tos, expectedTos[port])
            << (probe ? "probe " : "reply ") << p.source << " > " << p.destination;
        ++(probe ? probes : replies)[port];
    }
    for (const auto& [port, tos] : expectedTos) {
        EXPECT_EQ(probes[port], 30) << "probes from port " << port;
        EXPECT_EQ(replies[port], 30) << "replies to port " << port;
    }

    // The socket priority, counted where the packets leave.
    EXPECT_EQ(countA.packets("udp dport 4047 meta priority 0:5"), 30);
    EXPECT_EQ(countA.packets("udp dport 4047 meta priority 0:2"), 30);
    EXPECT_EQ(countA.packets("udp dport 4047"), 90);
    EXPECT_EQ(countB.packets("udp sport 4047 meta priority 0:5"), 30);
    EXPECT_EQ(countB.packets("udp sport 4047 meta priority 0:2"), 30);
    EXPECT_EQ(countB.packets("udp sport 4047"), 90);

    // Every marking has gone: the tests' with their writers, the reflector's
    // with the first unmarked reply.
    EXPECT_EQ(lastTcCount(agentA_->console()), 0) << agentA_->console();
    EXPECT_EQ(lastTcCount(agentB_->console()), 0) << agentB_->console();
}

TEST_F(MarkingWire, BandwidthDataAndStreamPacketsCarryTheirMarking) {
    startAgents();
    PriorityCounter countA(a_), countB(b_);
    ASSERT_TRUE(countA.ok() && countB.ok());
    ASSERT_TRUE(countA.add("tcp dport 4045 meta priority 0:3"));
    // The only UDP from b in this test is the stream (to whatever port a's
    // stream client has).
    ASSERT_TRUE(countB.add("ip protocol udp meta priority 0:6"));
    ASSERT_TRUE(countB.add("ip protocol udp"));
    Capture capture(a_, link_.interfaceOf(a_),
                    "tcp dst port 4045 or (udp and src host " + b_.address() + ")");
    ASSERT_TRUE(capture.ready());

    int bandwidth = startTest(a_, "bandwidth",
                              "remoteComputer=" + b_.address() +
                                  "&testSize=2&testSizeUnits=M+Bytes&timeLimit=10"
                                  "&reportInterval=1&diffservcodepoint=AF21&l2priority=3");
    std::string bandwidthXml = waitUntilDone(a_, bandwidth, 30s, 100ms);
    ASSERT_EQ(element(bandwidthXml, "done"), "1") << bandwidthXml;
    int stream = startTest(a_, "streaming",
                           "remoteComputer=" + b_.address() +
                               "&StreamTypeOption=custom&packetSize=200&flowRate=20000"
                               "&rateUnits=Bytes+/+second&bufferSize=1000&timeLimit=3"
                               "&reportInterval=1&diffservcodepoint=EF&l2priority=6");
    std::string streamXml = waitUntilDone(a_, stream, 30s, 100ms);
    ASSERT_EQ(element(streamXml, "done"), "1") << streamXml;

    int data = 0, streamed = 0;
    for (const Captured& p : capture.packets()) {
        if (p.proto == "TCP" && portOf(p.destination) == 4045 && p.payload > 0) {
            ++data;
            EXPECT_EQ(p.tos, 18 << 2) << "data segment " << p.source << " > " << p.destination;
        } else if (p.proto == "UDP") {
            ++streamed;
            EXPECT_EQ(p.tos, 46 << 2) << "stream packet " << p.source << " > " << p.destination;
        }
    }
    EXPECT_GT(data, 100);
    EXPECT_GT(streamed, 100);
    // By bytes: how many packets 2 MB make where the rule counts depends on
    // how the stack batched the writes (segmentation offload).
    EXPECT_GE(countA.bytes("tcp dport 4045 meta priority 0:3"), 2'000'000);
    EXPECT_EQ(countB.packets("ip protocol udp meta priority 0:6"),
              countB.packets("ip protocol udp"));
    EXPECT_GT(countB.packets("ip protocol udp"), 100);
}

TEST_F(MarkingWire, PrioritySevenWithoutTheRightLeavesTheTrafficUnmarkedAndTheTestRuns) {
    NETLAB_SKIP_UNLESS_TOOL("setpriv", "util-linux");
    // The agent under setpriv, without the capabilities that allow priority 7.
    testing::TempDir wrapper;
    namespace fs = std::filesystem;
    const std::string real = wrapper.file("real");
    fs::create_directory(real);
    // The same program the other agents run ($TRELLON_NETLAB_AGENT_DIR, else this build's).
    const char* chosen = std::getenv("TRELLON_NETLAB_AGENT_DIR");
    const std::string source = chosen && *chosen ? chosen : TRELLON_BINARY_DIR;
    fs::copy_file(source + "/trellon", real + "/trellon");
    if (fs::exists(source + "/htdocs"))
        fs::copy(source + "/htdocs", real + "/htdocs", fs::copy_options::recursive);
    {
        std::ofstream script(wrapper.file("trellon"));
        script << "#!/bin/sh\nexec setpriv --bounding-set -net_admin,-net_raw " << real
               << "/trellon \"$@\"\n";
    }
    fs::permissions(wrapper.file("trellon"), fs::perms::owner_all);
    AgentOptions options;
    options.programFolder = wrapper.path();
    startAgents(options);

    PriorityCounter countA(a_);
    ASSERT_TRUE(countA.ok());
    ASSERT_TRUE(countA.add("udp dport 4047 meta priority 0:7"));
    ASSERT_TRUE(countA.add("udp dport 4047"));
    Capture capture(a_, link_.interfaceOf(a_), "udp dst port 4047");
    ASSERT_TRUE(capture.ready());

    int id = startTest(
        a_, "response",
        "remoteComputer=" + b_.address() + "&" + kProbes + "&diffservcodepoint=CS6&l2priority=7");
    std::string xml = waitUntilDone(a_, id, 30s, 100ms);
    ASSERT_EQ(element(xml, "done"), "1") << xml;
    EXPECT_EQ(intElement(xml, "received"), 30) << xml;
    std::string page = resultsPage(a_, id);
    EXPECT_EQ(page.find("quality of service set to"), std::string::npos) << page;
    EXPECT_NE(page.find("The packet marking (IP DSCP 48 and Ethernet 802.1p priority 7) is not in "
                        "place: the system refused it"),
              std::string::npos)
        << page;

    int probes = 0;
    for (const Captured& p : capture.packets()) {
        ++probes;
        EXPECT_EQ(p.tos, 0) << p.source << " > " << p.destination;
    }
    EXPECT_EQ(probes, 30);
    EXPECT_EQ(countA.packets("udp dport 4047 meta priority 0:7"), 0);
    EXPECT_EQ(countA.packets("udp dport 4047"), 30);
}

}  // namespace
}  // namespace trellon::netlab
