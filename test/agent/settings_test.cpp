#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agent/performance_agent.h"
#include "lib/log.h"
#include "platform/settings_store.h"
#include "results/test_log.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using testing::captureStdout;
using testing::readFile;
using testing::TempDir;

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        setLogFilePathForTests(dir_.file("log.txt"));
        setLogQuiet(false);
    }
    void TearDown() override {
        setLogQuiet(true);
        setLogFilePathForTests(kLogFilePath);
        TestLog::destroy();
    }
    platform::SettingsStore store(const platform::SettingsValues& values) {
        platform::SettingsStore s(dir_.file("agent.conf"));
        bool created = false;
        s.create(created);
        s.writeValues(values);
        return s;
    }
    std::string log() { return readFile(dir_.file("log.txt")); }

    TempDir dir_;
};

TEST_F(SettingsTest, FreshStartUsesTheDefaults) {
    PerformanceAgent agent(dir_.path() + "/", platform::SettingsStore(dir_.file("none.conf")));
    std::string out = captureStdout([&] { agent.loadSettings(); });
    EXPECT_EQ(agent.controlPort.load(), 4044);
    EXPECT_EQ(agent.serverTcpPort.load(), 4045);
    EXPECT_EQ(agent.streamDestinationUdpPort.load(), 4046);
    EXPECT_EQ(agent.reflectorResponsePort.load(), 4047);
    EXPECT_EQ(agent.name(), "admin");
    EXPECT_EQ(agent.password(), "");
    EXPECT_FALSE(agent.authenticated.load());
    EXPECT_FALSE(agent.useHTTPS.load());
    EXPECT_EQ(agent.testLogSize.load(), 100);
    EXPECT_TRUE(agent.sampleInvisible.load());
    EXPECT_FALSE(agent.useHtdocs.load());
    EXPECT_EQ(agent.responseTimeLimit.load(), 60);
    EXPECT_EQ(agent.htdocsPath(), dir_.path() + "/htdocs/");
    EXPECT_NE(out.find("Parameters:\n  controlPort = 4044\n  serverTcpPort = 4045\n  streamDestinationUdpPort = "
                       "4046\n  reflectorResponsePort = 4047\n  testLogSize = 100\n  authenticated = OFF\n  useHTTPS = "
                       "OFF\n  name = admin\n  password = \n  hint = \n  sampleInvisible = yes\n"),
              std::string::npos)
        << out;
    // No key: no "not found" messages, but the host-name lines.
    EXPECT_EQ(log().find("not found"), std::string::npos);
    EXPECT_NE(log().find("About to get host name.  This invokes the Windows socket DNS calls which in turn\n"
                         "may cause any security code present (Windows, Norton, Symantec) to block.\n"
                         "If Trellon is not starting and this is the last message in the file then this is your "
                         "problem.\n"),
              std::string::npos);
    EXPECT_NE(log().find("Network access succeeded.\n"), std::string::npos);
    EXPECT_NE(hostName(), "");

    // Loading runs once per agent.
    agent.controlPort.store(1);
    captureStdout([&] { agent.loadSettings(); });
    EXPECT_EQ(agent.controlPort.load(), 1);
}

TEST_F(SettingsTest, ConversionsFollowTheParameterTable) {
    auto s = store({{"authenticated", "on"},
                    {"useHTTPS", "ON"},
                    {"sampleInvisible", "on"},
                    {"useHtdocs", "true"},
                    {"responseTimeLimit", "0"},
                    {"bandwidthTimeLimit", "abc"},
                    {"streamingTimeLimit", "30"},
                    {"bandwidthPort", "abc"},
                    {"responseTimePort", "5000"},
                    {"controlPort", ""},
                    {"name", "operator"},
                    {"hint", std::string(128, 'h')}});
    PerformanceAgent agent(dir_.path() + "/", s);
    captureStdout([&] { agent.loadSettings(); });
    EXPECT_FALSE(agent.authenticated.load());  // only "ON" counts
    EXPECT_TRUE(agent.useHTTPS.load());
    EXPECT_TRUE(agent.sampleInvisible.load());  // "on" counts here
    EXPECT_TRUE(agent.useHtdocs.load());
    EXPECT_EQ(agent.responseTimeLimit.load(), 60);
    EXPECT_EQ(agent.bandwidthTimeLimit.load(), 60);
    EXPECT_EQ(agent.streamingTimeLimit.load(), 30);
    EXPECT_EQ(agent.bandwidthPort.load(), 0);
    EXPECT_EQ(agent.responseTimePort.load(), 5000);
    EXPECT_EQ(agent.controlPort.load(), 0);  // empty gives 0
    EXPECT_EQ(agent.name(), "operator");
    EXPECT_EQ(agent.hint(), "");  // too long to read back: the default stays
    EXPECT_NE(log().find("Parameter hint not found, will use default value\n"), std::string::npos);
    EXPECT_NE(log().find("Parameter password not found, will use default value\n"), std::string::npos);
}

