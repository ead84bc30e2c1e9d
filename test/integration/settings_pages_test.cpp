// The settings pages of the real agent: with the log-in on both ask for it,
// a change without the page's token changes nothing, a save takes effect for
// the very next request and test, and an agent killed at random moments
// while it saves leaves a settings file that loads as the old values or the
// new ones, never anything else.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "platform/settings_store.h"
#include "support/agent_process.h"
#include "support/http_client.h"
#include "support/netlab.h"
#include "support/netlab_agent.h"
#include "support/response_test_helpers.h"
#include "support/settings_helpers.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;
using settings::fieldValue;
using settings::saveQuery;
using settings::tokenOf;

std::string requestFor(int port, const std::string& path, const std::string& credentials = "") {
    std::string headers = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    if (!credentials.empty())
        headers += "Authorization: Basic " + settings::base64(credentials) + "\r\n";
    return httpRequestText("GET", path, "HTTP/1.0", headers);
}

// The reply once the agent's web server answers (it may still be starting).
HttpReply getServed(int port, const std::string& path, const std::string& credentials = "") {
    HttpReply reply;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    do {
        reply = httpExchange(port, requestFor(port, path, credentials));
        if (reply.status() > 0) return reply;
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return reply;
}

AgentProcess::Options agentOn(int port) {
    AgentProcess::Options options;
    options.settings = {{"controlPort", std::to_string(port)},
                        {"serverTcpPort", "0"},
                        {"reflectorResponsePort", "0"},
                        {"streamDestinationUdpPort", "0"}};
    return options;
}

TEST(SettingsPages, TheLogInGuardsBothPagesAndAChangeWithoutTheTokenChangesNothing) {
    const int port = freePort();
    AgentProcess::Options options = agentOn(port);
    options.settings["authenticated"] = "ON";
    options.settings["name"] = "op";
    options.settings["password"] = "old pw";
    AgentProcess agent(options);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForOutput("for TCP bandwidth test port.", 15s)) << agent.report();

    const std::string change = saveQuery("", {{"userName", "mallory"},
                                              {"password1", "x"},
                                              {"password2", "x"},
                                              {"useBasicAuthentication", "ON"}});
    for (const std::string& path : {std::string("/settings"), change}) {
        EXPECT_EQ(getServed(port, path).status(), 401) << path;
        EXPECT_EQ(getServed(port, path, "op:wrong").status(), 401) << path;
    }
    HttpReply page = getServed(port, "/settings", "op:old pw");
    ASSERT_EQ(page.status(), 200);
    const std::string token = tokenOf(page.body());
    ASSERT_EQ(token.size(), 32u) << page.body().substr(0, 2000);

    // What a link on another site makes a logged-in browser send: the
    // log-in, no token, no Referer of ours.
    const std::string before = readFile(agent.settingsPath());
    HttpReply foreign = getServed(port, change, "op:old pw");
    EXPECT_EQ(foreign.status(), 200);
    EXPECT_NE(foreign.body().find("the change did not come from this agent's settings page"),
              std::string::npos)
        << foreign.body().substr(0, 2000);
    EXPECT_EQ(readFile(agent.settingsPath()), before);
    EXPECT_EQ(getServed(port, "/settings", "op:old pw").status(), 200);

    // From the agent's own page: stored, saved, and the next request wants the new log-in.
    HttpReply saved = getServed(port,
                                saveQuery(token, {{"userName", "op2"},
                                                  {"password1", "new+pw"},
                                                  {"password2", "new+pw"},
                                                  {"useBasicAuthentication", "ON"},
                                                  {"responseTimeLimit", "30"}}),
                                "op:old pw");
    EXPECT_EQ(saved.status(), 200);
    EXPECT_NE(saved.body().find("URL=http://127.0.0.1:" + std::to_string(port) + "/settings"),
              std::string::npos)
        << saved.body().substr(0, 2000);
    EXPECT_EQ(getServed(port, "/settings", "op:old pw").status(), 401);
    const std::string shown = getServed(port, "/settings", "op2:new pw").body();
    EXPECT_EQ(fieldValue(shown, "userName"), "op2");
    EXPECT_EQ(fieldValue(shown, "responseTimeLimit"), "30");
    platform::SettingsStore store(agent.settingsPath());
    std::string value;
    EXPECT_TRUE(store.readValue("name", value) && value == "op2") << value;
    EXPECT_TRUE(store.readValue("password", value) && value == "new pw");
    EXPECT_TRUE(store.readValue("responseTimeLimit", value) && value == "30") << value;
    ASSERT_TRUE(agent.signal(SIGINT));
    EXPECT_EQ(agent.waitForExit(15s), 0);
}

// The values of save number k: each setting the page changes differs from
// one save to the next, so a file mixing two saves is told apart.
std::map<std::string, std::string> valuesOfSave(int k) {
    const std::string n = std::to_string(k);
    return {{"userName", "user" + n},
            {"password1", "pw" + n},
            {"password2", "pw" + n},
            {"hint", "hint" + n},
            {"responseTimePort", std::to_string(10000 + k)},
            {"bandwidthTimeLimit", std::to_string(k + 1)},
            {"invisible", k % 2 ? "ON" : ""}};
}

