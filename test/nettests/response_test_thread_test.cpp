#include "nettests/response_test_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "lib/shutdown.h"
#include "lib/thread.h"
#include "nettests/fake_agent.h"
#include "nettests/probe_packet.h"
#include "nettests/remote_agent_status.h"
#include "nettests/response_reflector.h"
#include "nettests/test_thread.h"
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

ProbePacket::Time words(std::uint32_t seconds, std::uint32_t microseconds) {
    return ProbePacket::Time{seconds, microseconds};
}

TEST(ProbeTimeTest, DifferencesSurviveTheWrapOfTheSecondsWord) {
    struct Case {
        ProbePacket::Time from, to;
        std::int64_t microseconds;
    } cases[] = {
        {words(100, 0), words(100, 1500), 1500},
        {words(100, 999999), words(101, 0), 1},
        {words(0x7FFFFFFF, 999000), words(0x80000000, 1000), 2000},  // 2038
        {words(0xFFFFFFFF, 999999), words(0, 0), 1},                 // 2106
        {words(0x80000000, 0), words(0x7FFFFFFF, 0), -1000000},      // backwards across 2038
        {words(0, 500), words(0xFFFFFFFF, 0), -1000500},             // backwards across 2106
    };
    for (const auto& c : cases) {
        auto difference = ProbePacket::microsecondsBetween(c.from, c.to);
        ASSERT_TRUE(difference.has_value()) << c.from.seconds << " " << c.to.seconds;
        EXPECT_EQ(*difference, c.microseconds) << c.from.seconds << " " << c.to.seconds;
    }
    // No clock writes a microseconds word of a million or more.
    EXPECT_FALSE(ProbePacket::microsecondsBetween(words(5, 1000000), words(6, 0)).has_value());
    EXPECT_FALSE(ProbePacket::microsecondsBetween(words(5, 0), words(6, 0xFFFFFFFF)).has_value());

    // The words of this clock after 2038 are the low 32 bits of the seconds.
    std::uint8_t probe[ProbePacket::kHeaderBytes] = {};
    ProbePacket::writeProbeTime(probe, ProbePacket::kSendSeconds, words(0x80000001, 7));
    ProbePacket::Time back = ProbePacket::readProbeTime(probe, ProbePacket::kSendSeconds);
    EXPECT_EQ(back.seconds, 0x80000001u);
    EXPECT_EQ(back.microseconds, 7u);
    EXPECT_EQ(ProbePacket::probeTime(at(INT32_MIN, 3)).seconds, 0x80000000u);
}

TEST(ResponseTimesTest, TheHoldIsNeverBelowZeroNorAboveTheRoundTrip) {
    struct Case {
        ProbePacket::Time sent, in, out, received;
        std::int64_t roundTrip, held;
    } cases[] = {
        {words(10, 0), words(10, 1000), words(10, 3000), words(10, 11000), 11000, 2000},
        // The reflector says it sent the reply before it got the probe.
        {words(10, 0), words(10, 9000), words(10, 1000), words(10, 11000), 11000, 0},
        {words(10, 0), words(10, 0), words(30, 0), words(10, 11000), 11000, 11000},
        // Its words cross 2038 and 2106.
        {words(0x7FFFFFFF, 990000), words(0x7FFFFFFF, 999500), words(0x80000000, 500),
         words(0x80000000, 5000), 15000, 1000},
        {words(0xFFFFFFFF, 990000), words(0xFFFFFFFF, 999500), words(0, 500), words(0, 5000), 15000,
         1000},
        // Unreadable reflector words: no hold.
        {words(10, 0), words(10, 1000), words(10, 5000000), words(10, 11000), 11000, 0},
        // Our clock stepped back between send and receive.
        {words(10, 5000), words(10, 5000), words(10, 5000), words(10, 0), 0, 0},
    };
    for (const auto& c : cases) {
        auto times = ResponseTimes::of(c.sent, c.in, c.out, c.received);
        ASSERT_TRUE(times.has_value());
        EXPECT_EQ(times->roundTrip, c.roundTrip) << c.in.seconds << "." << c.in.microseconds;
        EXPECT_EQ(times->held, c.held) << c.in.seconds << "." << c.in.microseconds;
    }
    EXPECT_FALSE(ResponseTimes::of(words(10, 2000000), words(10, 0), words(10, 0), words(10, 0))
                     .has_value());
}

