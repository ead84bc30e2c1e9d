// The first page and the test choice: the remembered selection, the input
// page each choice leads to, the plug-in menu and its order, messages.
#include "commands/first_page_command.h"

#include <gtest/gtest.h>

#include "commands/built_in_commands.h"
#include "commands/pages_fixture.h"
#include "http/plugin_entry.h"

namespace trellon::testing {
namespace {

class FakePlugin : public PluginEntry {
public:
    FakePlugin(std::string name, int order, bool invisible = false)
        : name_(std::move(name)), order_(order), invisible_(invisible) {}
    const std::string& pluginName() const override { return name_; }
    std::string menu() const override { return "Menu " + name_; }
    std::string menuHelp() const override { return "Help " + name_; }
    int menuOrder() const override { return order_; }
    bool invisible() const override { return invisible_; }

private:
    std::string name_;
    int order_;
    bool invisible_;
};

std::vector<std::shared_ptr<PluginEntry>> plugins(std::initializer_list<FakePlugin*> list) {
    std::vector<std::shared_ptr<PluginEntry>> all;
    for (FakePlugin* p : list) all.emplace_back(p);
    return all;
}

std::vector<std::string> names(const std::vector<std::shared_ptr<PluginEntry>>& list) {
    std::vector<std::string> result;
    for (const auto& p : list) result.push_back(p->pluginName());
    return result;
}

// The radio button of a test as the page carries it.
std::string radio(const std::string& value, bool checked) {
    return "value=\"" + value + "\" " + (checked ? "CHECKED" : "") + ">";
}

class FirstPageTest : public PagesTest {
protected:
    // The command's own answer, without what the HTTP layer adds around it.
    std::string answer(const std::string& name, const std::string& query) {
        FormVariables form;
        form.decodeQuery(query);
        return runDirect(name, form);
    }
};

TEST_F(FirstPageTest, FreshAgentMarksResponseTimeAndNamesThisComputer) {
    HttpReply reply = get("/index.htm");
    ASSERT_EQ(reply.status(), 200);
    const std::string body = reply.body();
    EXPECT_NE(body.find(radio("Response Time", true)), std::string::npos);
    EXPECT_NE(body.find(radio("Bandwidth Copy Speed", false)), std::string::npos);
    EXPECT_NE(body.find(radio("Streaming Audio &amp; Video", false)), std::string::npos);
    EXPECT_NE(body.find("name=\"computerName\" value=\"" + server().hostName() + "\""),
              std::string::npos);
    EXPECT_TRUE(pageVariables(body).empty()) << joined(pageVariables(body));
}

TEST_F(FirstPageTest, ChoiceShowsItsInputPageAndIsSelectedNextTime) {
    struct Case {
        const char* query;
        const char* pageTitle;
        const char* checkedNext;
    };
    const Case cases[] = {
        {"Streaming+Audio+%26+Video", "<title>Trellon - Streaming", "Streaming Audio &amp; Video"},
        {"Bandwidth+Copy+Speed", "<title>Trellon - Bandwidth", "Bandwidth Copy Speed"},
        {"Response+Timex", "<title>Trellon - Response time test", "Response Time"},
        {"Voicemail", "<title>Trellon - Streaming", "Streaming Audio &amp; Video"},
        {"Response+Time", "<title>Trellon - Response time test", "Response Time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        HttpReply choice =
            get(std::string("/collectTestParams?testType=") + c.query + "&next=Next");
        ASSERT_EQ(choice.status(), 200);
        EXPECT_NE(choice.body().find(c.pageTitle), std::string::npos);
        EXPECT_TRUE(pageVariables(choice.body()).empty()) << joined(pageVariables(choice.body()));

        const std::string first = get("/index.htm").body();
        EXPECT_NE(first.find(radio(c.checkedNext, true)), std::string::npos);
        EXPECT_EQ(first.find("CHECKED"), first.rfind("CHECKED")) << "exactly one test marked";
    }
}

TEST_F(FirstPageTest, UnknownTestTypeIsAnInternalErrorAndChangesNothing) {
    setLastSelectedTest("$bandwidthchecked");
    EXPECT_EQ(answer("collectTestParams", "testType="), "Internal error, invalid test type: ");
    EXPECT_EQ(answer("collectTestParams", ""), "Internal error, invalid test type: ");
    EXPECT_EQ(answer("collectTestParams", "testType=Respons"),
              "Internal error, invalid test type: Respons");
    // The value is the user's: shown as text, never as markup.
    EXPECT_EQ(answer("collectTestParams", "testType=%3Cscript%3E"),
              "Internal error, invalid test type: &lt;script&gt;");
    EXPECT_EQ(lastSelectedTest(), "$bandwidthchecked");
}

TEST_F(FirstPageTest, MessageRowLeavesTheButtonsUnmarkedUnlessTheRequestMarksThem) {
    setLastSelectedTest("$streamingchecked");
    std::string body = get("/index.htm?messages=Settings+saved").body();
    EXPECT_NE(body.find("<tr><td class=\"messages\" >Settings saved</td><tr>"), std::string::npos);
    EXPECT_EQ(body.find("CHECKED"), std::string::npos);
    EXPECT_TRUE(pageVariables(body).empty()) << joined(pageVariables(body));

    // Page variables never come from the query: a "$" field cannot mark a
    // button, nor put attributes (script) into its tag.
    body = get("/index.htm?messages=x&%24bandwidthchecked=CHECKED").body();
    EXPECT_EQ(body.find(radio("Bandwidth Copy Speed", true)), std::string::npos);
    body = get("/index.htm?messages=x&%24responsechecked=autofocus+onfocus%3Dalert(1)").body();
    EXPECT_EQ(body.find("onfocus"), std::string::npos);

    // A message that came with the link itself is anybody's text.
    body = get("/index.htm?messages=%3Cscript%3Ealert(1)%3C/script%3E").body();
    EXPECT_EQ(body.find("<script>alert"), std::string::npos);
    EXPECT_NE(body.find("&lt;script&gt;alert(1)"), std::string::npos);
}

TEST(FirstPageMenuTest, VisiblePluginsAreSortedStablyByMenuOrder) {
    auto list =
        plugins({new FakePlugin("late", 10), new FakePlugin("early", 5), new FakePlugin("also5", 5),
                 new FakePlugin("hidden", 1, true), new FakePlugin("sample", 0)});
    auto visible = FirstpageCommand::menuPlugins(list, true);
    EXPECT_EQ(names(visible), (std::vector<std::string>{"early", "also5", "late"}));
    EXPECT_EQ(list[1]->menuPosition.load(), 0);
    EXPECT_EQ(list[2]->menuPosition.load(), 1);
    EXPECT_EQ(list[0]->menuPosition.load(), 2);

    // With sampleInvisible off the sample shows, whatever its own property says.
    auto withSample = plugins(
        {new FakePlugin("b", 3), new FakePlugin("sample", 3, true), new FakePlugin("a", 2)});
    EXPECT_EQ(names(FirstpageCommand::menuPlugins(withSample, false)),
              (std::vector<std::string>{"a", "b", "sample"}));
    EXPECT_EQ(names(FirstpageCommand::menuPlugins(withSample, true)),
              (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(FirstpageCommand::menuPlugins({}, true).empty());
}

TEST(FirstPageMenuTest, MenuRowCarriesNameMarkMenuAndHelp) {
    auto list = plugins({new FakePlugin("ping", 1)});
    EXPECT_EQ(FirstpageCommand::menuRows(FirstpageCommand::menuPlugins(list, true)),
              "\n<tr><td style=\"margin:6 8; \" nowrap>\n    <INPUT TYPE=RADIO NAME=\"testType\" "
              "VALUE=\"ping\""
              "$actionchecked_0> <b>Menu ping</b> </td>\n"
              "    <td style=\"margin:6 8; \" nowrap><i>Help ping</i></td></tr>\n");
    EXPECT_EQ(FirstpageCommand::menuRows({}), "");
}

// A server with two plug-ins whose input forms answer a fixed text.
class FirstPagePluginTest : public FirstPageTest {
protected:
    HttpServer::CommandRegistrar registrar() override {
        return [](HttpServer& server) {
            registerBuiltInCommands(server);
            server.addPlugin(std::make_shared<FakePlugin>("trace", 20));
            server.addPlugin(std::make_shared<FakePlugin>("dns", 10));
            server.registerCommand(textCommand("trace", "TRACE FORM"));
            server.registerCommand(textCommand("dns", "DNS FORM"));
        };
    }
};

TEST_F(FirstPagePluginTest, ChosenPluginRunsItsFormAndIsMarkedNextTime) {
    std::string body = get("/index.htm").body();
    const std::size_t dns = body.find("VALUE=\"dns\"> <b>Menu dns</b>");
    const std::size_t trace = body.find("VALUE=\"trace\"> <b>Menu trace</b>");
    ASSERT_NE(dns, std::string::npos) << body;
    ASSERT_NE(trace, std::string::npos);
    EXPECT_LT(dns, trace);
    EXPECT_TRUE(pageVariables(body).empty()) << joined(pageVariables(body));

    EXPECT_EQ(answer("collectTestParams", "testType=trace"), "TRACE FORM");
    EXPECT_EQ(lastSelectedTest(), "$actionchecked_1");
    body = get("/index.htm").body();
    EXPECT_NE(body.find("VALUE=\"trace\"CHECKED>"), std::string::npos);
    EXPECT_EQ(body.find(radio("Response Time", true)), std::string::npos);
    // A plug-in name must match whole.
    EXPECT_EQ(answer("collectTestParams", "testType=trac"),
              "Internal error, invalid test type: trac");
}

}  // namespace
}  // namespace trellon::testing
