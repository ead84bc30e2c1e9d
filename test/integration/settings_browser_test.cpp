// The settings page in a real browser: a page of another site that makes the
// browser ask for a settings change (an image and a form sent by script,
// with its full address as Referer) changes nothing, while the agent's own
// form, filled in and saved, lands on the settings page again showing what
// was stored.
//
// Both agents run in one network namespace with headless Chromium: the one
// under test on its default ports, the "other site" on port 5044 serving the
// attacking page from its document folder. Without Chromium or namespaces
// the test skips and says why.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "integration/cdp_browser.h"
#include "integration/settings_helpers.h"
#include "support/agent_process.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;
using cdp::Browser;

constexpr const char* kAgent = "http://127.0.0.1:4044";
constexpr const char* kOtherSite = "http://127.0.0.1:5044";

// The other site's page: the change it wants, first as an image, then as
// the settings form itself with a guessed token.
std::string attackPage() {
    const std::string change =
        std::string(kAgent) +
        settings::saveQuery("0123456789abcdef0123456789abcdef", {{"userName", "mallory"},
                                                                 {"password1", "x"},
                                                                 {"password2", "x"},
                                                                 {"responseTimeLimit", "5"}});
    return "<!DOCTYPE html><html><head><meta name=\"referrer\" content=\"unsafe-url\"></head><body>"
           "<img src=\"" +
           change +
           "\" onerror=\"document.forms[0].submit()\" onload=\"document.forms[0].submit()\">"
           "<form method=\"GET\" action=\"" +
           std::string(kAgent) +
           "/runsettingscommand\">"
           "<input name=\"userName\" value=\"mallory\"><input name=\"password1\" value=\"x\">"
           "<input name=\"password2\" value=\"x\"><input name=\"responseTimeLimit\" value=\"5\">"
           "<input name=\"settingsToken\" value=\"guess\"></form></body></html>";
}

TEST(SettingsBrowser, AnotherSiteCannotChangeTheSettingsTheAgentsOwnFormCan) {
    std::string why;
    if (!canUseNetworkNamespaces(&why)) GTEST_SKIP() << "Browser test skipped: " << why;
    if (::access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "Browser test skipped: Chromium is not installed (Debian package "
                        "\"chromium\")";
    ScopedNetns ns;
    ASSERT_TRUE(ns.ok());
    AgentProcess::Options options;
    options.netns = ns.name();
    AgentProcess agent(options);
    ASSERT_TRUE(agent.start());
    AgentProcess::Options otherOptions;
    otherOptions.netns = ns.name();
    otherOptions.settings = {{"controlPort", "5044"},
                             {"serverTcpPort", "0"},
                             {"reflectorResponsePort", "0"},
                             {"streamDestinationUdpPort", "0"},
                             {"useHtdocs", "true"}};
    AgentProcess other(otherOptions);
    ASSERT_TRUE(other.start());
    ASSERT_TRUE(agent.waitForOutput("for TCP bandwidth test port.", 20s)) << agent.report();
    ASSERT_TRUE(other.waitForOutput("for TCP bandwidth test port.", 20s)) << other.report();
    writeFile(other.folder() + "/htdocs/attack.htm", attackPage());

    TempDir scratch;
    Browser::Options browserOptions;
    browserOptions.netns = ns.name();
    browserOptions.profileDir = scratch.file("profile");
    browserOptions.logPath = scratch.file("chromium.log");
    Browser browser(browserOptions);
    if (!browser.start())
        GTEST_SKIP() << "Browser test skipped: Chromium cannot run here: " << browser.why();

    const std::string before = readFile(agent.settingsPath());
    bool served = false;
    for (int attempt = 0; attempt < 20 && !served; ++attempt) {
        served =
            browser.navigate(std::string(kOtherSite) + "/attack.htm") &&
            browser.waitFor("location.port === '4044' && document.readyState === 'complete'", 3s);
    }
    ASSERT_TRUE(served) << browser.why();
    EXPECT_TRUE(browser.waitFor(
        "document.body.innerText.includes(\"did not come from this agent's settings page\")", 5s))
        << browser.evaluateText("document.body.innerText");
    EXPECT_EQ(browser.evaluateText("document.querySelector('[name=userName]').value"), "admin");
    EXPECT_EQ(readFile(agent.settingsPath()), before) << "the other site changed the settings";

    // The agent's own page, as a person uses it.
    ASSERT_TRUE(browser.navigate(std::string(kAgent) + "/settings"));
    ASSERT_TRUE(
        browser.waitFor("location.pathname === '/settings' && document.readyState === "
                        "'complete' && !!document.querySelector('[name=B1]')",
                        10s))
        << browser.why();
    ASSERT_TRUE(
        browser.evaluate("document.querySelector('[name=userName]').value = 'owner';"
                         "document.querySelector('[name=responseTimeLimit]').value = '45';"
                         "document.querySelector('[name=invisible]').checked = false;"
                         "window.beforeTheSave = true;"
                         "document.querySelector('[name=B1]').click(); true"))
        << browser.why();
    // A page loaded after the save (the one it was made from is marked).
    EXPECT_TRUE(
        browser.waitFor("window.beforeTheSave === undefined && "
                        "location.pathname === '/settings' && document.readyState === "
                        "'complete' && document.querySelector('[name=userName]')?.value "
                        "=== 'owner'",
                        10s))
        << browser.why() << "\n"
        << browser.evaluateText("location.href + '\\n' + document.body.innerText");
    EXPECT_EQ(browser.evaluateText("document.querySelector('[name=responseTimeLimit]').value"),
              "45");
    auto invisible = browser.evaluate("document.querySelector('[name=invisible]').checked");
    ASSERT_TRUE(invisible);
    EXPECT_FALSE(invisible->boolean);
    const std::string saved = readFile(agent.settingsPath());
    EXPECT_NE(saved.find("name=owner\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("responseTimeLimit=45\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("sampleInvisible=no\n"), std::string::npos) << saved;

    browser.close();
    EXPECT_TRUE(other.signal(SIGINT));
    EXPECT_TRUE(agent.signal(SIGINT));
    EXPECT_EQ(other.waitForExit(15s), 0);
    EXPECT_EQ(agent.waitForExit(15s), 0);
}

}  // namespace
}  // namespace trellon::testing
