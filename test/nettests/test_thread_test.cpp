#include "nettests/test_thread.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "lib/agent_state.h"
#include "lib/socket_exception.h"
#include "nettests/fake_agent.h"
#include "nettests/remote_agent_status.h"
#include "results/test_log.h"
#include "results/test_result.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using testing::FakeAgent;

constexpr const char* kStatusReply = "3.2\r\nready\r\n4045\r\n4046\r\n4047\r\n0\r\n";

// A test whose runTest does what the case asks and notes what it saw.
class ProbeTestThread : public PerformanceTestThread {
public:
    ProbeTestThread(std::shared_ptr<TestResult> result, std::string host,
                    std::function<void()> body)
        : PerformanceTestThread("ProbeTestThread", std::move(result), std::move(host), 4044, 30, 0,
                                -1, -1, 1),
          body_(std::move(body)) {}
    ~ProbeTestThread() override { join(); }

    void runTest() override {
        ran = true;
        runningDuringTest = AgentState::current()->testsRunning.load();
        stateDuringTest = result()->getState();
        body_();
    }

    bool ran = false;
    int runningDuringTest = -1;
    int stateDuringTest = 0;

private:
    std::function<void()> body_;
};

class TestThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        emptyRemoteAgentCache();
        setAgentControlPortForTests(agent_.port());
    }
    void TearDown() override {
        emptyRemoteAgentCache();
        setAgentControlPortForTests(kAgentControlPort);
    }

    std::shared_ptr<TestResult> newRecord() {
        return std::make_shared<TestResult>(next_++, LocalEndpoint{"here", "here", 4044});
    }

    // Runs a probe test to its end; returns its console output.
    std::string run(ProbeTestThread& thread) {
        return testing::captureStdout([&] {
            thread.start();
            thread.join();
        });
    }

    AgentState state_;
    FakeAgent agent_{kStatusReply};
    int next_ = 1;
};

TEST_F(TestThreadTest, ConstructionCountsAndFillsTheRecord) {
    int created = state_.testsCreated.load();
    auto record = newRecord();
    ProbeTestThread a(record, "127.0.0.1", [] {});
    ProbeTestThread b(newRecord(), "127.0.0.1", [] {});
    EXPECT_EQ(state_.testsCreated.load(), created + 2);
    EXPECT_EQ(b.sequenceNumber(), a.sequenceNumber() + 1);
    EXPECT_EQ(record->getRemoteComputer(), "127.0.0.1");
    EXPECT_EQ(record->getRemotePort(), 4044);
    EXPECT_NE(record->getXmlExtras().find("    <remotePort>4044</remotePort>\n"),
              std::string::npos);
    EXPECT_EQ(a.remoteDataSinkPort(), -1);
    EXPECT_EQ(a.remoteReflectorPort(), -1);
}

TEST_F(TestThreadTest, SuccessfulRunRecordsTheStartAndCountsWhileRunning) {
    auto record = newRecord();
    ProbeTestThread thread(record, "127.0.0.1", [] {});
    int before = state_.testsRunning.load();
    run(thread);
    EXPECT_TRUE(thread.ran);
    EXPECT_EQ(thread.runningDuringTest, before + 1);
    EXPECT_EQ(state_.testsRunning.load(), before);
    EXPECT_EQ(thread.stateDuringTest, TestResult::kStarting);
    EXPECT_EQ(thread.remoteDataSinkPort(), 4045);
    EXPECT_EQ(thread.remoteReflectorPort(), 4047);
    EXPECT_GT(record->getStartTime(), 0);
    EXPECT_EQ(record->getStartTime(), thread.startTime());
    EXPECT_EQ(record->getTimeLimit(), 30);
    std::string xml = record->getXmlExtras();
    std::size_t start = xml.find("    <start>");
    ASSERT_NE(start, std::string::npos);
    EXPECT_LT(start, xml.find("    <startTime>"));
    EXPECT_LT(xml.find("    <startTime>"), xml.find("    <timeLimit>30</timeLimit>\n"));
    EXPECT_EQ(record->getOutputText(), "");
}

