// The run-streaming command: its presets, units, checks and explanation, and
// a real stream when the agent streams to itself.
#include "commands/run_streaming_command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "commands/pages_fixture.h"
#include "lib/thread.h"
#include "nettests/remote_agent_status.h"
#include "nettests/stream_server.h"
#include "results/running_test_slots.h"
#include "results/test_log.h"
#include "results/test_result.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

class RunStreamingCommandTest : public PagesTest {
protected:
    void SetUp() override {
        baseline_ = Thread::liveThreadCount();
        PagesTest::SetUp();
        // The agent is its own remote agent.
        setAgentControlPortForTests(server_->port());
        emptyRemoteAgentCache();
    }
    void TearDown() override {
        setAgentControlPortForTests(kAgentControlPort);
        emptyRemoteAgentCache();
        PagesTest::TearDown();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    // A later value of a repeated name is ignored, so the changes go first.
    static std::string query(const std::string& changes) {
        return "/streaming?" + changes +
               "&remoteComputer=127.0.0.1&StreamTypeOption=custom&packetSize=100&flowRate=80"
               "&rateUnits=K Bits / second&bufferSize=500&timeLimit=1&reportInterval=1"
               "&refreshInterval=5&diffservcodepoint=Off&l2priority=Off";
    }
    static std::string spaced(std::string path) {
        for (char& c : path)
            if (c == ' ') c = '+';
        return path;
    }
    HttpReply run(const std::string& changes) { return get(spaced(query(changes))); }

    bool allEnded() {
        auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            if (RunningTestSlots::inUse() == 0) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    int baseline_ = 0;
};

TEST_F(RunStreamingCommandTest, EachFailedCheckSendsTheUserBackWithItsMessage) {
    const std::string size = "<p>Please enter a packet size between 100 and 1500.</p>";
    const std::string rate = "<p>Please enter a rate between 1 and 10,000,000 bits per second.</p>";
    const std::string buffer =
        "<p>Please enter a buffer size between 1 millisecond and 10 seconds (10000).</p>";
    const std::string interval =
        "<p>Please enter a list progress interval between 1 and 60 seconds.</p>";
    struct Case {
        std::string changes;
        std::vector<std::string> messages;
    } cases[] = {
        {"packetSize=99", {size}},
        {"packetSize=1501", {size}},
        {"packetSize=1x", {"<p>Please enter a number for the packet size.</p>", size}},
        {"flowRate=0", {rate}},
        {"flowRate=1250001&rateUnits=Bytes / second", {rate}},
        {"flowRate=10000001&rateUnits=Bits / second", {rate}},
        {"flowRate=2&rateUnits=M Bytes / second", {rate}},
        {"rateUnits=Furlongs / fortnight", {rate}},
        {"bufferSize=0", {buffer}},
        {"bufferSize=10001", {buffer}},
        {"bufferSize=", {"<p>Please enter number for the buffer size.</p>", buffer}},
        {"reportInterval=61", {interval}},
        {"reportInterval=x",
         {"<p>Please enter a number for the list progress interval.</p>", interval}},
        {"timeLimit=61", {"<p>Please enter a time limit between 1 and 60 seconds.</p>"}},
        {"refreshInterval=0",
         {"<p>Please enter a time to wait before refreshing the screen between 1 and 60 "
          "seconds.</p>"}},
        {"remoteComputer=", {"Please provide a Transmitting Computer Name."}},
        {"remoteComputer=no-such-host.invalid",
         {"The remote computer no-such-host.invalid could not be found."}},
    };
    for (const auto& c : cases) {
        HttpReply reply = run(c.changes);
        EXPECT_EQ(reply.status(), 200) << c.changes;
        for (const auto& message : c.messages)
            EXPECT_NE(reply.body().find(message), std::string::npos) << c.changes << "\n"
                                                                     << message;
    }
    EXPECT_EQ(TestLog::instance()->count(), 0);
}

TEST_F(RunStreamingCommandTest, ThePageShownAgainSelectsTheKindAndUnitsChosen) {
    HttpReply custom = run("packetSize=99&rateUnits=K Bytes / second");
    std::string page = custom.body();
    EXPECT_NE(page.find("value=\"custom\" CHECKED>"), std::string::npos);
    EXPECT_NE(page.find("value=\"voip\" >"), std::string::npos);
    EXPECT_NE(page.find("<option SELECTED>K Bytes / second</option>"), std::string::npos);
    EXPECT_NE(page.find("<option >M Bits / second</option>"), std::string::npos);
    EXPECT_NE(page.find("value=\"99\""), std::string::npos);
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));

    HttpReply bits = run("flowRate=0&rateUnits=Bits / second");
    EXPECT_NE(bits.body().find("<option SELECTED>Bits / second</option>"), std::string::npos);
    EXPECT_NE(bits.body().find("<option >M Bits / second</option>"), std::string::npos);

