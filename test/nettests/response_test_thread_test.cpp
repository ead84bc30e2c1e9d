#include "nettests/response_test_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "lib/shutdown.h"
#include "lib/thread.h"
#include "nettests/fake_agent.h"
#include "nettests/probe_packet.h"
#include "nettests/remote_agent_status.h"
#include "nettests/response_reflector.h"
#include "results/test_result.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Timestamp at(std::int32_t seconds, std::int32_t microseconds) {
    Timestamp t;
    t.seconds = seconds;
    t.microseconds = microseconds;
    return t;
}

std::shared_ptr<TestResult> runningRecord() {
    auto record = std::make_shared<TestResult>(1, LocalEndpoint{"local", "127.0.0.1", 4044});
    record->setState(TestResult::kRunning);
    return record;
}

// ---------------------------------------------------------------- arithmetic and layout

TEST(ResponseArithmeticTest, LatencyIsHalfTheRoundTripLessTheHold) {
    struct Case {
        int roundTripUs, holdUs;
        const char* latencyCell;
    } cases[] = {
        {11000, 2000, "4 ms"},   // (11 - 2) / 2, integer halving
        {10000, 12000, "0 ms"},  // a hold longer than the trip counts as the trip
        {10999, 0, "5 ms"},      // milliseconds are truncated first
    };
    for (const auto& c : cases) {
        auto record = runningRecord();
        record->addResponseSample(at(100, 0), at(100, 0), at(100, c.holdUs),
                                  at(100, c.roundTripUs));
        auto row = record->getRow(0);
        ASSERT_TRUE(row.has_value());
        EXPECT_EQ(row->cells.at(1), c.latencyCell) << c.roundTripUs << " " << c.holdUs;
    }
}

TEST(ResponseArithmeticTest, LossAndAverageInTheFinalFigures) {
    auto record = runningRecord();
    for (int i = 0; i < 10; ++i) record->addPacketSent();
    for (int i = 0; i < 9; ++i) {
        record->addPacketReceived();
        record->addResponseSample(at(5, 0), at(5, 0), at(5, 0), at(5, 8000));
    }
    record->finishResponse();
    EXPECT_NE(record->getFinalResults().find("Lost <b>10.0</b> percent"), std::string::npos);
    EXPECT_DOUBLE_EQ(record->getAverageLatencyMs(), 4.0);

    auto none = runningRecord();
    none->addPacketSent();
    none->finishResponse();
    EXPECT_EQ(none->getSampleCount(), 0);
    EXPECT_DOUBLE_EQ(none->getAverageLatencyMs(), 0.0);
}

TEST(ResponseProbeTest, HeaderCarriesTheReplyMarking) {
    struct Case {
        int dscp, priority;
        std::uint32_t word52, word56;
    } cases[] = {{46, -1, 46, 65535}, {-1, -1, 65535, 65535}, {0, 7, 0, 7}};
    for (const auto& c : cases) {
        std::uint8_t probe[ProbePacket::kHeaderBytes] = {};
        ResponseWriterThread::writeProbeHeader(probe, c.dscp, c.priority);
        EXPECT_EQ(ProbePacket::readWord(probe, 0), 2u);
        EXPECT_EQ(ProbePacket::readWord(probe, 4), 2u);
        EXPECT_EQ(ProbePacket::readWord(probe, 52), c.word52);
        EXPECT_EQ(ProbePacket::readWord(probe, 56), c.word56);
    }
}

// ---------------------------------------------------------------- the test against reflectors

// A reflector the test controls: answers each probe through a function that
// may stamp, delay, duplicate or drop it.
class ScriptedReflector {
public:
    // reply(probe, send): stamps the probe and calls send for each datagram to return.
    using Script = std::function<void(
        std::vector<std::uint8_t>&, const std::function<void(const std::vector<std::uint8_t>&)>&)>;

