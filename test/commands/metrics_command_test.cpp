// The /metrics page: its exposition text, the figures finished tests leave
// in it, and the log-in guarding it.
#include "commands/metrics_command.h"

#include <gtest/gtest.h>

#include <string>

#include "commands/pages_fixture.h"
#include "http/templates.h"
#include "results/test_metrics.h"

namespace trellon::testing {
namespace {

class MetricsCommandTest : public PagesTest {
protected:
    void SetUp() override {
        TestMetrics::instance().clear();
        TestMetrics::instance().setReflectorSource(nullptr);
        PagesTest::SetUp();
    }
    void TearDown() override {
        TestMetrics::instance().clear();
        TestMetrics::instance().setReflectorSource(nullptr);
        PagesTest::TearDown();
    }

    // A response test that finished with 4.5 ms each way against `remote`.
    void finishResponse(const std::string& remote) {
        auto record = newRecord();
        record->setTypeName("Response");
        record->setTestType(TestResult::kResponseTest);
        record->setRemoteComputer(remote);
        record->setState(TestResult::kRunning);
        for (int trip : {8000, 10000}) {
            record->addPacketSent();
            record->addPacketReceived();
            record->addResponseFigures(trip, 0, 1000);
        }
        record->finishResponse();
        record->setState(TestResult::kFinished);
    }
};

TEST_F(MetricsCommandTest, FinishedTestsAndCountersInTheTextFormat) {
    agent().testsCreated = 7;
    agent().testsRunning = 2;
    TestMetrics::instance().setReflectorSource([] { return TestMetrics::ReflectorCounts{41, 3}; });
    finishResponse("10.77.1.2");
    finishResponse("evil\"host\\\nname\xE9");
    HttpReply reply = get("/metrics");
    ASSERT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const std::string body = reply.body();
    EXPECT_EQ(std::to_string(body.size()), reply.header("Content-Length"));
    for (const char* line : {
             "# TYPE trellon_tests_run_total counter\ntrellon_tests_run_total 7\n",
             "# TYPE trellon_tests_in_progress gauge\ntrellon_tests_in_progress 2\n",
             "trellon_reflector_probes_answered_total 41\n",
             "trellon_reflector_probes_dropped_total 3\n",
             "# TYPE trellon_last_latency_milliseconds gauge\n",
             "trellon_last_latency_milliseconds{type=\"Response\",remote=\"10.77.1.2\"} 4.5\n",
             "trellon_last_loss_percent{type=\"Response\",remote=\"10.77.1.2\"} 0\n",
             "trellon_last_r_factor{type=\"Response\",remote=\"10.77.1.2\"} ",
             // What the user typed cannot break the format.
             "trellon_last_latency_milliseconds{type=\"Response\",remote=\"evil\\\"host\\\\_name_"
             "\"} "
             "4.5\n",
         })
        EXPECT_NE(body.find(line), std::string::npos) << line << "\n" << body;
    // Each family once, its samples together.
    EXPECT_EQ(body.find("# TYPE trellon_last_latency_milliseconds"),
              body.rfind("# TYPE trellon_last_latency_milliseconds"));
    // Every line is a comment or a sample: a name, labels perhaps, a value.
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "the text must end with a line feed";
        std::string line = body.substr(start, end - start);
        EXPECT_TRUE(line.rfind("# ", 0) == 0 || line.rfind("trellon_", 0) == 0) << line;
        start = end + 1;
    }
}

TEST_F(MetricsCommandTest, TheStoreIsBoundedAndKeepsTheLatestOfEachPair) {
    for (std::size_t i = 0; i < TestMetrics::kMaxSeries + 10; ++i)
        TestMetrics::instance().noteFinished("Response", "host" + std::to_string(i), 1, {});
    TestMetrics::instance().noteFinished("Response", "host1009", 2, {{"loss_percent", 5}});
    auto all = TestMetrics::instance().series();
    EXPECT_EQ(all.size(), TestMetrics::kMaxSeries);
    bool oldestGone = true, latestKept = false;
    for (const auto& s : all) {
        if (s.remote == "host0") oldestGone = false;
        if (s.remote == "host1009") latestKept = s.finishTime == 2 && s.figures.size() == 1;
    }
    EXPECT_TRUE(oldestGone);
    EXPECT_TRUE(latestKept);
}

TEST_F(MetricsCommandTest, TheLogInGuardsIt) {
    agent().authenticated = true;
    agent().setName("operator");
    agent().setPassword("secret");
    HttpReply reply = get("/metrics");
    EXPECT_EQ(reply.status(), 401);
    EXPECT_EQ(reply.raw.find("trellon_tests_run_total"), std::string::npos);
    reply = httpExchange(
        server_->port(),
        httpRequestText("GET", "/metrics", "HTTP/1.0",
                        "Authorization: Basic " + base64Encode("operator:secret") + "\r\n"));
    EXPECT_EQ(reply.status(), 200);
    EXPECT_NE(reply.body().find("trellon_tests_run_total"), std::string::npos);
}

}  // namespace
}  // namespace trellon::testing
