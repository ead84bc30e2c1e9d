// The three input pages: their defaults on a first visit, the user's values
// and messages when a run command sends the user back, and no variable of a
// page left in any of these states.
#include "commands/test_command.h"

#include <gtest/gtest.h>

#include <regex>

#include "commands/pages_fixture.h"
#include "commands/qos_choices.h"

namespace trellon::testing {
namespace {

// The value attribute of a text field.
std::string fieldValue(const std::string& page, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(page, m, std::regex("name=\"" + name + "\" value=\"([^\"]*)\"")))
        return "<no field>";
    return m[1];
}

// The texts of the options marked SELECTED in one select list.
std::vector<std::string> selectedOptions(const std::string& page, const std::string& select) {
    std::vector<std::string> texts;
    const std::size_t start = page.find("<select name=\"" + select + "\"");
    if (start == std::string::npos) return {"<no select>"};
    const std::string list = page.substr(start, page.find("</select>", start) - start);
    static const std::regex option("<option SELECTED>([^<]*)</option>");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), option);
         it != std::sregex_iterator(); ++it) {
        texts.push_back((*it)[1]);
    }
    return texts;
}

std::vector<std::string> one(const std::string& text) {
    return {text};
}

void expectNoVariables(const std::string& page) {
    EXPECT_TRUE(pageVariables(page).empty()) << joined(pageVariables(page));
}

const char* const kNoMarking = "Off\t(No packet marking)";

using InputPageTest = PagesTest;

TEST_F(InputPageTest, BandwidthDefaults) {
    const std::string page = get("/bandwidthpage").body();
    EXPECT_EQ(fieldValue(page, "testSize"), "1");
    EXPECT_EQ(selectedOptions(page, "testSizeUnits"), one("M Bytes"));
    EXPECT_EQ(fieldValue(page, "timeLimit"), "60");
    EXPECT_EQ(fieldValue(page, "reportInterval"), "1");
    EXPECT_EQ(fieldValue(page, "refreshInterval"), "10");
    EXPECT_EQ(fieldValue(page, "portNumber"), "4044");
    EXPECT_EQ(selectedOptions(page, "diffservcodepoint"), one(kNoMarking));
    EXPECT_EQ(selectedOptions(page, "l2priority"), one(kNoMarking));
    EXPECT_NE(page.find("<form method=\"GET\" action=\"bandwidth\">"), std::string::npos);
    expectNoVariables(page);
}

TEST_F(InputPageTest, ResponseDefaults) {
    const std::string page = get("/responsepage").body();
    EXPECT_EQ(fieldValue(page, "testSize"), "100");
    EXPECT_EQ(fieldValue(page, "pause"), "200");
    EXPECT_EQ(fieldValue(page, "repeatCount"), "10");
    EXPECT_EQ(fieldValue(page, "timeLimit"), "15");
    EXPECT_EQ(fieldValue(page, "refreshInterval"), "5");
    EXPECT_EQ(fieldValue(page, "portNumber"), "4044");
    EXPECT_EQ(selectedOptions(page, "diffservcodepoint"), one(kNoMarking));
    EXPECT_EQ(selectedOptions(page, "l2priority"), one(kNoMarking));
    EXPECT_NE(page.find("<b>" + server().hostName() + "</b>"), std::string::npos);
    expectNoVariables(page);
}

TEST_F(InputPageTest, StreamingDefaults) {
    const std::string page = get("/streamingpage").body();
    EXPECT_NE(page.find("value=\"voip\" CHECKED>"), std::string::npos);
    EXPECT_NE(page.find("value=\"video\" >"), std::string::npos);
    EXPECT_NE(page.find("value=\"custom\" >"), std::string::npos);
    EXPECT_EQ(fieldValue(page, "packetSize"), "1000");
    EXPECT_EQ(fieldValue(page, "flowRate"), "1");
    EXPECT_EQ(selectedOptions(page, "rateUnits"), one("M Bits / second"));
    EXPECT_EQ(fieldValue(page, "bufferSize"), "5000");
    EXPECT_EQ(fieldValue(page, "timeLimit"), "30");
    EXPECT_EQ(fieldValue(page, "reportInterval"), "1");
    EXPECT_EQ(fieldValue(page, "refreshInterval"), "10");
    EXPECT_EQ(selectedOptions(page, "diffservcodepoint"), one(kNoMarking));
    EXPECT_EQ(selectedOptions(page, "l2priority"), one(kNoMarking));
    expectNoVariables(page);
}

TEST_F(InputPageTest, RemoteComputerOfTheLastTestIsOfferedAsText) {
    agent().setLastRemoteComputer("far\"><b>$pause");
    for (const char* path : {"/bandwidthpage", "/responsepage", "/streamingpage"}) {
        const std::string page = get(path).body();
        EXPECT_EQ(fieldValue(page, "remoteComputer"), "far&quot;&gt;&lt;b&gt;&#36;pause") << path;
        expectNoVariables(page);
    }
}

// The form a run command hands back: the user's fields, copied under "$"
// names, the messages and the marks.
FormVariables sentBack(std::map<std::string, std::string> fields, const std::string& messages,
                       std::map<std::string, std::string> marks = {}) {
    FormVariables form;
    for (const auto& [name, value] : fields) form.set(name, value);
    form.copyAsDollarNames();
    form.set("messages", messages);
    for (const auto& [name, value] : marks) form.set(name, value);
    markChoices(form, form.get("diffservcodepoint"), form.get("l2priority"));
    return form;
}