    explicit ScriptedReflector(Script script) : script_(std::move(script)) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        socklen_t length = sizeof(local);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedReflector() {
        stop_.store(true);
        thread_.join();
        ::close(socket_);
    }
    int port() const { return port_; }
    int probes() const { return probes_.load(); }

private:
    void serve() {
        while (!stop_.load()) {
            pollfd fd{socket_, POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0) continue;
            std::vector<std::uint8_t> probe(4000);
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            long n = ::recvfrom(socket_, probe.data(), probe.size(), 0,
                                reinterpret_cast<sockaddr*>(&from), &length);
            if (n < static_cast<long>(ProbePacket::kHeaderBytes)) continue;
            probe.resize(static_cast<std::size_t>(n));
            ++probes_;
            script_(probe, [&](const std::vector<std::uint8_t>& bytes) {
                ::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         sizeof(from));
            });
        }
    }

    Script script_;
    int socket_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> probes_{0};
    std::thread thread_;
};

void stampNow(std::vector<std::uint8_t>& probe, std::int64_t holdMicroseconds = 0) {
    Timestamp in = Timestamp::now();
    Timestamp out = in;
    out.addMicroseconds(holdMicroseconds);
    ProbePacket::writeTime(probe.data(), ProbePacket::kReflectorReceiveSeconds, in);
    ProbePacket::writeTime(probe.data(), ProbePacket::kReflectorSendSeconds, out);
}

class ResponseTestThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResponseTestThread::setWriterStartDelayForTests(0ms);
        emptyRemoteAgentCache();
        baseline_ = Thread::liveThreadCount();
    }
    void TearDown() override {
        agent_.reset();
        setAgentControlPortForTests(kAgentControlPort);
        emptyRemoteAgentCache();
        ResponseTestThread::setWriterStartDelayForTests(1000ms);
        resetShutdownRequestForTests();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    // The remote agent: a status answer naming the reflector's port.
    void remoteAgentWithReflector(int reflectorPort) {
        std::string reply =
            "3.2\r\nready\r\n4045\r\n4046\r\n" + std::to_string(reflectorPort) + "\r\n0\r\n";
        agent_ = std::make_unique<testing::FakeAgent>(reply);
        setAgentControlPortForTests(agent_->port());
    }

    std::shared_ptr<TestResult> newRecord() {
        return std::make_shared<TestResult>(1, LocalEndpoint{"local", "127.0.0.1", 4044});
    }

    std::unique_ptr<ResponseTestThread> makeThread(const std::shared_ptr<TestResult>& record,
                                                   int repeat, int pause, int timeLimit,
                                                   int localPort = 0, int packetSize = 100) {
        return std::make_unique<ResponseTestThread>(record, "127.0.0.1", 4044, packetSize, repeat,
                                                    pause, timeLimit, -1, -1, localPort, false);
    }

    // Waits, bounded, for the record to show what the test is doing.
    static bool waitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = 5000ms) {
        auto end = Clock::now() + limit;
        while (!condition()) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::unique_ptr<testing::FakeAgent> agent_;
    int baseline_ = 0;
};

TEST_F(ResponseTestThreadTest, EveryProbeBackGivesFullFiguresAndRows) {
    ResponseReflector reflector(0);
    reflector.openSocketRunThreads();
    remoteAgentWithReflector(reflector.port());
    auto record = newRecord();
    auto thread = makeThread(record, 8, 50, 20);
    thread->start();
    thread->join();

    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_EQ(record->getPacketsSent(), 8);
    EXPECT_EQ(record->getPacketsReceived(), 8);
    EXPECT_EQ(record->getRowCount(), 8);
    EXPECT_EQ(record->getRemoteReflectorPort(), reflector.port());
    EXPECT_GT(record->getLocalResponsePort(), 0);  // the port really bound
    std::string final = record->getFinalResults();
    EXPECT_NE(final.find("Network response time, or latency, is <b>"), std::string::npos) << final;
    EXPECT_NE(final.find("Lost <b>0.0</b> percent"), std::string::npos) << final;
    EXPECT_EQ(final.find("entire time period"), std::string::npos);
    std::string xml = record->xmlDocument();
    EXPECT_NE(xml.find("<sent>8</sent>"), std::string::npos);
    EXPECT_NE(xml.find("<received>8</received>"), std::string::npos);
    EXPECT_NE(xml.find("<latency>"), std::string::npos);
    EXPECT_NE(xml.find("to remote reflector on port " + std::to_string(reflector.port())),
              std::string::npos);
    // Figures once only.
    EXPECT_EQ(xml.find("<finalResults>"), xml.rfind("<finalResults>"));
    auto first = record->getRow(0);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->cells.at(0), "1 / 1");
}