TEST_F(SettingsTest, NumbersThatDoNotFitAreReportedAndTheDefaultUsed) {
    using Field = std::atomic<int> PerformanceAgent::*;
    struct Case {
        const char* name;
        std::string text;
        Field field;
        int expected;
        const char* report;  // null: accepted without a message
    };
    const Case cases[] = {
        {"controlPort", "70000", &PerformanceAgent::controlPort, 4044,
         "is out of range (0 to 65535), will use default value 4044"},
        {"controlPort", "-1", &PerformanceAgent::controlPort, 4044, "is out of range (0 to 65535)"},
        {"controlPort", "0", &PerformanceAgent::controlPort, 0, nullptr},
        {"controlPort", "", &PerformanceAgent::controlPort, 0, nullptr},
        {"controlPort", " 5000 ", &PerformanceAgent::controlPort, 5000, nullptr},
        {"serverTcpPort", "65535", &PerformanceAgent::serverTcpPort, 65535, nullptr},
        {"serverTcpPort", "65536", &PerformanceAgent::serverTcpPort, 4045,
         "is out of range (0 to 65535), will use default value 4045"},
        {"streamDestinationUdpPort", "port", &PerformanceAgent::streamDestinationUdpPort, 4046,
         "is not a number, will use default value 4046"},
        {"reflectorResponsePort", "99999999999999999999", &PerformanceAgent::reflectorResponsePort,
         4047, "is out of range"},
        {"testLogSize", "0", &PerformanceAgent::testLogSize, 100,
         "is out of range (1 to 10000), will use default value 100"},
        {"testLogSize", "", &PerformanceAgent::testLogSize, 100, "is not a number"},
        {"testLogSize", "10000", &PerformanceAgent::testLogSize, 10000, nullptr},
        {"testLogSize", "10001", &PerformanceAgent::testLogSize, 100,
         "is out of range (1 to 10000)"},
        {"responseTimePort", "5000x", &PerformanceAgent::responseTimePort, 0,
         "is not a number, will use default value 0"},
        {"bandwidthPort", "+", &PerformanceAgent::bandwidthPort, 0, "is not a number"},
        {"streamingClientPort", "70000", &PerformanceAgent::streamingClientPort, 0,
         "is out of range (0 to 65535), will use default value 0"},
        {"responseTimeLimit", "0", &PerformanceAgent::responseTimeLimit, 60, nullptr},
        {"responseTimeLimit", "86400", &PerformanceAgent::responseTimeLimit, 86400, nullptr},
        {"bandwidthTimeLimit", "86401", &PerformanceAgent::bandwidthTimeLimit, 60,
         "is out of range (0 to 86400), will use default value 60"},
        {"streamingTimeLimit", "-5", &PerformanceAgent::streamingTimeLimit, 60,
         "is out of range (0 to 86400)"},
        {"streamingTimeLimit", "abc", &PerformanceAgent::streamingTimeLimit, 60,
         "is not a number, will use default value 60"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " = \"" + c.text + "\"");
        std::string folder = dir_.path() + "/" + std::to_string(&c - cases);
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        setLogFilePathForTests(folder + "/log.txt");
        platform::SettingsStore s(folder + "/agent.conf");
        bool created = false;
        ASSERT_TRUE(s.create(created));
        ASSERT_TRUE(s.writeValues({{c.name, c.text}}));
        PerformanceAgent agent(folder + "/", s);
        std::string out = captureStdout([&] { agent.loadSettings(); });
        std::string log = readFile(folder + "/log.txt");
        EXPECT_EQ((agent.*c.field).load(), c.expected);
        std::string prefix = std::string("Parameter ") + c.name + " = \"" + c.text + "\" ";
        if (c.report != nullptr) {
            EXPECT_NE(log.find(prefix + c.report), std::string::npos) << log;
            EXPECT_NE(out.find(prefix + c.report), std::string::npos) << out;
            // The map holds the value in use, for the start page and a save.
            EXPECT_EQ(agent.parameters().text(c.name), std::to_string(c.expected));
        } else {
            EXPECT_EQ(log.find(prefix), std::string::npos) << log;
        }
        TestLog::destroy();
    }
}

TEST_F(SettingsTest, ReportedValuesStayOnOneLine) {
    auto s = store({{"controlPort", "40\n44\x01"}});
    PerformanceAgent agent(dir_.path() + "/", s);
    captureStdout([&] { agent.loadSettings(); });
    EXPECT_EQ(agent.controlPort.load(), 4044);
    EXPECT_NE(
        log().find(
            "Parameter controlPort = \"40?44?\" is not a number, will use default value 4044\n"),
        std::string::npos)
        << log();
}

