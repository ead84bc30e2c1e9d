// Plug-ins through a real HttpServer: registration with the first page's
// menu and report of the ones left out, the input page, the runner's checks,
// bounds and environment, hostile form values, the running-test cap, the
// waits that park instead of holding a request thread, and the results page.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "commands/pages_fixture.h"
#include "commands/show_results_command.h"
#include "plugins/action_form.h"
#include "plugins/action_form_runner.h"
#include "results/running_test_slots.h"
#include "results/test_result.h"
#include "support/plugin_helpers.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;

// The script every probe plug-in runs: its arguments one a line between
// brackets, and a line of markup and a page variable on standard error.
constexpr const char* kProbeScript =
    "echo \"args=$#\"\n"
    "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n"
    "echo '<i>to stderr</i> $title $cancelURL' >&2";

std::string encoded(const std::string& text) {
    std::string out;
    const char* hex = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Ends every run a test left going, before the fixture takes away the
// agent and the test log they use: each is cancelled, and the running-test
// slots come back as their threads go.
void endRuns() {
    if (TestLog* log = TestLog::instance()) {
        for (int id = 1; id <= 100; ++id) {
            if (auto record = log->findTestResult(id)) record->setCancelled();
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (RunningTestSlots::inUse() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(RunningTestSlots::inUse(), 0) << "a plug-in run outlived its test";
}

class PluginPagesTest : public PagesTest {
protected:
    void SetUp() override {
        plugins_ = root_.path() + "/htdocs/plugins";
        writePlugins();
        // The scan's console lines come while the server is built.
        console_ = captureStdout([this] { PagesTest::SetUp(); });
    }
    void TearDown() override {
        endRuns();
        PagesTest::TearDown();
    }

    void writePlugins() {
        PluginProperties probe = validPluginProperties();
        probe.set("commandLine", "./probe.sh $host")
            .set("field.2", "count")
            .set("count.type", "integer")
            .set("count.defaultValue", "4")
            .set("field.3", "loud")
            .set("loud.formField", "checkbox")
            .set("loud.isChecked", "yes");
        writePlugin(plugins_ + "/probe", "probe", probe);
        writeScript(plugins_ + "/probe/probe.sh", kProbeScript);

        PluginProperties html = validPluginProperties();
        html.set("commandLine", "/bin/echo <b>bold</b> $host").set("stdoutHtml", "yes");
        writePlugin(plugins_ + "/html", "html", html);

        PluginProperties environment = validPluginProperties();
        environment.set("commandLine", "/usr/bin/env")
            .set("parentEnvVars", "no")
            .set("host.environmentVariable", "HOST_NAME");
        writePlugin(plugins_ + "/env", "env", environment);
        environment.set("parentEnvVars", "yes");
        writePlugin(plugins_ + "/envall", "envall", environment);

        PluginProperties sleeper = validPluginProperties();
        sleeper.set("commandLine", "/bin/sleep $seconds")
            .remove("host.required")
            .set("field.2", "seconds")
            .set("seconds.type", "integer");
        writePlugin(plugins_ + "/sleeper", "sleeper", sleeper);

        PluginProperties bad = validPluginProperties();
        bad.remove("password");
        writePlugin(plugins_ + "/bad", "bad", bad);
        // Valid, but named like a built-in command.
        writePlugin(plugins_ + "/results", "results", validPluginProperties());
    }

    // Runs a plug-in as a program would and waits for its end: the record.
    std::shared_ptr<TestResult> runToEnd(const std::string& plugin, const std::string& query) {
        HttpReply reply = get("/run_" + plugin + "?" + query + "&refresh=off&format=xml");
        const std::string body = reply.body();
        const std::size_t id = body.find("/results?id=");
        if (id == std::string::npos) {
            ADD_FAILURE() << "no results address in\n" << reply.raw.substr(0, 2000);
            return nullptr;
        }
        auto record = TestLog::instance()->findTestResult(std::atoi(body.c_str() + id + 12));
        EXPECT_TRUE(record);
        if (record) {
            EXPECT_EQ(record->getState(), TestResult::kFinished) << "answered before the end";
        }
        return record;
    }

    std::string plugins_;
    std::string console_;
};

TEST_F(PluginPagesTest, ValidPluginsRegisterTwoCommandsAndTheOthersSayWhyOnTheFirstPage) {
    for (const char* name : {"probe", "html", "env", "envall", "sleeper"}) {
        EXPECT_NE(dynamic_cast<ActionForm*>(server().findCommand(name)), nullptr) << name;
        auto* runner =
            dynamic_cast<ActionFormRunner*>(server().findCommand(std::string("run_") + name));
        ASSERT_NE(runner, nullptr) << name;
        EXPECT_TRUE(runner->mayWaitOnTheNetwork());
    }
    EXPECT_EQ(server().findCommand("bad"), nullptr);
    EXPECT_EQ(server().findCommand("run_bad"), nullptr);
    EXPECT_NE(dynamic_cast<ShowResultsCommand*>(server().findCommand("results")), nullptr);
    EXPECT_EQ(server().findCommand("run_results"), nullptr);
    EXPECT_EQ(server().plugins().size(), 5u);

    auto count = [this](const std::string& text) {
        int n = 0;
        for (std::size_t at = console_.find(text); at != std::string::npos;
             at = console_.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("Failed to register form bad, errors=Missing property password"), 1)
        << console_;
    EXPECT_EQ(count("Failed to register form results, errors="), 1) << console_;
    EXPECT_EQ(count("Failed to register form"), 2) << console_;
    EXPECT_NE(agent().statusText().find("Missing property password What it does: Is there an "
                                        "HTTP password on this?"),
              std::string::npos);

    const std::string page = get("/").body();
    EXPECT_NE(page.find("The plug-in <b>bad</b> was not registered:<br>\nMissing property "
                        "password What it does: Is there an HTTP password on this?<br>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("The plug-in <b>results</b> was not registered"), std::string::npos);
    EXPECT_NE(page.find("VALUE=\"probe\""), std::string::npos);
    EXPECT_EQ(page.find("VALUE=\"bad\""), std::string::npos);
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));

    // A server rebuilt after a failed listen scans again; the status text
    // (shown on the status page for the agent's whole life) says it once.
    const std::string before = agent().statusText();
    captureStdout([this] { HttpServer again(0, false, root_.path(), false, "", registrar()); });
    EXPECT_EQ(agent().statusText(), before);
}

TEST_F(PluginPagesTest, InputPageShowsDefaultsAndPutsHostileTextBackAsText) {
    std::string page = get("/collectTestParams?testType=probe").body();
    EXPECT_NE(page.find("<title>Test plug-in</title><form action=\"run_probe\">"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("name=\"host\" value=\"\""), std::string::npos);
    EXPECT_NE(page.find("name=\"count\" value=\"4\""), std::string::npos);
    EXPECT_NE(page.find("name=\"loud\" checked>"), std::string::npos);
    EXPECT_NE(page.find("cmd=./probe.sh &#36;host"), std::string::npos);
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));
    EXPECT_EQ(lastSelectedTest().rfind("$actionchecked_", 0), 0u);

    // A link carrying its own message and values: all of it is text.
    page = get("/probe?messages=%3Cscript%3Ex%3C/script%3E&host=%22%3E%3Cscript%3E").body();
    EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
    EXPECT_NE(page.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("name=\"host\" value=\"&quot;&gt;&lt;script&gt;\""), std::string::npos);
    EXPECT_NE(page.find("name=\"loud\" >"), std::string::npos) << "not ticked unless sent";
}

TEST_F(PluginPagesTest, RequiredFieldSubmittedEmptyReturnsTheInputPageInRedWithTheOtherValues) {
    const std::string page = get("/run_probe?host=&count=7&loud=on").body();
    EXPECT_NE(page.find("<font size=\"4\" color=\"#FF0000\">Please supply a value for the  host "
                        "field<br>\n(the computer to test)<br>\n</font>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("name=\"count\" value=\"7\""), std::string::npos);
    EXPECT_NE(page.find("name=\"loud\" checked>"), std::string::npos);
    EXPECT_EQ(TestLog::instance()->count(), 0) << "a refused run makes no record";

    // A program is told in XML.
    HttpReply reply = get("/run_probe?host=&format=xml");
    EXPECT_NE(reply.header("Content-Type").find("text/xml"), std::string::npos);
    EXPECT_NE(reply.body().find("<message>Please supply a value for the  host field\n"),
              std::string::npos)
        << reply.body();
}

TEST_F(PluginPagesTest, HostileFormValuesReachTheProgramAsOneArgumentAndStartNothing) {
    const std::string marker = root_.file("pwned");
    const std::string values[] = {
        "x; touch " + marker, "$(touch " + marker + ")", "`touch " + marker + "`", "a b", "\"",
        "two\nlines",         "x && touch " + marker};
    for (const std::string& value : values) {
        auto record = runToEnd("probe", "host=" + encoded(value));
        ASSERT_TRUE(record) << value;
        const std::string output = record->getOutputText();
        EXPECT_EQ(output.rfind("args=1\n[", 0), 0u) << value << "\n" << output;
        EXPECT_NE(output.find("[" + escapeHtml(value) + "]"), std::string::npos) << value << "\n"
                                                                                 << output;
        EXPECT_FALSE(fileExists(marker)) << value;
    }
}

TEST_F(PluginPagesTest, FormMayShortenTheTimeLimitAndTheIntervalsFollowIt) {
    struct Case {
        const char* query;
        int timeLimit;
        int refresh;
    };
    const Case cases[] = {
        {"seconds=0&timeLimit=30&refreshInterval=60", 30, 30},
        {"seconds=0&timeLimit=500&refreshInterval=5", 100, 5},  // the definition's 100 at most
        {"seconds=0&timeLimit=-1&refreshInterval=x", 100, 10},
        {"seconds=0&timeLimit=3", 3, 3},
    };
    for (const Case& c : cases) {
        auto record = runToEnd("sleeper", c.query);
        ASSERT_TRUE(record) << c.query;
        EXPECT_EQ(record->getTimeLimit(), c.timeLimit) << c.query;
        EXPECT_EQ(record->getRefreshInterval(), c.refresh) << c.query;
    }
}

TEST_F(PluginPagesTest, WithoutParentVariablesTheCommandSeesOnlyItsFieldsAndTrellonVariables) {
    ::setenv("PLUGIN_TEST_MARK", "from the agent", 1);
    auto record = runToEnd("env", "host=h1");
    ASSERT_TRUE(record);
    std::istringstream lines(record->getOutputText());
    std::string line;
    int trellon = 0;
    bool field = false;
    std::vector<std::string> names;
    while (std::getline(lines, line)) {
        if (line.rfind("TRELLON_", 0) == 0) {
            ++trellon;
            names.push_back(line.substr(0, line.find('=')));
        } else if (line == "HOST_NAME=h1") {
            field = true;
        } else {
            ADD_FAILURE() << "the command saw " << line;
        }
    }
    EXPECT_TRUE(field);
    EXPECT_EQ(trellon, 25) << record->getOutputText();
    const std::vector<std::string> order = {"TRELLON_LOCAL_COMPUTER", "TRELLON_QUERY",
                                            "TRELLON_RUN_AGAIN_URL", "TRELLON_TIME_LIMIT"};
    ASSERT_GE(names.size(), order.size());
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4), order);
    EXPECT_EQ(names.back(), "TRELLON_BOOKMARK_TITLE");
    EXPECT_NE(record->getOutputText().find("TRELLON_BOOKMARK_TITLE=Test of h1\n"),
              std::string::npos);

    auto all = runToEnd("envall", "host=h2");
    ASSERT_TRUE(all);
    EXPECT_NE(all->getOutputText().find("PLUGIN_TEST_MARK=from the agent"), std::string::npos);
    EXPECT_NE(all->getOutputText().find("HOST_NAME=h2"), std::string::npos);
    ::unsetenv("PLUGIN_TEST_MARK");
}

TEST_F(PluginPagesTest, ResultsPageShowsOutputAsTextUnlessTheDefinitionSaysHtml) {
    auto record = runToEnd("probe", "host=%3Cb%3E");
    ASSERT_TRUE(record);
    std::string page = get("/results?id=" + std::to_string(record->getTestId())).body();
    EXPECT_NE(page.find("[state:Test finished.]"), std::string::npos) << "the plug-in's page";
    EXPECT_NE(page.find("[out:<PRE>args=1\n[&lt;b&gt;]\n</PRE>]"), std::string::npos) << page;
    // Markup is text, and a page variable the command wrote stays as written.
    EXPECT_NE(
        page.find("[err:<PRE>&lt;i&gt;to stderr&lt;/i&gt; &#36;title &#36;cancelURL\n</PRE>]"),
        std::string::npos)
        << page;
    EXPECT_NE(page.find("[host:&lt;b&gt;]"), std::string::npos);
    EXPECT_NE(page.find("[cmd:./probe.sh &#36;host]"), std::string::npos);
    EXPECT_NE(page.find("[run:run_probe]"), std::string::npos);
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));
    const std::string debug = get("/debug?id=" + std::to_string(record->getTestId())).body();
    EXPECT_NE(debug.find("&lt;i&gt;to stderr"), std::string::npos);

    auto html = runToEnd("html", "host=h");
    ASSERT_TRUE(html);
    page = get("/results?id=" + std::to_string(html->getTestId())).body();
    EXPECT_NE(page.find("[out:<b>bold</b> h\n]"), std::string::npos) << page;
}

