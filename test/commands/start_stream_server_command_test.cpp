// The answering side of a streaming test, asked over real HTTP on loopback
// as another agent would ask it.
#include "nettests/start_stream_server_command.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "commands/pages_fixture.h"
#include "lib/thread.h"
#include "nettests/stream_packet.h"
#include "nettests/stream_server.h"
#include "results/running_test_slots.h"
#include "results/test_log.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

// A UDP socket on 127.0.0.1 that plays the asking agent's stream client.
class Receiver {
public:
    Receiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        socklen_t length = sizeof(local);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~Receiver() { ::close(fd_); }
    int port() const { return port_; }
    // Datagrams that arrive within limit (from anyone), with their senders' addresses.
    int count(std::chrono::milliseconds limit, std::vector<std::uint32_t>* senders = nullptr) {
        int n = 0;
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return n;
            pollfd wait{fd_, POLLIN, 0};
            if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) return n;
            char buffer[2048];
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            if (::recvfrom(fd_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from),
                           &length) >= 0) {
                ++n;
                if (senders != nullptr) senders->push_back(from.sin_addr.s_addr);
            }
        }
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

class StartStreamServerTest : public PagesTest {
protected:
    void SetUp() override {
        baseline_ = Thread::liveThreadCount();
        PagesTest::SetUp();
    }
    void TearDown() override {
        PagesTest::TearDown();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    // The bare answer, as the asking agent reads it.
    std::string ask(const std::string& query) {
        return httpExchange(server_->port(),
                            "GET /startStreamServer?" + query + " HTTP/1.0\r\n\r\n")
            .raw;
    }
    std::string query(const std::string& changes, int port) {
        return (changes.empty() ? "" : changes + "&") + "port=" + std::to_string(port) +
               "&fromPort=0&packetSize=100&flowRate=10000&reportInterval=1&timeLimit=1";
    }
    bool waitFinished(int id) {
        auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            auto record = TestLog::instance()->findTestResult(id);
            if (record && record->getState() == TestResult::kFinished &&
                RunningTestSlots::inUse() == 0)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    int baseline_ = 0;
};

TEST_F(StartStreamServerTest, InvalidRequestsAnswerZeroAndStartNothing) {
    Receiver receiver;
    const std::string p = std::to_string(receiver.port());
    const std::string good = "&fromPort=0&reportInterval=1";
    const std::string cases[] = {
        // The header needs 28 bytes and the sender's buffer holds 2000.
        "port=" + p + good + "&packetSize=27&flowRate=1000&timeLimit=5",
        "port=" + p + good + "&packetSize=1501&flowRate=1000&timeLimit=5",
        "port=" + p + good + "&packetSize=100000&flowRate=1000&timeLimit=5",
        // No rate, or more than 10 Mbit/s.
        "port=" + p + good + "&packetSize=100&flowRate=0&timeLimit=5",
        "port=" + p + good + "&packetSize=100&flowRate=1250001&timeLimit=5",
        "port=" + p + good + "&packetSize=100&flowRate=-5&timeLimit=5",
        // No time, or longer than this agent allows (60 s by default).
        "port=" + p + good + "&packetSize=100&flowRate=1000&timeLimit=0",
        "port=" + p + good + "&packetSize=100&flowRate=1000&timeLimit=61",
        "port=" + p + good + "&packetSize=100&flowRate=1000&timeLimit=86400000",
        // No port to send to, or numbers that are not numbers.
        "port=0" + good + "&packetSize=100&flowRate=1000&timeLimit=5",
        "port=70000" + good + "&packetSize=100&flowRate=1000&timeLimit=5",
        good + "&packetSize=100&flowRate=1000&timeLimit=5",
        "port=" + p + good + "&packetSize=12a&flowRate=1000&timeLimit=5",
        "port=" + p + "&fromPort=x&reportInterval=1&packetSize=100&flowRate=1000&timeLimit=5",
    };
    for (const std::string& c : cases) EXPECT_EQ(ask(c), "0\r\n") << c;
    agent().streamingTimeLimit = 20;
    EXPECT_EQ(ask("port=" + p + good + "&packetSize=100&flowRate=1000&timeLimit=21"), "0\r\n");
    EXPECT_EQ(TestLog::instance()->count(), 0);
    EXPECT_EQ(RunningTestSlots::inUse(), 0);
    EXPECT_EQ(receiver.count(300ms), 0);
}

TEST_F(StartStreamServerTest, StreamsToTheAskerOnlyAndRunsItsOwnRecord) {
    Receiver receiver;
    // An address in the request is not where the stream goes.
    std::string reply = ask(query("address=192.0.2.7&clientAddress=192.0.2.7", receiver.port()));
    ASSERT_EQ(reply, "1\r\nOK\r\n");
    std::vector<std::uint32_t> senders;
    int packets = receiver.count(1500ms, &senders);
    EXPECT_GE(packets, 90);
    EXPECT_LE(packets, 101);
    for (std::uint32_t from : senders) EXPECT_EQ(from, htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(waitFinished(1));

    auto record = TestLog::instance()->findTestResult(1);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->getTitle(), StreamServer::kTitle);
    EXPECT_EQ(record->getRemoteComputer(), "127.0.0.1");
    EXPECT_TRUE(record->getRanFullPeriod());
    EXPECT_NE(record->getFinalResults().find("Sent <b>" + std::to_string(packets) + "</b> packets"),
              std::string::npos)
        << record->getFinalResults();
    // Its results page shows it as any test.
    HttpReply page = get("/results?id=1&format=html");
    EXPECT_NE(page.body().find("Test finished."), std::string::npos);
    EXPECT_NE(page.body().find("Sent <b>"), std::string::npos);
}

TEST_F(StartStreamServerTest, StreamServersTakeARunningTestSlot) {
    Receiver receiver;
    std::vector<RunningTestSlot> taken;
    for (int i = 0; i < RunningTestSlots::kMaxRunningTests; ++i) {
        taken.push_back(RunningTestSlots::tryAcquire());
        ASSERT_TRUE(taken.back());
    }
    EXPECT_EQ(ask(query("", receiver.port())), "0\r\n");
    EXPECT_EQ(TestLog::instance()->count(), 0);
    taken.pop_back();
    ASSERT_EQ(RunningTestSlots::inUse(), RunningTestSlots::kMaxRunningTests - 1);
    // One free slot: the stream takes it while it runs.
    ASSERT_EQ(ask(query("", receiver.port())), "1\r\nOK\r\n");
    EXPECT_EQ(RunningTestSlots::inUse(), RunningTestSlots::kMaxRunningTests);
    EXPECT_EQ(ask(query("", receiver.port())), "0\r\n");
    taken.clear();
    ASSERT_TRUE(waitFinished(1));
}

TEST(StartStreamServerSettingsTest, MarkingsOutOfRangeAreNone) {
    struct Case {
        std::string marks;
        int dscp, priority;
    } cases[] = {
        {"", -1, -1},
        {"&dscp=0&onep=0", 0, 0},
        {"&dscp=63&onep=7", 63, 7},
        {"&dscp=64&onep=8", -1, -1},
        {"&dscp=&onep=", -1, -1},
        {"&dscp=-1&onep=x", -1, -1},
    };
    for (const auto& c : cases) {
        FormVariables form;
        form.decodeQuery(
            "port=5000&fromPort=0&packetSize=28&flowRate=1250000&reportInterval=999"
            "&timeLimit=60" +
            c.marks);
        auto settings = StartStreamServerCommand::readSettings(form, 60);
        ASSERT_TRUE(settings.has_value()) << c.marks;
        EXPECT_EQ(settings->dscp, c.dscp) << c.marks;
        EXPECT_EQ(settings->priority, c.priority) << c.marks;
        EXPECT_EQ(settings->reportInterval, 60);
        EXPECT_EQ(settings->clientAddress, 0u);
    }
    // The asking side sends the markings only when they are in range.
    StreamServerRequest request;
    request.port = 6000;
    request.packetSize = 172;
    request.flowRate = 8600;
    request.timeLimit = 30;
    request.dscp = 64;
    request.priority = -1;
    EXPECT_EQ(startStreamServerPath(request),
              "startStreamServer?port=6000&fromPort=0&packetSize=172&flowRate=8600&reportInterval=1"
              "&timeLimit=30");
    request.dscp = 0;
    request.priority = 7;
    std::string path = startStreamServerPath(request);
    EXPECT_EQ(path.substr(path.find("&dscp")), "&dscp=0&onep=7");
}

}  // namespace
}  // namespace trellon::testing
