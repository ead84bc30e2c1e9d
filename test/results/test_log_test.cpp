#include "results/test_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "http/http_server.h"
#include "lib/agent_state.h"
#include "support/test_support.h"
#include "support/thread_barrier.h"

namespace trellon {
namespace {

class TestLogTest : public ::testing::Test {
protected:
    void SetUp() override { TestLog::resetIdentifiersForTests(); }
    void TearDown() override { TestLog::destroy(); }
};

TEST_F(TestLogTest, DropsTheOldestBeyondCapacityAndNeverReusesIdentifiers) {
    TestLog log(100);
    std::vector<int> ids;
    for (int i = 0; i < 100; ++i) ids.push_back(log.newTestResult()->getTestId());
    EXPECT_EQ(ids.front(), 1);
    EXPECT_EQ(ids.back(), 100);
    EXPECT_NE(log.findTestResult(1), nullptr);

    auto hundredFirst = log.newTestResult();
    EXPECT_EQ(hundredFirst->getTestId(), 101);
    EXPECT_EQ(log.count(), 100);
    EXPECT_EQ(log.findTestResult(1), nullptr);
    ASSERT_NE(log.findTestResult(2), nullptr);
    EXPECT_EQ(log.findTestResult(2)->getTestId(), 2);
    EXPECT_EQ(log.findTestResult(101), hundredFirst);
    EXPECT_EQ(log.newTestResult()->getTestId(), 102);
    EXPECT_EQ(log.findTestResult(0), nullptr);
    EXPECT_EQ(log.findTestResult(-1), nullptr);
}

TEST_F(TestLogTest, FirstRecordStartsWithLocalNameAndPort) {
    AgentState agent;
    agent.controlPort = 4144;
    setHostName("probe-host");
    TestLog log(10);
    auto first = log.newTestResult();
    EXPECT_EQ(first->getTestId(), 1);
    EXPECT_EQ(first->getXmlExtras().rfind("    <localName>probe-host</localName>\n"
                                          "    <localPort>4144</localPort>\n",
                                          0),
              0u)
        << first->getXmlExtras();
    EXPECT_EQ(first->getLocalComputer(), "probe-host");
    EXPECT_EQ(first->getLocalPort(), 4144);
    EXPECT_EQ(first->getResultsUrl(), "http://probe-host:4144/results?id=1&format=html");
    setHostName("unknown");
}

TEST_F(TestLogTest, FinishedRecordDroppedWhileHeldStaysValid) {
    TestLog log(1);
    auto page = log.newTestResult();
    std::weak_ptr<TestResult> watch = page;
    page->setState(TestResult::kFinished);
    auto next = log.newTestResult();
    EXPECT_EQ(log.findTestResult(page->getTestId()), nullptr);
    // A page still holding it goes on rendering it.
    page->addRowFromLine(0, "1\t2");
    EXPECT_NE(page->xmlDocument().find("<done>1</done>"), std::string::npos);
    page.reset();
    EXPECT_TRUE(watch.expired());
}

// Records of tests that still run are never dropped, so each can be found
// and cancelled; beyond capacity the oldest ended ones go first, and a
// record whose test never started goes once nobody holds it.
TEST_F(TestLogTest, RunningRecordsStayFindableUntilTheyEnd) {
    TestLog log(2);
    std::vector<std::shared_ptr<TestResult>> running;
    for (int state : {TestResult::kNotStarted, TestResult::kStarting, TestResult::kRunning,
                      TestResult::kWaitingForFinalData}) {
        running.push_back(log.newTestResult());
        if (state != TestResult::kNotStarted) running.back()->setState(state);
    }
    EXPECT_EQ(log.count(), 4);
    for (const auto& record : running) {
        auto found = log.findTestResult(record->getTestId());
        ASSERT_EQ(found, record);
        found->setCancelled();
    }

    // Ends of either kind: finished, or let go before it ever started.
    running[1]->setState(TestResult::kFinished);
    running[0].reset();  // identifier 1, never started
    auto fifth = log.newTestResult();
    EXPECT_EQ(log.count(), 3);  // 3 and 4 still run; 5 is new
    EXPECT_EQ(log.findTestResult(1), nullptr);
    EXPECT_EQ(log.findTestResult(2), nullptr);
    EXPECT_EQ(log.findTestResult(3), running[2]);
    EXPECT_EQ(log.findTestResult(4), running[3]);

    // Once they end, the log shrinks back to its capacity, oldest first.
    running[3]->setState(TestResult::kFinished);
    running[2]->setState(TestResult::kFinished);
    auto sixth = log.newTestResult();
    EXPECT_EQ(log.count(), 2);
    EXPECT_EQ(log.findTestResult(3), nullptr);
    EXPECT_EQ(log.findTestResult(4), nullptr);
    EXPECT_EQ(log.findTestResult(5), fifth);
    EXPECT_EQ(log.findTestResult(6), sixth);
}

TEST_F(TestLogTest, CapacityBelowOneIsRaisedToOne) {
    for (int capacity : {0, -5}) {
        TestLog log(capacity);
        EXPECT_EQ(log.capacity(), 1);
        auto record = log.newTestResult();
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(log.findTestResult(record->getTestId()), record);
        record->setState(TestResult::kFinished);
        auto second = log.newTestResult();
        EXPECT_EQ(log.findTestResult(record->getTestId()), nullptr);
        EXPECT_EQ(log.findTestResult(second->getTestId()), second);
        EXPECT_EQ(log.count(), 1);
    }
}

TEST_F(TestLogTest, ProcessLogIsCreatedOnceAndIdentifiersOutliveIt) {
    EXPECT_EQ(TestLog::instance(), nullptr);
    TestLog::create(5);
    TestLog* first = TestLog::instance();
    ASSERT_NE(first, nullptr);
    TestLog::create(50);
    EXPECT_EQ(TestLog::instance(), first);
    EXPECT_EQ(TestLog::instance()->capacity(), 5);
    EXPECT_EQ(TestLog::instance()->newTestResult()->getTestId(), 1);
    TestLog::destroy();
    EXPECT_EQ(TestLog::instance(), nullptr);
    TestLog::create(5);
    EXPECT_EQ(TestLog::instance()->newTestResult()->getTestId(), 2);
}

// Creators fill a small log from several threads while a reader finds and
// renders whatever is there; the sanitizer builds check the sharing.
TEST_F(TestLogTest, CreateDropAndRenderFromSeveralThreads) {
    constexpr int kCreators = 4;
    constexpr int kPerCreator = 300;
    TestLog log(8);
    testing::ThreadBarrier start(kCreators + 1);
    std::atomic<int> creatorsLeft{kCreators};
    std::vector<std::vector<int>> ids(kCreators);
    std::vector<std::thread> threads;
    for (int c = 0; c < kCreators; ++c) {
        threads.emplace_back([&, c] {
            start.arriveAndWait();
            for (int i = 0; i < kPerCreator; ++i) {
                auto record = log.newTestResult();
                ids[c].push_back(record->getTestId());
                record->setTitle("t<" + std::to_string(i) + ">");
                record->addRowFromLine(i, "a\tb\tc");
                if (i % 3 == 0) record->setState(TestResult::kFinished);
            }
            --creatorsLeft;
        });
    }
    std::atomic<long> rendered{0};
    threads.emplace_back([&] {
        start.arriveAndWait();
        int probe = 1;
        while (creatorsLeft.load() > 0) {
            if (auto record = log.findTestResult(probe)) {
                rendered += static_cast<long>(record->xmlDocument().size() +
                                              record->progressTableHtml().size());
                record->addRow(0, {"x"});
            }
            probe = probe % (kCreators * kPerCreator) + 1;
        }
    });
    for (auto& t : threads) t.join();

    std::set<int> all;
    for (const auto& list : ids) {
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kCreators * kPerCreator));
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), kCreators * kPerCreator);
    // Records still held by their creators were kept; held by nobody now,
    // the next record brings the log back to its capacity.
    EXPECT_LE(log.count(), 8 + kCreators + 1);
    log.newTestResult();
    EXPECT_EQ(log.count(), 8);
}

}  // namespace
}  // namespace trellon

namespace trellon {
namespace {

// Records are made on test threads and by the data sink while the control
// port's server is rebuilt (the retry after a failed listen) and destroyed.
TEST_F(TestLogTest, RecordsMadeWhileTheServerIsRebuiltNameThisSite) {
    testing::TempDir root;
    TestLog log(4);
    std::atomic<bool> done{false};
    std::atomic<int> made{0};
    std::thread maker([&] {
        while (!done.load()) {
            auto record = log.newTestResult();
            if (record && !record->getLocalComputer().empty()) ++made;
            if (auto finished = log.findTestResult(record->getTestId()))
                finished->setState(TestResult::kFinished);
        }
    });
    for (int i = 0; i < 3000 && made.load() < 500; ++i) {
        HttpServer server(4061, false, root.path(), false, "");
        std::this_thread::yield();
    }
    done.store(true);
    maker.join();
    EXPECT_GT(made.load(), 0);
}

}  // namespace
}  // namespace trellon
