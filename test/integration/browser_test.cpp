// A person's path through the web pages, in a real browser: the first page
// of a running agent, the response time test chosen, the remote computer
// filled in, the form submitted, the results page followed through its own
// refreshes until "Test finished.", and the figures read off the page.
//
// The agent runs in a network namespace of its own on its default ports
// (the agent-to-agent status request always goes to 4044) and tests against
// itself over loopback; headless Chromium runs in the same namespace. The
// input page and the finished results page are kept as screenshots in
// <build>/test-artifacts/. Without Chromium, or where it cannot start, the
// test skips and says why.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "integration/cdp_browser.h"
#include "support/agent_process.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;
using cdp::Browser;

constexpr const char* kAgent = "http://127.0.0.1:4044";

std::string findChromium() {
    for (const char* path :
         {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/lib/chromium/chromium"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return "";
}

std::filesystem::path artifactsDir() {
    std::filesystem::path dir =
        std::filesystem::path(TRELLON_TEST_BINARY_DIR).parent_path() / "test-artifacts";
    std::filesystem::create_directories(dir);
    return dir;
}

// Keeps a screenshot; true when it is a PNG image.
bool keepScreenshot(Browser& browser, const std::string& name) {
    const std::string png = browser.screenshot();
    std::ofstream(artifactsDir() / name, std::ios::binary) << png;
    return png.size() > 1000 && png.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
}

std::string tail(const std::string& text, std::size_t size = 3000) {
    return text.size() <= size ? text : text.substr(text.size() - size);
}

// What the results page shows at one moment, read in the browser.
constexpr const char* kResultsSnapshot = R"JS((() => {
  const text = (selector) => { const e = document.querySelector(selector); return e ? e.textContent.trim() : ''; };
  return JSON.stringify({
    loadedAt: String(performance.timeOrigin),
    path: location.pathname,
    ready: document.readyState,
    state: text('.state-message'),
    refresh: !!document.querySelector('meta[http-equiv="REFRESH" i]'),
    countdown: text('#numberCountdown')
  });
})())JS";

// An agent in a namespace of its own and a browser beside it.
class BrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!canUseNetworkNamespaces(&why)) GTEST_SKIP() << "Browser test skipped: " << why;
        const std::string chromium = findChromium();
        if (chromium.empty()) {
            GTEST_SKIP()
                << "Browser test skipped: Chromium is not installed (Debian package \"chromium\"; "
                   "scripts/install-deps test installs it when run as root)";
        }
        ns_ = std::make_unique<ScopedNetns>();
        ASSERT_TRUE(ns_->ok());
        AgentProcess::Options options;
        options.netns = ns_->name();  // default ports: 4044 control, 4045 sink, 4047 reflector
        agent_ = std::make_unique<AgentProcess>(options);
        ASSERT_TRUE(agent_->start());
        ASSERT_TRUE(agent_->waitForOutput("for TCP bandwidth test port.", 20s)) << agent_->report();

        Browser::Options browserOptions;
        browserOptions.program = chromium;
        browserOptions.netns = ns_->name();
        browserOptions.profileDir = scratch_.file("profile");
        browserOptions.logPath = scratch_.file("chromium.log");
        browser_ = std::make_unique<Browser>(browserOptions);
        if (!browser_->start()) {
            GTEST_SKIP() << "Browser test skipped: Chromium cannot run here: " << browser_->why()
                         << "\n"
                         << tail(readFile(browserOptions.logPath));
        }
        std::printf("Browser: %s\n", browser_->product().c_str());
    }

    void TearDown() override {
        if (browser_) browser_->close();
        if (agent_ && agent_->running()) {
            EXPECT_TRUE(agent_->signal(SIGINT));
            EXPECT_EQ(agent_->waitForExit(15s), 0);
        }
        browser_.reset();
        agent_.reset();
        ns_.reset();
    }

    std::string failureContext() {
        return "\nChromium log:\n" + tail(readFile(scratch_.file("chromium.log")));
    }

    // The first page, once the agent's web server answers; then the response
    // time test chosen on it, up to its input page.
    void openResponseInputPage() {
        Browser& browser = *browser_;
        bool firstPage = false;
        for (int attempt = 0; attempt < 20 && !firstPage; ++attempt) {
            firstPage =
                browser.navigate(std::string(kAgent) + "/") &&
                browser.waitFor(
                    "document.readyState === 'complete' && "
                    "!!document.querySelector('input[name=testType][value=\"Response Time\"]')",
                    2s);
        }
        ASSERT_TRUE(firstPage) << browser.why() << failureContext();
        EXPECT_EQ(browser.evaluateText("document.title"), "Trellon - Choose a test");
        auto checked =
            browser.evaluate("document.querySelector('input[value=\"Response Time\"]').checked");
        ASSERT_TRUE(checked);
        EXPECT_TRUE(checked->boolean) << "a fresh agent pre-selects the response time test";

        ASSERT_TRUE(
            browser.evaluate("document.querySelector('input[value=\"Response Time\"]').click();"
                             "document.querySelector('input[name=next]').click(); true"))
            << browser.why();
        ASSERT_TRUE(
            browser.waitFor("location.pathname === '/collectTestParams' && document.readyState === "
                            "'complete' && !!document.querySelector('form[action=response]')",
                            10s))
            << browser.why() << failureContext();
    }

    // Sets the named fields of the form in the page.
    void fill(const std::vector<std::pair<std::string, std::string>>& fields) {
        std::string script;
        for (const auto& [name, value] : fields) {
            script += "document.querySelector('[name=" + name + "]').value = '" + value + "';";
        }
        ASSERT_TRUE(browser_->evaluate(script + " true")) << browser_->why();
    }

    // Follows the results page through its own refreshes until it says the
    // test has finished; the number of page loads seen, or 0 on time-out.
    std::size_t waitForFinishedResults(bool& sawRunning, std::chrono::seconds limit) {
        std::set<std::string> loads;
        std::string last;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string text = browser_->evaluateText(kResultsSnapshot);
            auto snapshot = cdp::JsonParser(text).parse();
            if (snapshot && (*snapshot)["path"].text == "/results" &&
                (*snapshot)["ready"].text == "complete") {
                last = text;
                loads.insert((*snapshot)["loadedAt"].text);
                if ((*snapshot)["state"].text == "Test finished.") {
                    EXPECT_FALSE((*snapshot)["refresh"].boolean)
                        << "a finished page must not refresh";
                    return loads.size();
                }
                EXPECT_TRUE((*snapshot)["refresh"].boolean) << text;
                sawRunning = true;
            }
            std::this_thread::sleep_for(200ms);
        }
        ADD_FAILURE() << "last results page: " << last << "\n"
                      << agent_->report() << failureContext();
        return 0;
    }

    // The "$name" variables left in the page's markup.
    std::string leftVariables() {
        return browser_->evaluateText(
            "document.documentElement.outerHTML.match(/\\$[A-Za-z_]\\w*/g)?.join(' ') ?? ''");
    }

    TempDir scratch_;
    std::unique_ptr<ScopedNetns> ns_;
    std::unique_ptr<AgentProcess> agent_;
    std::unique_ptr<Browser> browser_;
};