TEST_F(PluginPagesTest, PluginRunsCountTowardTheCapOnRunningTests) {
    std::vector<RunningTestSlot> taken;
    for (int i = 0; i < RunningTestSlots::kMaxRunningTests; ++i) {
        taken.push_back(RunningTestSlots::tryAcquire());
        ASSERT_TRUE(taken.back());
    }
    const std::string page = get("/run_probe?host=h").body();
    EXPECT_NE(page.find(ActionFormRunner::busyMessage()), std::string::npos) << page;
    EXPECT_NE(page.find("name=\"host\" value=\"h\""), std::string::npos);
    EXPECT_EQ(TestLog::instance()->count(), 0);

    taken.pop_back();
    ASSERT_TRUE(runToEnd("probe", "host=h"));
    // Its slot came back with its thread: the next one may run too.
    ASSERT_TRUE(runToEnd("probe", "host=h"));
    EXPECT_EQ(RunningTestSlots::inUse(), RunningTestSlots::kMaxRunningTests - 1);
}

// Twelve answers that wait for their command's end, more than the ten
// request threads (of which waiting commands may take eight): every run
// starts at once, since a waiting request parks instead of holding a thread.
TEST_F(PluginPagesTest, WaitingAnswersParkAndHoldNoRequestThread) {
    constexpr int kRuns = 12;
    std::vector<std::thread> clients;
    std::vector<HttpReply> replies(kRuns);
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < kRuns; ++i) {
        clients.emplace_back([this, &replies, i] {
            replies[i] = get("/run_sleeper?seconds=2&refresh=off&format=xml");
        });
    }
    // All of them are running before the first can have ended.
    const auto deadline = std::chrono::steady_clock::now() + 1500ms;
    int running = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        running = 0;
        for (int id = 1; id <= kRuns; ++id) {
            auto record = TestLog::instance()->findTestResult(id);
            if (record && record->getState() == TestResult::kRunning) ++running;
        }
        if (running == kRuns) break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(running, kRuns);
    // Pages are served meanwhile.
    EXPECT_EQ(get("/").status(), 200);
    for (auto& client : clients) client.join();
    EXPECT_GE(std::chrono::steady_clock::now() - before, 2s);
    for (const HttpReply& reply : replies)
        EXPECT_NE(reply.body().find("/results?id="), std::string::npos) << reply.raw;
    for (int id = 1; id <= kRuns; ++id)
        EXPECT_EQ(TestLog::instance()->findTestResult(id)->getState(), TestResult::kFinished);

    // Without refresh off the answer comes once the command has started.
    HttpReply quick = get("/run_sleeper?seconds=2&format=xml");
    auto record = TestLog::instance()->findTestResult(kRuns + 1);
    ASSERT_TRUE(record) << quick.raw;
    EXPECT_EQ(record->getState(), TestResult::kRunning);
    HttpReply page = get("/run_sleeper?seconds=0");
    EXPECT_EQ(page.status(), 302);
    EXPECT_EQ(page.header("Location"), std::string("http://") + kBrowserHost + "/results?id=" +
                                           std::to_string(kRuns + 2) + "&format=html");
}