    // Video with a bad time limit: video is checked again.
    HttpReply video = run("StreamTypeOption=video&timeLimit=0");
    EXPECT_NE(video.body().find("value=\"video\" CHECKED>"), std::string::npos);
    EXPECT_NE(video.body().find("value=\"custom\" >"), std::string::npos);

    // A program is refused with the messages in XML.
    HttpReply xml = run("packetSize=99&format=xml");
    EXPECT_NE(xml.body().find("<Refused>"), std::string::npos) << xml.body();
    EXPECT_NE(xml.body().find("Please enter a packet size between 100 and 1500."),
              std::string::npos);
    EXPECT_EQ(TestLog::instance()->count(), 0);
}

TEST(RunStreamingUnitsTest, RatesBecomeBytesPerSecond) {
    struct Case {
        long long rate;
        const char* units;
        long long bytes;
    } cases[] = {
        {1, "Bits / second", 1},          {8, "Bits / second", 1},
        {9, "Bits / second", 2},          {0, "Bits / second", 0},
        {8600, "Bytes / second", 8600},   {5, "K Bits / second", 625},
        {3, "K Bytes / second", 3000},    {2, "M Bits / second", 250000},
        {1, "M Bytes / second", 1000000}, {INT_MAX, "M Bytes / second", INT_MAX * 1000000LL},
    };
    for (const auto& c : cases) {
        auto bytes = RunStreamingCommand::bytesPerSecond(c.rate, c.units);
        ASSERT_TRUE(bytes.has_value()) << c.units;
        EXPECT_EQ(*bytes, c.bytes) << c.rate << " " << c.units;
    }
    EXPECT_FALSE(RunStreamingCommand::bytesPerSecond(5, "bits").has_value());
    EXPECT_FALSE(RunStreamingCommand::bytesPerSecond(5, "").has_value());
    EXPECT_EQ(RunStreamingCommand::intervalText(172, 8600), "20.00");
    EXPECT_EQ(RunStreamingCommand::intervalText(1000, 250000), "4.00");
    EXPECT_EQ(RunStreamingCommand::intervalText(100, 1250000), "0.08");
}

TEST_F(RunStreamingCommandTest, VoiceIgnoresTheCustomFieldsAndStreamsToThisAgent) {
    // Fields that would fail every custom check are not read for voice.
    HttpReply reply =
        run("StreamTypeOption=voip&packetSize=99&flowRate=0&bufferSize=0&format=xml&refresh=false"
            "&diffservcodepoint=EF");
    ASSERT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(),
              std::string("http://") + kBrowserHost + "/results?id=1&format=xml\r\n\r\n");
    auto record = TestLog::instance()->findTestResult(1);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_EQ(record->getStreamKind(), TestResult::kVoiceStream);
    EXPECT_EQ(record->getBufferDuration(), 200);
    EXPECT_EQ(record->getTitle(), "Streaming Media Simulation Test");
    EXPECT_EQ(record->pageTitle().rfind("VoIP streaming test from ", 0), 0u);
    std::string explanation = record->getExplanation().value_or("");
    EXPECT_NE(explanation.find("Each UDP packet payload carries <b>172</b> bytes."),
              std::string::npos)
        << explanation;
    EXPECT_NE(explanation.find("<br>Wait for <b>20.00</b> milliseconds between packets."),
              std::string::npos);
    EXPECT_NE(explanation.find("Buffering for <b>200</b> milliseconds of packets."),
              std::string::npos);
    // The stream server marks the packets; this side never claims a marking
    // it did not put in place.
    EXPECT_EQ(explanation.find("IP DSCP quality of service"), std::string::npos) << explanation;
    std::string xml = record->getXmlExtras();
    EXPECT_NE(
        xml.find("<payload>172</payload>\n    <interval>20.00</interval>\n    <rate>8600</rate>\n"
                 "    <bufferDuration>200</bufferDuration>\n    <URL>"),
        std::string::npos)
        << xml;
    // One second of 20 ms packets, received from this agent's own stream server.
    std::size_t at = xml.find("<packetCount>");
    ASSERT_NE(at, std::string::npos) << xml;
    int packets = std::stoi(xml.substr(at + 13));
    EXPECT_GE(packets, 40);
    EXPECT_LE(packets, 51);
    EXPECT_NE(xml.find("<dropped>0</dropped>"), std::string::npos);
    // The sending side's record is in this agent's log too.
    auto server = TestLog::instance()->findTestResult(2);
    ASSERT_TRUE(server);
    EXPECT_EQ(server->getTitle(), StreamServer::kTitle);
    EXPECT_TRUE(allEnded());
}

}  // namespace
}  // namespace trellon::testing