TEST_F(ResponseTestThreadTest, RepliesStillInFlightAreWaitedForNotCountedLost) {
    // Each reply leaves 300 ms after its probe arrived; the writer is done
    // long before the last one comes back.
    ScriptedReflector slow([](std::vector<std::uint8_t>& probe, const auto& send) {
        stampNow(probe);
        std::this_thread::sleep_for(300ms);
        send(probe);
    });
    remoteAgentWithReflector(slow.port());
    auto record = newRecord();
    auto thread = makeThread(record, 3, 50, 20);
    thread->start();
    thread->join();
    EXPECT_EQ(record->getPacketsSent(), 3);
    EXPECT_EQ(record->getPacketsReceived(), 3);
    EXPECT_NE(record->getFinalResults().find("Lost <b>0.0</b> percent"), std::string::npos);
}

TEST_F(ResponseTestThreadTest, ReaderUsesTheReflectorStampsAndIgnoresDuplicatesAndShortReplies) {
    // A hold of ten seconds is longer than any round trip here: latency 0
    // and a delay of 10000 ms in the rows. Each reply also comes twice, and
    // a 20-byte datagram arrives before it.
    ScriptedReflector odd([](std::vector<std::uint8_t>& probe, const auto& send) {
        stampNow(probe, 10 * 1000000);
        send(std::vector<std::uint8_t>(20, 'x'));
        send(probe);
        send(probe);
    });
    remoteAgentWithReflector(odd.port());
    auto record = newRecord();
    auto thread = makeThread(record, 4, 50, 20);
    thread->start();
    thread->join();
    EXPECT_EQ(record->getPacketsSent(), 4);
    EXPECT_EQ(record->getPacketsReceived(), 4);
    ASSERT_EQ(record->getRowCount(), 4);
    for (int i = 0; i < 4; ++i) {
        auto row = record->getRow(i);
        EXPECT_EQ(row->cells.at(1), "0 ms");
        EXPECT_NE(row->cells.at(2), "10000 ms");  // clamped to the round trip
    }
    EXPECT_NE(record->getFinalResults().find("Lost <b>0.0</b> percent"), std::string::npos);
}

TEST_F(ResponseTestThreadTest, TimeLimitEndsTheTestWithFiguresAndTheFullPeriodSentence) {
    ScriptedReflector silent([](std::vector<std::uint8_t>&, const auto&) {});
    remoteAgentWithReflector(silent.port());
    auto record = newRecord();
    auto thread = makeThread(record, 1000, 50, 1);
    auto start = Clock::now();
    thread->start();
    thread->join();
    EXPECT_LT(Clock::now() - start, 4s);
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_GT(record->getPacketsSent(), 5);
    EXPECT_EQ(record->getPacketsReceived(), 0);
    std::string final = record->getFinalResults();
    EXPECT_NE(final.find("Lost <b>100.0</b> percent"), std::string::npos) << final;
    EXPECT_NE(final.find("<br>Test ran entire time period you asked for."), std::string::npos)
        << final;
}