TEST_F(BrowserTest, ResponseTimeTestFromTheFirstPageToTheFinishedResults) {
    Browser& browser = *browser_;
    ASSERT_NO_FATAL_FAILURE(openResponseInputPage());
    auto field = [&](const char* name) {
        return browser.evaluateText(std::string("document.querySelector('[name=") + name +
                                    "]').value");
    };
    EXPECT_EQ(field("testSize"), "100");
    EXPECT_EQ(field("pause"), "200");
    EXPECT_EQ(field("repeatCount"), "10");
    EXPECT_EQ(field("timeLimit"), "15");
    EXPECT_EQ(field("refreshInterval"), "5");
    EXPECT_EQ(field("portNumber"), "4044");
    EXPECT_EQ(browser.evaluateText(
                  "(() => { const s = document.querySelector('[name=diffservcodepoint]');"
                  " return s.options[s.selectedIndex].text; })()"),
              "Off (No packet marking)");
    EXPECT_EQ(leftVariables(), "");

    // The remote computer is this agent itself; refresh every 2 seconds.
    ASSERT_NO_FATAL_FAILURE(fill({{"remoteComputer", "127.0.0.1"}, {"refreshInterval", "2"}}));
    EXPECT_TRUE(keepScreenshot(browser, "browser-response-input.png")) << browser.why();
    ASSERT_TRUE(browser.evaluate("document.querySelector('input[name=run]').click(); true"))
        << browser.why();

    // From here on the browser moves by itself: the redirect to the results
    // page, then the page's own refreshes until the test has finished.
    bool sawRunning = false;
    const std::size_t loads = waitForFinishedResults(sawRunning, 60s);
    ASSERT_GT(loads, 0u);
    EXPECT_TRUE(sawRunning) << "the results page should first show the running test";
    EXPECT_GE(loads, 2u) << "the browser should have refreshed the results page by itself";

    const std::string url = browser.evaluateText("location.href");
    EXPECT_TRUE(std::regex_match(
        url, std::regex(R"(http://127\.0\.0\.1:4044/results\?id=[0-9]+&format=html)")))
        << url;
    EXPECT_EQ(browser.evaluateText("document.title"), "Trellon - Round Trip Response Time Test");

    // The figures: ten probes over loopback, all back, a small latency.
    const std::string final = browser.evaluateText("document.querySelector('.final').textContent");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        final, m,
        std::regex(R"(Network response time, or latency, is\s+([0-9.]+) milliseconds\.\s+)"
                   R"(Lost ([0-9.]+) percent of the packets\.)")))
        << final;
    EXPECT_LT(std::stod(m[1]), 100.0) << final;
    EXPECT_EQ(m[2].str(), "0.0") << final;
    EXPECT_TRUE(std::regex_search(
        final, std::regex(R"(Sent UDP packets from port [0-9]+ to remote reflector on port 4047)")))
        << final;
    EXPECT_EQ(final.find("cancelled"), std::string::npos) << final;

    EXPECT_EQ(
        browser.evaluateText("String(document.querySelectorAll('#progress table tr').length)"),
        "11");
    EXPECT_EQ(browser.evaluateText(
                  "document.querySelector('#progress table tr:nth-child(2) td:nth-child(1)')"
                  ".textContent.trim()"),
              "10");
    EXPECT_EQ(browser.evaluateText(
                  "document.querySelector('#progress table tr:nth-child(2) td:nth-child(3)')"
                  ".textContent.trim()"),
              "10 / 10");
    auto chart = browser.evaluate("!!document.querySelector('#chart svg polyline')");
    ASSERT_TRUE(chart);
    EXPECT_TRUE(chart->boolean) << "the progress chart should be drawn";

    const std::string runAgain =
        browser.evaluateText("document.querySelector('.run-again a').textContent");
    EXPECT_TRUE(std::regex_match(runAgain, std::regex("Response test from .+ to 127\\.0\\.0\\.1")))
        << runAgain;
    EXPECT_EQ(browser.evaluateText("new URL(document.querySelector('.run-again a').href).pathname"),
              "/response");
    EXPECT_EQ(browser.evaluateText("document.querySelector('.another a').textContent"),
              "Do another test");
    EXPECT_EQ(browser.evaluateText("document.querySelector('.cancel').textContent.trim()"), "");
    EXPECT_EQ(leftVariables(), "");
    EXPECT_TRUE(keepScreenshot(browser, "browser-response-results.png")) << browser.why();
}

