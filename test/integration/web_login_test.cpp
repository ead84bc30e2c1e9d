// The web log-in of the real agent, asked with curl as a person's browser and
// a program would: with it on, every page, command and file wants the
// credentials (HTTP basic), and only what other agents ask stays open.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/agent_process.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

// The status code curl saw (and the body into *body).
int curlStatus(const std::string& url, const std::string& credentials = "",
               std::string* body = nullptr) {
    // --http0.9: the agent-to-agent replies are bare lines without a status line.
    std::string command = "curl -s --http0.9 -m 10 -o - -w '\\n%{http_code}' ";
    if (!credentials.empty()) command += "-u '" + credentials + "' ";
    command += "'" + url + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string output;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
    std::size_t last = output.rfind('\n');
    if (last == std::string::npos) return -1;
    if (body != nullptr) *body = output.substr(0, last);
    return std::atoi(output.c_str() + last + 1);
}

TEST(WebLogin, EveryPageWantsTheLogInButWhatAgentsAsk) {
    if (::system("curl --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "curl is missing (Debian package curl)";
    AgentProcess::Options options;
    const int port = freePort();
    options.settings = {{"controlPort", std::to_string(port)}, {"serverTcpPort", "0"},
                        {"reflectorResponsePort", "0"},       {"streamDestinationUdpPort", "0"},
                        {"authenticated", "ON"},              {"name", "operator"},
                        {"password", "s3cret pass"}};
    AgentProcess agent(options);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("for TCP bandwidth test port.", 15s)) << agent.report();
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    for (const char* path :
         {"/", "/index.htm", "/responsepage", "/response?remoteComputer=127.0.0.1&format=xml",
          "/results?id=1&format=xml", "/debug?id=1", "/showstatus", "/cancelCommand?id=1",
          "/log.txt", "/trellon.css", "/no-such-file"}) {
        EXPECT_EQ(curlStatus(base + path), 401) << path;
        EXPECT_EQ(curlStatus(base + path, "operator:wrong"), 401) << path;
        int status = curlStatus(base + path, "operator:s3cret pass");
        EXPECT_TRUE(status == 200 || status == 302) << path << " with the log-in: " << status;
    }
    // What other agents ask carries no credentials (and gets bare lines).
    std::string body;
    curlStatus(base + "/status", "", &body);
    EXPECT_EQ(body.rfind("3.2\r\n", 0), 0u) << body;
    curlStatus(base + "/cancel?id=99", "", &body);
    EXPECT_EQ(body, "FAILED\r\n");

    // And the log, read with the log-in, does not give the password away.
    ASSERT_EQ(curlStatus(base + "/log.txt", "operator:s3cret pass", &body), 200);
    EXPECT_EQ(body.find("s3cret"), std::string::npos) << body;
}

}  // namespace
}  // namespace trellon::testing