TEST_F(TestThreadTest, FailedRemoteCheckPutsTheCountBack) {
    auto record = newRecord();
    ProbeTestThread thread(record, "no-such-agent.invalid", [] {});
    int before = state_.testsRunning.load();
    run(thread);
    EXPECT_FALSE(thread.ran);
    EXPECT_EQ(state_.testsRunning.load(), before);
    EXPECT_EQ(record->getOutputText(), "<p>Sorry, could not find no-such-agent.invalid</p>\n");
    // Finished with the reason as its final text, so the results page stops
    // refreshing and says why (not "Test is still running...").
    EXPECT_EQ(record->getState(), TestResult::kFinished);
    EXPECT_EQ(record->getFinalResults(), "Sorry, could not find no-such-agent.invalid");
    EXPECT_EQ(record->getStartTime(), -1);

    auto unanswered = newRecord();
    setAgentControlPortForTests(testing::closedLoopbackPort());
    ProbeTestThread second(unanswered, "127.0.0.1", [] {});
    run(second);
    EXPECT_EQ(unanswered->getFinalResults(),
              "Sorry, we can contact 127.0.0.1 but either the port number is wrong or it does not "
              "have the software installed.");
}

TEST_F(TestThreadTest, ExceptionsFromTheTestAreRecorded) {
    struct Case {
        const char* name;
        std::function<void()> body;
        const char* paragraph;
        const char* console;
        const char* finalText;
    };
    const Case cases[] = {
        {"socket", [] { throw SocketException("Failed to connect", 10061); },
         "<h4>Socket exception recorded</h4><p>\nFailed to connect, code=10061, severity=1 (File: "
         "test_thread.cpp line ",
         "Socket exception (error) Failed to connect (Error 10061)\n(TestThread::Run() "
         "test_thread.cpp at line ",
         "The test ended because of a socket error: Failed to connect (error 10061)."},
        {"runtime", [] { throw std::runtime_error("no <buffer>"); },
         "<h4>Runtime exception recorded</h4><p>\nno &lt;buffer&gt; (File: test_thread.cpp line ",
         "std::runtime_error: no <buffer>\n(TestThread::Run() test_thread.cpp at line ",
         "The test ended because of an error: no &lt;buffer&gt;."},
        {"other", [] { throw 42; },
         "<h4>Unidentified runtime exception recorded</h4><p>\n (File: test_thread.cpp line ",
         "Unknown exception.  (TestThread::Run() test_thread.cpp at line ",
         "The test ended because of an unexpected error."},
        {"no figures", [] {}, "", "", PerformanceTestThread::kNoFiguresText},
    };
    for (const auto& c : cases) {
        auto record = newRecord();
        ProbeTestThread thread(record, "127.0.0.1", c.body);
        int before = state_.testsRunning.load();
        std::string console = run(thread);
        EXPECT_TRUE(thread.ran) << c.name;
        EXPECT_EQ(state_.testsRunning.load(), before) << c.name;
        EXPECT_EQ(record->getOutputText().rfind(c.paragraph, 0), 0u)
            << c.name << ": " << record->getOutputText();
        EXPECT_NE(console.find(c.console), std::string::npos) << c.name << ": " << console;
        EXPECT_EQ(thread.state(), Thread::STOPPED)
            << c.name;  // nothing escaped to the thread frame
        EXPECT_EQ(record->getState(), TestResult::kFinished) << c.name;
        EXPECT_EQ(record->getFinalResults(), c.finalText) << c.name;
    }
}

// The first test against a host asks its status; the next is answered from
// the cache.
TEST_F(TestThreadTest, SecondTestAgainstTheSameHostUsesTheCache) {
    ProbeTestThread first(newRecord(), "127.0.0.1", [] {});
    run(first);
    EXPECT_TRUE(first.ran);
    EXPECT_EQ(agent_.requestCount(), 1);
    ProbeTestThread second(newRecord(), "127.0.0.1", [] {});
    run(second);
    EXPECT_TRUE(second.ran);
    EXPECT_EQ(agent_.requestCount(), 1);
    EXPECT_EQ(second.remoteReflectorPort(), 4047);
}

// The log may drop the record while the test runs; the thread's copy stays valid.
TEST_F(TestThreadTest, RecordDroppedByTheLogStaysValidForTheThread) {
    TestLog log(1);
    auto record = log.newTestResult();
    std::weak_ptr<TestResult> watch = record;
    ProbeTestThread thread(record, "127.0.0.1", [&] {
        log.newTestResult();  // drops ours
        thread.result()->setFinalResults("still here");
    });
    record.reset();
    run(thread);
    EXPECT_EQ(thread.result()->getFinalResults(), "still here");
    EXPECT_FALSE(watch.expired());
}

}  // namespace
}  // namespace trellon