// The cancel link of a running test: the browser comes back to the results
// page, which, once the test has ended, says that the user cancelled it.
TEST_F(BrowserTest, CancelLinkStopsTheRunningTest) {
    Browser& browser = *browser_;
    ASSERT_NO_FATAL_FAILURE(openResponseInputPage());
    // Slow probes, so the test is surely still running when cancelled; a
    // short limit, as the reader then waits for it.
    ASSERT_NO_FATAL_FAILURE(fill({{"remoteComputer", "127.0.0.1"},
                                  {"pause", "2000"},
                                  {"timeLimit", "8"},
                                  {"refreshInterval", "1"}}));
    ASSERT_TRUE(browser.evaluate("document.querySelector('input[name=run]').click(); true"))
        << browser.why();
    ASSERT_TRUE(
        browser.waitFor("location.pathname === '/results' && document.readyState === 'complete' && "
                        "!!document.querySelector('.cancel a')",
                        15s))
        << browser.why() << failureContext();
    const std::string resultsUrl = browser.evaluateText("location.href");
    ASSERT_TRUE(browser.evaluate("document.querySelector('.cancel a').click(); true"))
        << browser.why();

    bool sawRunning = false;
    ASSERT_GT(waitForFinishedResults(sawRunning, 40s), 0u);
    EXPECT_EQ(browser.evaluateText("location.href"), resultsUrl);
    const std::string final = browser.evaluateText("document.querySelector('.final').innerHTML");
    EXPECT_NE(final.find("<br>This test was cancelled by the user."), std::string::npos) << final;
    EXPECT_EQ(leftVariables(), "");
    EXPECT_TRUE(keepScreenshot(browser, "browser-response-cancelled.png")) << browser.why();
}

TEST_F(BrowserTest, ALinkCannotPutScriptIntoThePages) {
    Browser& browser = *browser_;
    // A link from anywhere that names a page variable in its query: once it
    // put an autofocus handler into the first page's radio button.
    const std::string attack = "autofocus+onfocus%3Dwindow.hit%3D1";
    for (const std::string& page :
         {std::string("/?messages=x&%24responsechecked=") + attack,
          std::string("/responsepage?messages=x&%24dscpSelected_Off=") + attack,
          std::string("/response?remoteComputer=127.0.0.1&testSize=1&dscpSelected_Off=") +
              attack}) {
        ASSERT_TRUE(browser.navigate(std::string(kAgent) + page)) << browser.why();
        ASSERT_TRUE(browser.waitFor("document.readyState === 'complete'", 10s)) << page;
        std::this_thread::sleep_for(300ms);  // time for an autofocus handler to run
        auto hit = browser.evaluate("!!window.hit || !!document.querySelector('[onfocus]')");
        ASSERT_TRUE(hit) << browser.why();
        EXPECT_FALSE(hit->boolean) << page;
    }
}

}  // namespace
}  // namespace trellon::testing