TEST_F(SettingsTest, PasswordIsOnlyEverShownMasked) {
    auto s = store({{"password", "hunter2-secret"}});
    PerformanceAgent agent(dir_.path() + "/", s);
    std::string out = captureStdout([&] {
        agent.loadSettings();
        EXPECT_TRUE(agent.createKey());
    });
    EXPECT_EQ(agent.password(), "hunter2-secret");
    EXPECT_NE(out.find("  password = ********\n"), std::string::npos) << out;
    EXPECT_NE(log().find("Added value password = ********\n"), std::string::npos) << log();
    EXPECT_EQ(out.find("hunter2"), std::string::npos) << out;
    EXPECT_EQ(log().find("hunter2"), std::string::npos) << log();
    std::string stored;
    ASSERT_TRUE(s.readValue("password", stored));
    EXPECT_EQ(stored, "hunter2-secret");
    EXPECT_EQ(shownSettingValue("password", ""), "");
    EXPECT_EQ(shownSettingValue("name", "admin"), "admin");
}

TEST_F(SettingsTest, SaveWritesTheSavedAsForms) {
    auto s = store({{"controlPort", "4044"}});
    PerformanceAgent agent(dir_.path() + "/", s);
    captureStdout([&] { agent.loadSettings(); });
    agent.authenticated.store(true);
    agent.sampleInvisible.store(false);
    agent.setPassword("secret");
    agent.streamingServerPort.store(6000);
    agent.saveSettings();
    std::string value;
    ASSERT_TRUE(s.readValue("authenticated", value));
    EXPECT_EQ(value, "ON");
    ASSERT_TRUE(s.readValue("sampleInvisible", value));
    EXPECT_EQ(value, "no");
    ASSERT_TRUE(s.readValue("useHtdocs", value));
    EXPECT_EQ(value, "false");
    ASSERT_TRUE(s.readValue("streamingServerPort", value));
    EXPECT_EQ(value, "6000");
    ASSERT_TRUE(s.readValue("password", value));
    EXPECT_EQ(value, "secret");

    PerformanceAgent again(dir_.path() + "/", s);
    captureStdout([&] { again.loadSettings(); });
    EXPECT_TRUE(again.authenticated.load());
    EXPECT_EQ(again.password(), "secret");
}

TEST_F(SettingsTest, SaveWithoutAKeyChangesNothing) {
    PerformanceAgent agent(dir_.path() + "/", platform::SettingsStore(dir_.file("none.conf")));
    captureStdout([&] {
        agent.loadSettings();
        agent.saveSettings();
    });
    EXPECT_NE(log().find("No registry key found.\n"), std::string::npos);
    EXPECT_FALSE(testing::fileExists(dir_.file("none.conf")));
}

TEST_F(SettingsTest, CreateAndDeleteKeyLogEachStep) {
    platform::SettingsStore s(dir_.file("new/agent.conf"));
    PerformanceAgent agent(dir_.path() + "/", s);
    captureStdout([&] {
        agent.loadSettings();
        EXPECT_TRUE(agent.createKey());
    });
    EXPECT_NE(log().find("Created new key: " + s.path() + "\n"), std::string::npos);
    EXPECT_NE(log().find("Added value controlPort = 4044\n"), std::string::npos);
    EXPECT_NE(log().find("Added value sampleInvisible = yes\n"), std::string::npos);
    captureStdout([&] { agent.createKey(); });
    EXPECT_NE(log().find("Windows thinks there is an existing key but sometimes there is not.  Key: " + s.path()),
              std::string::npos);
    captureStdout([&] { EXPECT_TRUE(agent.deleteKey()); });
    EXPECT_NE(log().find("Registry update success: Removed old registry key " + s.path() + "\n"), std::string::npos);
    EXPECT_FALSE(testing::fileExists(s.path()));
    captureStdout([&] { EXPECT_FALSE(agent.deleteKey()); });
    EXPECT_NE(log().find("Registry update success: Old version of Trellon is not present.\n"), std::string::npos);
}

TEST_F(SettingsTest, ProbeStoresTheStandardPorts) {
    auto s = store({{"controlPort", "5000"}, {"serverTcpPort", "0"}});
    PerformanceAgent agent(dir_.path() + "/", s);
    captureStdout([&] {
        agent.loadSettings();
        EXPECT_TRUE(agent.probeStandardPorts());
    });
    EXPECT_EQ(agent.parameters().text("controlPort"), "4044");
    EXPECT_EQ(agent.parameters().text("serverTcpPort"), "4045");
    EXPECT_EQ(agent.parameters().text("streamDestinationUdpPort"), "4046");
    EXPECT_EQ(agent.parameters().text("reflectorResponsePort"), "4047");
    EXPECT_EQ(agent.serverTcpPort.load(), 4045);
}

}  // namespace
}  // namespace trellon