TEST_F(PluginPagesTest, CommandRunDirectlyWithRefreshOffAnswersAfterTheEnd) {
    FormVariables form;
    form.set("seconds", "1");
    form.set("refresh", "off");
    form.set("format", "xml");
    const auto before = std::chrono::steady_clock::now();
    const std::string answer = runDirect("run_sleeper", form);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_NE(answer.find("/results?id=1&format=xml"), std::string::npos) << answer;
    EXPECT_EQ(TestLog::instance()->findTestResult(1)->getState(), TestResult::kFinished);
}

// The shipped plug-ins, as the agent's htdocs/ holds them.
class ShippedPluginsTest : public PagesTest {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root_.file("htdocs"));
        std::filesystem::copy(std::string(TRELLON_SOURCE_DIR) + "/htdocs/plugins",
                              root_.file("htdocs/plugins"),
                              std::filesystem::copy_options::recursive);
        console_ = captureStdout([this] { PagesTest::SetUp(); });
    }
    void TearDown() override {
        endRuns();
        PagesTest::TearDown();
    }
    std::string console_;
};

TEST_F(ShippedPluginsTest, SampleIsHiddenWhileSampleInvisibleIsOnAndBothRun) {
    EXPECT_EQ(console_.find("Failed to register form"), std::string::npos) << console_;
    agent().sampleInvisible = true;
    std::string page = get("/").body();
    EXPECT_EQ(page.find("VALUE=\"sample\""), std::string::npos);
    EXPECT_NE(page.find("VALUE=\"ping\""), std::string::npos);
    agent().sampleInvisible = false;
    page = get("/").body();
    EXPECT_NE(page.find("VALUE=\"sample\"> <b>Sample plug-in</b>"), std::string::npos) << page;
    EXPECT_LT(page.find("VALUE=\"ping\""), page.find("VALUE=\"sample\"")) << "menuOrder 10, 90";

    for (const char* input :
         {"/collectTestParams?testType=ping", "/collectTestParams?testType=sample"}) {
        page = get(input).body();
        EXPECT_NE(page.find("<form method=\"GET\" action=\"/run_"), std::string::npos) << input;
        EXPECT_TRUE(pageVariables(page).empty()) << input << ": " << joined(pageVariables(page));
    }

    HttpReply sample = get("/run_sample?message=" + encoded("a b; $(x)") + "&refresh=off");
    ASSERT_EQ(sample.status(), 302) << sample.raw;
    auto record = TestLog::instance()->findTestResult(1);
    ASSERT_TRUE(record);
    EXPECT_NE(record->getOutputText().find("Arguments: 1\n  [a b; $(x)]\n"), std::string::npos)
        << record->getOutputText();
    EXPECT_NE(record->getErrorText().find("This line went to standard error."), std::string::npos);
    page = get("/results?id=1").body();
    EXPECT_NE(page.find("Test finished."), std::string::npos);
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));

    // Ping refuses what is not a computer name before anything runs.
    page = get("/run_ping?destination=-f&count=2").body();
    EXPECT_NE(page.find("The value for the destination field must be a computer name or address."),
              std::string::npos);
    EXPECT_EQ(TestLog::instance()->count(), 1);
}

}  // namespace
}  // namespace trellon::testing
