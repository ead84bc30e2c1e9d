// The results and debug pages over HTTP: a test that is not in the log, the
// links built on the address the browser used, and the debug view, which is
// always its own template.
#include "commands/show_debug_command.h"

#include <gtest/gtest.h>

#include <chrono>

#include "commands/pages_fixture.h"
#include "platform/clock.h"

namespace trellon::testing {
namespace {

using ResultsOverHttpTest = PagesTest;

void expectNoVariables(const std::string& page) {
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));
}

TEST_F(ResultsOverHttpTest, UnknownTestAnswersNoDataAfterTheRetries) {
    for (const char* path : {"/results?id=424242&format=html", "/debug?id=424242"}) {
        SCOPED_TRACE(path);
        const auto before = std::chrono::steady_clock::now();
        HttpReply reply = get(path);
        EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(190));
        ASSERT_EQ(reply.status(), 200);
        EXPECT_NE(reply.body().find("There is no test number <b>424242</b>"), std::string::npos)
            << reply.body();
        expectNoVariables(reply.body());
    }
}

TEST_F(ResultsOverHttpTest, LinksFollowTheAddressTheBrowserUsed) {
    auto record = newRecord();
    record->setTestType(TestResult::kResponseTest);
    record->setTitle("Round Trip Response Time Test");
    record->setRemoteComputer("reflector.test");
    record->setRefreshInterval(4);
    record->setTimeLimit(30);
    record->setStartTime(platform::nowSeconds());
    record->setState(TestResult::kRunning);
    const std::string id = std::to_string(record->getTestId());
    const std::string base = std::string("http://") + kBrowserHost;

    const std::string page = get("/results?id=" + id + "&format=html").body();
    EXPECT_NE(page.find("CONTENT=\"4;URL=" + base + "/results?id=" + id + "&format=html\">"),
              std::string::npos)
        << page.substr(0, 800);
    EXPECT_NE(page.find("<A HREF=\"" + base + "/cancelCommand?id=" + id + "\">"),
              std::string::npos);
    EXPECT_NE(page.find("href=\"" + base + "/debug?id=" + id + "\""), std::string::npos);
    expectNoVariables(page);

    // The debug view: its own template, also when XML is asked for.
    for (const std::string& query : {"?id=" + id, "?id=" + id + "&format=xml"}) {
        HttpReply debug = get("/debug" + query);
        EXPECT_NE(debug.body().find("<h1>Debug view: Round Trip Response Time Test</h1>"),
                  std::string::npos)
            << query;
        EXPECT_NE(debug.body().find("Test still running.<br>Time out in "), std::string::npos);
        EXPECT_EQ(debug.header("Content-Type").find("xml"), std::string::npos);
        expectNoVariables(debug.body());
    }
}

}  // namespace
}  // namespace trellon::testing
