// A run request with mistakes, as a browser submits it, comes back as the
// input page with every message in order, the user's own values and the
// chosen QoS options selected, and nothing of the page left unfilled.
#include <gtest/gtest.h>

#include <regex>

#include "commands/pages_fixture.h"

namespace trellon::testing {
namespace {

using SentBackPageTest = PagesTest;

TEST_F(SentBackPageTest, ResponseRunWithErrorsShowsTheInputPageAgain) {
    const std::string query =
        "remoteComputer=127.0.0.1&testSize=99&pause=49&repeatCount=12&timeLimit=0&refreshInterval="
        "61"
        "&diffservcodepoint=AF41%A034%A0100010%A0C4+low&l2priority=5&testType=response&format=html"
        "&portNumber=4044&run=Run+test";
    HttpReply reply = get("/response?" + query);
    ASSERT_EQ(reply.status(), 200) << reply.raw.substr(0, 300);
    const std::string page = reply.body();
    ASSERT_NE(page.find("<form method=\"GET\" action=\"response\">"), std::string::npos)
        << page.substr(0, 500);

    const std::vector<std::string> messages = {
        "<p>Please enter a test packet size between 100 and 1500.</p>",
        "<p>Please enter a pause between packets time between 50 and 10,000 milliseconds.</p>",
        "<p>Please enter a time limit between 1 and 60 seconds.</p>",
        "<p>Please enter time to wait before refreshing the screen between 1 and 60 seconds.</p>",
    };
    std::size_t at = page.find("<tr><td class=\"messages\" >");
    ASSERT_NE(at, std::string::npos);
    for (const std::string& message : messages) {
        const std::size_t next = page.find(message, at);
        EXPECT_NE(next, std::string::npos) << message;
        if (next != std::string::npos) at = next;
    }

    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"remoteComputer", "127.0.0.1"},
                                                          {"testSize", "99"},
                                                          {"pause", "49"},
                                                          {"repeatCount", "12"},
                                                          {"timeLimit", "0"},
                                                          {"refreshInterval", "61"},
                                                          {"portNumber", "4044"}}) {
        EXPECT_NE(page.find("name=\"" + name + "\" value=\"" + value + "\""), std::string::npos)
            << name;
    }
    EXPECT_NE(page.find("<option SELECTED>AF41&nbsp;34&nbsp;100010&nbsp;C4 low</option>"),
              std::string::npos);
    EXPECT_NE(page.find("<option SELECTED>5</option>"), std::string::npos);
    const std::regex selected("<option SELECTED>");
    EXPECT_EQ(std::distance(std::sregex_iterator(page.begin(), page.end(), selected),
                            std::sregex_iterator()),
              2);
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));
}

}  // namespace
}  // namespace trellon::testing