TEST_F(ResponseTestThreadTest, CancelEndsPromptlyWithFigures) {
    ResponseReflector reflector(0);
    reflector.openSocketRunThreads();
    remoteAgentWithReflector(reflector.port());
    auto record = newRecord();
    auto thread = makeThread(record, 100000, 50, 60);
    thread->start();
    ASSERT_TRUE(waitFor([&] { return record->getPacketsReceived() >= 3; }));
    auto cancelledAt = Clock::now();
    record->setCancelled();
    thread->join();
    EXPECT_LT(Clock::now() - cancelledAt, 2s);
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    std::string final = record->getFinalResults();
    EXPECT_NE(final.find("Network response time"), std::string::npos) << final;
    EXPECT_NE(final.find("<br>This test was cancelled by the user."), std::string::npos) << final;
    EXPECT_EQ(record->getPacketsReceived(), record->getPacketsSent());
}

TEST_F(ResponseTestThreadTest, CancelBeforeTheFirstProbeLeavesNoWorkerRegistered) {
    // The writer is made but never started; it must not stay in the thread
    // registry (shutdown would wait for it). TearDown counts the threads.
    ResponseTestThread::setWriterStartDelayForTests(5000ms);
    remoteAgentWithReflector(4047);
    auto record = newRecord();
    auto thread = makeThread(record, 10, 50, 30);
    thread->start();
    ASSERT_TRUE(waitFor([&] { return record->getState() >= TestResult::kStarting; }));
    record->setCancelled();
    thread->join();
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_EQ(record->getPacketsSent(), 0);
    EXPECT_EQ(record->getFinalResults(),
              "No probes were sent.<br>This test was cancelled by the user.");
    thread.reset();
    EXPECT_EQ(Thread::liveThreadCount(), baseline_);
}

TEST_F(ResponseTestThreadTest, AgentStopAndThreadStopEndTheTest) {
    ResponseReflector reflector(0);
    reflector.openSocketRunThreads();
    remoteAgentWithReflector(reflector.port());
    for (bool viaShutdownFlag : {false, true}) {
        auto record = newRecord();
        auto thread = makeThread(record, 100000, 50, 60);
        thread->start();
        ASSERT_TRUE(waitFor([&] { return record->getPacketsSent() >= 2; }));
        auto stoppedAt = Clock::now();
        if (viaShutdownFlag)
            requestShutdown();
        else
            thread->stop();  // what cancelAllThreads does
        thread->join();
        resetShutdownRequestForTests();
        EXPECT_LT(Clock::now() - stoppedAt, 2s);
        EXPECT_EQ(record->getState(), TestResult::kFinished);
        EXPECT_NE(record->getFinalResults().find("Network response time"), std::string::npos);
    }
}

TEST_F(ResponseTestThreadTest, FailedLocalBindFinishesTheTestNamingThePort) {
    int taken = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
    socklen_t length = sizeof(local);
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&local), &length);
    int port = ntohs(local.sin_port);

    remoteAgentWithReflector(4047);
    auto record = newRecord();
    auto thread = makeThread(record, 5, 50, 10, port);
    thread->start();
    thread->join();
    ::close(taken);
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_EQ(record->getPacketsSent(), 0);
    EXPECT_NE(record->getOutputText().find("port " + std::to_string(port)), std::string::npos)
        << record->getOutputText();
}

TEST_F(ResponseTestThreadTest, OutOfRangeSizesFromProgramsAreMadeSafe) {
    // A program's request is not checked: a packet size too small for the
    // header still sends whole probes, and a repeat count of 0 sends none.
    ResponseReflector reflector(0);
    reflector.openSocketRunThreads();
    remoteAgentWithReflector(reflector.port());
    auto tiny = newRecord();
    auto thread = makeThread(tiny, 2, 50, 10, 0, 5);
    thread->start();
    thread->join();
    EXPECT_EQ(tiny->getPacketsReceived(), 2);

    auto none = newRecord();
    thread = makeThread(none, 0, 50, 10);
    thread->start();
    thread->join();
    EXPECT_EQ(none->getState(), TestResult::kFinished);
    EXPECT_EQ(none->getPacketsSent(), 0);
    EXPECT_NE(none->getFinalResults().find("No probes were sent."), std::string::npos);
}

}  // namespace
}  // namespace trellon