// Which save the file holds (0: the file the agent started from; -1: none
// of them, or a mixture), read as the agent's settings load reads it.
int saveInFile(const std::string& path, std::string& why) {
    platform::SettingsStore store(path);
    std::string name, password, hint, port, limit, invisible;
    const int found = store.readValue("name", name) + store.readValue("password", password) +
                      store.readValue("hint", hint) + store.readValue("responseTimePort", port) +
                      store.readValue("bandwidthTimeLimit", limit) +
                      store.readValue("sampleInvisible", invisible);
    // The first agent starts from a file with its ports only; a kill before
    // its first save leaves that file as it was.
    if (found == 0) return 0;
    if (found < 6) {
        why = "a value cannot be read back:\n" + readFile(path);
        return -1;
    }
    if (name.rfind("user", 0) != 0) return 0;  // the file the agent started from
    const int k = std::atoi(name.c_str() + 4);
    if (password != "pw" + std::to_string(k) || hint != "hint" + std::to_string(k) ||
        port != std::to_string(10000 + k) || limit != std::to_string(k + 1) ||
        invisible != (k % 2 ? "yes" : "no")) {
        why = "values of different saves:\n" + readFile(path);
        return -1;
    }
    return k;
}

// Every name=value line of a settings file.
std::map<std::string, std::string> fileSettings(const std::string& path) {
    std::map<std::string, std::string> values;
    const std::string text = readFile(path);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[platform::SettingsStore::unescape(line.substr(0, equals))] =
                platform::SettingsStore::unescape(line.substr(equals + 1));
        at = end + 1;
    }
    return values;
}

TEST(SettingsPages, AKillDuringSavesLeavesTheOldOrTheNewValues) {
    std::random_device seeder;
    const unsigned seed = seeder();
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const int port = freePort();
    AgentProcess::Options options = agentOn(port);

    int saves = 0;
    int inFile = 0;  // the save the settings file holds (0: none yet)
    int rounds = 0;
    int landed = 0;  // kills after the save under way reached the file
    int lost = 0;    // kills before it did
    while (saves < 200) {
        ++rounds;
        AgentProcess agent(options);
        ASSERT_TRUE(agent.start());
        HttpReply page = getServed(port, "/settings");
        ASSERT_EQ(page.status(), 200) << agent.report();
        // The restarted agent shows what the file held.
        if (inFile > 0) {
            EXPECT_EQ(fieldValue(page.body(), "userName"), "user" + std::to_string(inFile));
            EXPECT_EQ(fieldValue(page.body(), "hint"), "hint" + std::to_string(inFile));
        }
        const std::string token = tokenOf(page.body());

        const int quick = std::uniform_int_distribution<int>(0, 30)(random);
        int acknowledged = inFile;
        for (int i = 0; i < quick && saves < 199; ++i) {
            ++saves;
            HttpReply reply =
                httpExchange(port, requestFor(port, saveQuery(token, valuesOfSave(saves))));
            ASSERT_EQ(reply.status(), 200) << reply.raw.substr(0, 500);
            acknowledged = saves;
        }
        // One more, and the kill while it is under way (or soon before or after).
        ++saves;
        HttpClientConnection last(port);
        ASSERT_TRUE(last.connected());
        ASSERT_TRUE(last.send(requestFor(port, saveQuery(token, valuesOfSave(saves)))));
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 4000)(random)));
        ASSERT_TRUE(agent.signal(SIGKILL));
        agent.waitForExit(10s);

        std::string why;
        inFile = saveInFile(agent.settingsPath(), why);
        ASSERT_GE(inFile, 0) << why;
        (inFile == saves ? landed : lost)++;
        EXPECT_TRUE(inFile == acknowledged || inFile == saves)
            << "the file holds save " << inFile << "; the last answered was " << acknowledged
            << ", the one under way " << saves;

        // The next agent starts from this file.
        options.settings = fileSettings(agent.settingsPath());
    }
    std::printf("%d saves, %d kills: %d after the save under way reached the file, %d before\n",
                saves, rounds, landed, lost);
    EXPECT_GE(rounds, 5);
}

}  // namespace
}  // namespace trellon::testing

namespace trellon::netlab {
namespace {

using testing::settings::saveQuery;
using testing::settings::tokenOf;

TEST(SettingsPagesLab, TheVeryNextTestTakesTheNewPortAndTimeLimit) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    AgentProcess agent(a);
    ASSERT_TRUE(agent.ready());
    const std::string token = tokenOf(response::httpGet(a, "/settings"));
    ASSERT_EQ(token.size(), 32u);
    response::httpGet(
        a, saveQuery(token, {{"responseTimePort", "40555"}, {"responseTimeLimit", "2"}}));

    const std::string refused = response::httpGet(
        a,
        "/response?remoteComputer=127.0.0.1&testSize=100&repeatCount=1000&pause=50"
        "&timeLimit=3&refreshInterval=5&format=xml");
    EXPECT_NE(refused.find("Please enter a time limit between 1 and 2 seconds."), std::string::npos)
        << refused;
    const int id = response::startResponseTest(a, "127.0.0.1", 1000, 50, 2);
    ASSERT_GT(id, 0);
    const std::string document = response::waitUntilDone(a, id, std::chrono::seconds(20));
    EXPECT_EQ(response::element(document, "done"), "1") << document;
    EXPECT_NE(document.find("Sent UDP packets from port 40555 to remote reflector on port 4047"),
              std::string::npos)
        << document;

    // The log-in, turned on, holds for the next request.
    response::httpGet(a, saveQuery(token, {{"useBasicAuthentication", "ON"},
                                           {"userName", "op"},
                                           {"password1", "pw"},
                                           {"password2", "pw"}}));
    const std::string reply =
        a.tcpExchange("127.0.0.1", response::kControlPort, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 401", 0), 0u) << reply.substr(0, 300);
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
}  // namespace trellon::netlab