TEST_F(InputPageTest, ResponsePageSentBackShowsMessagesInOrderAndTheUsersValues) {
    const std::string af41 =
        "AF41\xA0"
        "34\xA0"
        "100010\xA0"
        "C4 low";
    FormVariables form = sentBack({{"remoteComputer", "no.such<host>"},
                                   {"testSize", "99"},
                                   {"pause", "49"},
                                   {"repeatCount", "7"},
                                   {"timeLimit", "0"},
                                   {"refreshInterval", "61"},
                                   {"diffservcodepoint", af41},
                                   {"l2priority", "5"},
                                   {"portNumber", "4050"},
                                   {"format", "html"},
                                   {"testType", "response"}},
                                  "<p>first</p><p>second</p><p>third</p>");
    const std::string page = runDirect("responsepage", form);
    const std::size_t first = page.find("<p>first</p>");
    ASSERT_NE(first, std::string::npos) << page;
    EXPECT_LT(first, page.find("<p>second</p>"));
    EXPECT_LT(page.find("<p>second</p>"), page.find("<p>third</p>"));
    EXPECT_NE(page.find("<tr><td class=\"messages\" ><p>first</p>"), std::string::npos);
    EXPECT_EQ(fieldValue(page, "remoteComputer"), "no.such&lt;host&gt;");
    EXPECT_EQ(fieldValue(page, "testSize"), "99");
    EXPECT_EQ(fieldValue(page, "pause"), "49");
    EXPECT_EQ(fieldValue(page, "repeatCount"), "7");
    EXPECT_EQ(fieldValue(page, "timeLimit"), "0");
    EXPECT_EQ(fieldValue(page, "refreshInterval"), "61");
    EXPECT_EQ(fieldValue(page, "portNumber"), "4050");
    EXPECT_EQ(selectedOptions(page, "diffservcodepoint"),
              one("AF41&nbsp;34&nbsp;100010&nbsp;C4 low"));
    EXPECT_EQ(selectedOptions(page, "l2priority"), one("5"));
    expectNoVariables(page);
}

TEST_F(InputPageTest, BandwidthAndStreamingSentBackKeepTheChosenUnitsAndKind) {
    FormVariables bandwidth = sentBack({{"remoteComputer", "x"},
                                        {"testSize", "12a"},
                                        {"testSizeUnits", "K Bits"},
                                        {"timeLimit", "9"},
                                        {"reportInterval", "2"},
                                        {"refreshInterval", "3"},
                                        {"diffservcodepoint", "EF"},
                                        {"l2priority", kNoMarking}},
                                       "<p>size</p>",
                                       {{"$bytesselected", ""},
                                        {"$kbitselected", "SELECTED"},
                                        {"$kbytesselected", ""},
                                        {"$mbitsselected", ""},
                                        {"$mbytesselected", ""}});
    std::string page = runDirect("bandwidthpage", bandwidth);
    EXPECT_EQ(fieldValue(page, "testSize"), "12a");
    EXPECT_EQ(selectedOptions(page, "testSizeUnits"), one("K Bits"));
    EXPECT_EQ(selectedOptions(page, "diffservcodepoint"), one("EF&nbsp;46&nbsp;101110"));
    EXPECT_EQ(selectedOptions(page, "l2priority"), one(kNoMarking));
    expectNoVariables(page);

    const std::map<std::string, std::string> kindOff = {
        {"$voipchecked", ""}, {"$videochecked", ""}, {"$customchecked", "CHECKED"}};
    for (const char* units : {"Bytes / second", "K Bytes / second", "Bits / second"}) {
        SCOPED_TRACE(units);
        std::map<std::string, std::string> marks = kindOff;
        for (const char* mark :
             {"$kbitsselected", "$kbytesselected", "$mbitsselected", "$mbytesselected"}) {
            marks[mark] = "";
        }
        if (std::string(units) == "K Bytes / second") marks["$kbytesselected"] = "SELECTED";
        FormVariables streaming =
            sentBack({{"remoteComputer", ""},
                      {"StreamTypeOption", "custom"},
                      {"packetSize", "1600"},
                      {"flowRate", "3"},
                      {"rateUnits", units},
                      {"bufferSize", "20000"},
                      {"timeLimit", "30"},
                      {"reportInterval", "1"},
                      {"refreshInterval", "10"},
                      {"diffservcodepoint", "46"},
                      {"l2priority", "0"}},
                     "<p>Please provide a Transmitting Computer Name.</p>", marks);
        page = runDirect("streamingpage", streaming);
        EXPECT_NE(page.find("value=\"custom\" CHECKED>"), std::string::npos);
        EXPECT_NE(page.find("value=\"voip\" >"), std::string::npos);
        EXPECT_EQ(fieldValue(page, "packetSize"), "1600");
        EXPECT_EQ(fieldValue(page, "bufferSize"), "20000");
        EXPECT_EQ(selectedOptions(page, "rateUnits"), one(units));
        EXPECT_EQ(selectedOptions(page, "diffservcodepoint"), one("46"));
        EXPECT_EQ(selectedOptions(page, "l2priority"), one("0"));
        expectNoVariables(page);
    }
}

// A page asked for with a message but without the user's values (a link, a
// hand-made request) still sends no variable, and shows the message as text.
TEST_F(InputPageTest, MessageWithoutValuesFallsBackToTheDefaults) {
    for (const char* path : {"/bandwidthpage", "/responsepage", "/streamingpage"}) {
        SCOPED_TRACE(path);
        const std::string page = get(std::string(path) + "?messages=%3Cb%3Ehi%3C/b%3E").body();
        EXPECT_NE(page.find("<tr><td class=\"messages\" >&lt;b&gt;hi&lt;/b&gt;</td><tr>"),
                  std::string::npos);
        EXPECT_EQ(fieldValue(page, "portNumber"), "4044");
        EXPECT_EQ(selectedOptions(page, "diffservcodepoint"), one(kNoMarking));
        expectNoVariables(page);
    }
}

}  // namespace
}  // namespace trellon::testing