TEST(ResponseArithmeticTest, LossAndAverageInTheFinalFigures) {
    auto record = runningRecord();
    for (int i = 0; i < 10; ++i) record->addPacketSent();
    for (int i = 0; i < 9; ++i) {
        record->addPacketReceived();
        record->addResponseFigures(8000, 0, 5);
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
        setRemoteAgentCacheClockForTests({});
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

    // A finished test of four probes against a reflector on `port`, asking `dscp`.
    std::shared_ptr<TestResult> markedRun(int reflectorPort, int dscp) {
        remoteAgentWithReflector(reflectorPort);
        emptyRemoteAgentCache();
        auto record = newRecord();
        record->setDscp(dscp);
        ResponseTestThread thread(record, "127.0.0.1", 4044, 100, 4, 50, 20, dscp, -1, 0, false);
        thread.start();
        thread.join();
        EXPECT_EQ(record->getPacketsReceived(), 4);
        return record;
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
    // The first row is the first reply: "sent / received" when it came back,
    // and a slow reply may come back after the next probe has left.
    auto first = record->getRow(0);
    ASSERT_TRUE(first.has_value());
    const std::string& counts = first->cells.at(0);
    int sentThen = 0, received = 0;
    ASSERT_EQ(std::sscanf(counts.c_str(), "%d / %d", &sentThen, &received), 2) << counts;
    EXPECT_EQ(received, 1) << counts;
    EXPECT_TRUE(sentThen >= 1 && sentThen <= 8) << counts;
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

TEST_F(ResponseTestThreadTest, AHoldBelowZeroOrAcross2038DoesNotInflateTheLatency) {
    // Each reply leaves 5 ms after its probe came, with reflector times that
    // are broken (out before in, by ten seconds) or cross the 2038 boundary
    // of the seconds word (a hold of 1 ms).
    std::atomic<int> probe{0};
    ScriptedReflector odd([&](std::vector<std::uint8_t>& bytes, const auto& send) {
        std::this_thread::sleep_for(5ms);
        bool broken = probe++ % 2 == 0;
        ProbePacket::writeProbeTime(bytes.data(), ProbePacket::kReflectorReceiveSeconds,
                                    broken ? words(2000000000, 0) : words(0x7FFFFFFF, 999500));
        ProbePacket::writeProbeTime(bytes.data(), ProbePacket::kReflectorSendSeconds,
                                    broken ? words(1999999990, 0) : words(0x80000000, 500));
        send(bytes);
    });
    remoteAgentWithReflector(odd.port());
    auto record = newRecord();
    auto thread = makeThread(record, 4, 50, 20);
    thread->start();
    thread->join();
    ASSERT_EQ(record->getRowCount(), 4);
    for (int i = 0; i < 4; ++i) {
        auto row = record->getRow(i);
        // Half of a round trip of a few milliseconds: never seconds.
        int latency = std::stoi(row->cells.at(1));
        EXPECT_GE(latency, 2) << "row " << i;
        EXPECT_LT(latency, 100) << "row " << i;
        EXPECT_EQ(row->cells.at(2), i % 2 == 0 ? "0 ms" : "1 ms") << "row " << i;
    }
    EXPECT_LT(record->getAverageLatencyMs(), 100.0);
}

TEST_F(ResponseTestThreadTest, OneSecondTestSendsProbesForItsSecond) {
    // The real pause before the first probe: the time limit runs from there.
    ResponseTestThread::setWriterStartDelayForTests(1000ms);
    ResponseReflector reflector(0);
    reflector.openSocketRunThreads();
    remoteAgentWithReflector(reflector.port());
    auto record = newRecord();
    auto thread = makeThread(record, 1000, 50, 1);
    thread->start();
    thread->join();
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_GE(record->getPacketsSent(), 10);
    EXPECT_LE(record->getPacketsSent(), 21);
    EXPECT_GT(record->getPacketsReceived(), 0);
    std::string final = record->getFinalResults();
    EXPECT_NE(final.find("Network response time, or latency, is <b>"), std::string::npos) << final;
    EXPECT_NE(final.find("<br>Test ran entire time period you asked for."), std::string::npos)
        << final;
}

TEST_F(ResponseTestThreadTest, CancelEndsTheReaderAtOnceWithRepliesOutstanding) {
    ScriptedReflector silent([](std::vector<std::uint8_t>&, const auto&) {});
    remoteAgentWithReflector(silent.port());
    auto record = newRecord();
    auto thread = makeThread(record, 100000, 50, 60);
    thread->start();
    ASSERT_TRUE(waitFor([&] { return silent.probes() >= 3; }));
    auto cancelledAt = Clock::now();
    record->setCancelled();
    thread->join();
    auto took = Clock::now() - cancelledAt;
    // Both workers look at the flag every 50 ms; nothing waits for replies.
    EXPECT_LT(took, 400ms) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                           << " ms";
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_NE(record->getFinalResults().find("<br>This test was cancelled by the user."),
              std::string::npos);
}

TEST_F(ResponseTestThreadTest, AFailedSendIsReportedAndNotCountedAsSent) {
    // Broadcast without SO_BROADCAST: the system refuses the send.
    int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    destination.sin_port = htons(9);
    auto record = runningRecord();
    ResponseTestControl control(10s);
    control.startTimeLimit();
    {
        ResponseWriterThread writer(socket, destination, 100, 5, 50, -1, -1, control, record);
        writer.start();
        writer.join();
    }
    ::close(socket);
    EXPECT_EQ(record->getPacketsSent(), 0);
    std::string output = record->getOutputText();
    EXPECT_NE(output.find("<p>A probe could not be sent to the remote reflector (error "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("; no more probes were sent.</p>"), std::string::npos) << output;
    EXPECT_NE(control.sendFailure().find("could not be sent"), std::string::npos);
    // Nothing left waiting for a reply that cannot come.
    std::uint8_t probe[ProbePacket::kHeaderBytes] = {};
    EXPECT_FALSE(control.takeReply(
        ProbePacket::timeKey(ProbePacket::readProbeTime(probe, ProbePacket::kSendSeconds))));
}

TEST_F(ResponseTestThreadTest, ARemoteWithoutAReflectorPortEndsWithThatReason) {
    // A status reply that stops after the streaming port.
    agent_ = std::make_unique<testing::FakeAgent>("3.2\r\nready\r\n4045\r\n4046\r\n0\r\n");
    setAgentControlPortForTests(agent_->port());
    auto record = newRecord();
    auto thread = makeThread(record, 5, 50, 10);
    thread->start();
    thread->join();
    const std::string reason =
        "The remote agent at 127.0.0.1 did not name its response reflector port, so no probes "
        "were sent.";
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_EQ(record->getPacketsSent(), 0);
    EXPECT_EQ(record->getFinalResults(), reason);
    EXPECT_EQ(record->getOutputText(), "<p>" + reason + "</p>\n");
    EXPECT_NE(record->xmlDocument().find("<finalResults>" + reason + "</finalResults>"),
              std::string::npos);
}

TEST_F(ResponseTestThreadTest, AFailedLocalSocketEndsWithThatReason) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks (a member call's type check, a report) need
    // descriptors too; with none left they report faults that are not there.
    GTEST_SKIP() << "needs every descriptor used up, which the sanitizers cannot live with";
#endif
    remoteAgentWithReflector(4047);
    std::string why;
    auto record = newRecord();
    // Known already, so the test needs no connection for its check.
    ASSERT_NE(checkRemoteAgentForTest("127.0.0.1", *record, &why), nullptr);
    int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);  // no descriptor more
    auto thread = makeThread(record, 5, 50, 10);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    thread->start();
    thread->join();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_EQ(record->getFinalResults(),
              "Could not open a UDP socket for the response test (error 10024: Too many open "
              "files.).");
    EXPECT_NE(record->getOutputText().find("<p>Could not open a UDP socket"), std::string::npos)
        << record->getOutputText();
}

TEST_F(ResponseTestThreadTest, ARemoteRestartedOnOtherPortsIsReachedOnceItsStatusIsAskedAgain) {
    // The remote agent's status names whichever reflector it runs now.
    std::atomic<int> reflectorPort{0};
    agent_ = std::make_unique<testing::FakeAgent>([&](const std::string&) {
        return "3.2\r\nready\r\n4045\r\n4046\r\n" + std::to_string(reflectorPort.load()) +
               "\r\n0\r\n";
    });
    setAgentControlPortForTests(agent_->port());
    auto now = Clock::now();
    setRemoteAgentCacheClockForTests([&] { return now; });
    auto answer = [](std::vector<std::uint8_t>& probe, const auto& send) {
        stampNow(probe);
        send(probe);
    };
    auto runOnce = [&] {
        auto record = newRecord();
        auto thread = makeThread(record, 2, 50, 10);
        thread->start();
        thread->join();
        return record;
    };

    auto first = std::make_unique<ScriptedReflector>(answer);
    reflectorPort = first->port();
    EXPECT_EQ(runOnce()->getPacketsReceived(), 2);
    EXPECT_EQ(agent_->requestCount(), 1);

    // The remote agent restarts with its reflector elsewhere. Asked a minute
    // and a second ago, its status has expired: the next test asks again.
    first.reset();
    auto second = std::make_unique<ScriptedReflector>(answer);
    reflectorPort = second->port();
    now += kRemoteAgentStatusLifetime + 1s;
    auto record = runOnce();
    EXPECT_EQ(agent_->requestCount(), 2);
    EXPECT_EQ(record->getPacketsReceived(), 2);
    EXPECT_EQ(record->getOutputText(), "");

    // Restarted again before the status expired: no reply comes, the test
    // says why that may be, and the stale status is forgotten.
    second.reset();
    ScriptedReflector third(answer);
    reflectorPort = third.port();
    record = runOnce();
    EXPECT_EQ(agent_->requestCount(), 2);
    EXPECT_EQ(record->getPacketsSent(), 2);
    EXPECT_EQ(record->getPacketsReceived(), 0);
    EXPECT_NE(record->getOutputText().find(ResponseTestThread::kNoRepliesText), std::string::npos)
        << record->getOutputText();
    EXPECT_EQ(findRemoteAgentStatus("127.0.0.1"), nullptr);
    EXPECT_EQ(runOnce()->getPacketsReceived(), 2);
    EXPECT_EQ(agent_->requestCount(), 3);
}

// ---------------------------------------------------------------- the marking seen at the far end

// Word 44 of the reply is what the reflector saw of the probe's marking; the
// reply's own TOS byte is what came back (loopback keeps both).
TEST_F(ResponseTestThreadTest, TheReflectorTellsWhatItSawAndTheReplyWhatCameBack) {
    ResponseReflector reflector(0);
    reflector.openSocketRunThreads();
    auto marked = markedRun(reflector.port(), 46);
    std::string xml = marked->xmlDocument();
    EXPECT_NE(xml.find("<dscpAsked>46</dscpAsked>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<dscpSeenAtReflector>46</dscpSeenAtReflector>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<dscpCameBack>46</dscpCameBack>"), std::string::npos) << xml;
    EXPECT_NE(marked->getExtraHtml().find("Packet marking (DSCP): asked <b>46</b>, seen at the "
                                          "remote reflector <b>46</b>, came back <b>46</b>."),
              std::string::npos)
        << marked->getExtraHtml();

    auto plain = markedRun(reflector.port(), -1);
    xml = plain->xmlDocument();
    EXPECT_NE(xml.find("<dscpSeenAtReflector>0</dscpSeenAtReflector>"), std::string::npos) << xml;
    EXPECT_NE(
        plain->getExtraHtml().find("asked <b>none</b>, seen at the remote reflector <b>0</b>"),
        std::string::npos)
        << plain->getExtraHtml();
}

TEST_F(ResponseTestThreadTest, AReflectorThatLeavesWord44ZeroIsUnknownNeverZero) {
    // A reflector from before word 44 echoes it as it came (zero); others
    // write what no reflector of ours writes.
    for (std::optional<std::uint32_t> word :
         {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{0xFFFFFFFF},
          std::optional<std::uint32_t>{46}}) {
        ScriptedReflector old([word](std::vector<std::uint8_t>& probe, const auto& send) {
            stampNow(probe);
            if (word) ProbePacket::writeWord(probe.data(), ProbePacket::kSeenDscp, *word);
            send(probe);
        });
        auto record = markedRun(old.port(), -1);
        std::string xml = record->xmlDocument();
        EXPECT_NE(xml.find("<dscpSeenAtReflector>unknown</dscpSeenAtReflector>"), std::string::npos)
            << xml;
        // The reply's own marking is read by this side: unmarked, 0.
        EXPECT_NE(xml.find("<dscpCameBack>0</dscpCameBack>"), std::string::npos) << xml;
        EXPECT_NE(record->getExtraHtml().find("seen at the remote reflector <b>unknown</b>"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace trellon
