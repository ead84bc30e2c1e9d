// The agents' /metrics pages scraped by a real Prometheus (Debian's package),
// started by the test in one lab host on a loopback port with a one-second
// scrape interval; two agents, one response test between them, and the
// query API must give back that test's latency.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "support/lab_agents.h"
#include "support/response_test_helpers.h"
#include "support/test_support.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
using response::httpGet;
using response::waitUntilDone;

constexpr int kPrometheusPort = 19090;

// GET from the Prometheus in `host`; the body.
std::string prometheusGet(const Host& host, const std::string& path) {
    std::string error;
    std::string reply = host.tcpExchange("127.0.0.1", kPrometheusPort,
                                         "GET " + path + " HTTP/1.0\r\n\r\n", 5s, &error);
    std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

class MetricsLab : public LabAgents {};

TEST_F(MetricsLab, PrometheusScrapesTwoAgentsAndGivesBackATestsLatency) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    NETLAB_SKIP_UNLESS_TOOL("prometheus", "prometheus");
    startDirect();
    const Host& a = a_;
    const Host& b = b_;

    int id = response::startResponseTest(a, b.address(), 20, 50, 10);
    ASSERT_EQ(id, 1);
    std::string xml = waitUntilDone(a, id, 30s, 100ms);
    ASSERT_EQ(element(xml, "done"), "1") << xml;
    double latencyMs = std::stod(element(xml, "latencyMicroseconds")) / 1000;

    testing::TempDir dir;
    testing::writeFile(dir.file("prometheus.yml"),
                       "global:\n"
                       "  scrape_interval: 1s\n"
                       "  scrape_timeout: 1s\n"
                       "scrape_configs:\n"
                       "  - job_name: trellon\n"
                       "    metrics_path: /metrics\n"
                       "    static_configs:\n"
                       "      - targets: ['127.0.0.1:4044', '" +
                           b.address() + ":4044']\n");
    Process prometheus =
        a.start({"prometheus", "--config.file=" + dir.file("prometheus.yml"),
                 "--storage.tsdb.path=" + dir.file("data"),
                 "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)});
    // Both agents up, and the latency of the test a ran against b, from the query API.
    const std::string query = "/api/v1/query?query=trellon_last_latency_milliseconds";
    const std::string up = "/api/v1/query?query=up";
    std::string answer, upAnswer;
    auto end = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        answer = prometheusGet(a, query);
        upAnswer = prometheusGet(a, up);
        bool both =
            upAnswer.find("\"instance\":\"127.0.0.1:4044\"") != std::string::npos &&
            upAnswer.find("\"instance\":\"" + b.address() + ":4044\"") != std::string::npos &&
            upAnswer.find("\"0\"]") == std::string::npos;
        if (both && answer.find("\"remote\":\"" + b.address() + "\"") != std::string::npos) break;
        ASSERT_TRUE(prometheus.running()) << prometheus.output();
        ASSERT_LT(std::chrono::steady_clock::now(), end)
            << "query: " << answer << "\nup: " << upAnswer << "\n"
            << prometheus.output();
        std::this_thread::sleep_for(500ms);
    }
    std::printf("prometheus: %s\n", answer.c_str());
    EXPECT_NE(answer.find("\"instance\":\"127.0.0.1:4044\""), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"type\":\"Response\""), std::string::npos) << answer;
    // The value: [time, "text"].
    std::size_t at = answer.find("\"value\":[");
    ASSERT_NE(at, std::string::npos) << answer;
    std::size_t quote = answer.find(",\"", at);
    ASSERT_NE(quote, std::string::npos) << answer;
    double scraped = std::stod(answer.substr(quote + 2));
    EXPECT_NEAR(scraped, latencyMs, 0.001) << answer << "\n" << xml;
    // b's reflector answered the test's probes, and says so.
    std::string probes = prometheusGet(
        a, "/api/v1/query?query=trellon_reflector_probes_answered_total%7Binstance%3D%22" +
               b.address() + "%3A4044%22%7D");
    at = probes.find("\"value\":[");
    ASSERT_NE(at, std::string::npos) << probes;
    quote = probes.find(",\"", at);
    ASSERT_NE(quote, std::string::npos) << probes;
    EXPECT_GE(std::stod(probes.substr(quote + 2)), 20.0) << probes;
    EXPECT_NE(httpGet(b, "/metrics").find("trellon_reflector_probes_dropped_total 0\n"),
              std::string::npos);
    prometheus.stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace trellon::netlab
