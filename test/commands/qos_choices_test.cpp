// The DSCP and 802.1p lists: reading a submitted option text, marking the
// chosen options, and the lists as the three input pages carry them.
#include "commands/qos_choices.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "http/templates.h"
#include "support/test_support.h"

namespace trellon {
namespace {

TEST(QosChoicesTest, DscpFromChoiceReadsNamesNumbersAndNoMarking) {
    struct Case {
        std::string text;
        int expected;
    };
    const Case cases[] = {
        {"AF41\xA0"
         "34\xA0"
         "100010\xA0"
         "C4 low",
         34},  // as a Latin-1 page submits it
        {"AF41 34 100010 C4 low", 34},
        {"EF\xA0"
         "46\xA0"
         "101110",
         46},
        {"EF", 46},
        {"CS0\xA0"
         "0\xA0"
         "000000\xA0"
         "Best effort",
         0},
        {"CS7", 56},
        {"AF11", 10},
        {"AF43", 38},
        {"63", 63},
        {"0", 0},
        {"17", 17},
        {"Off\t(No packet marking)", -1},
        {"Off (No packet marking)", -1},  // browsers fold the TAB
        {"", -1},
        {"nonsense", 0},
        {"99999999999999999999", 2147483647},
    };
    for (const Case& c : cases) EXPECT_EQ(dscpFromChoice(c.text), c.expected) << c.text;
}

TEST(QosChoicesTest, PriorityFromChoice) {
    EXPECT_EQ(priorityFromChoice("7"), 7);
    EXPECT_EQ(priorityFromChoice("0"), 0);
    EXPECT_EQ(priorityFromChoice("Off\t(No packet marking)"), -1);
    EXPECT_EQ(priorityFromChoice(""), -1);
    EXPECT_EQ(priorityFromChoice("x"), 0);
}

// The marks markChoices set to "SELECTED".
std::vector<std::string> selected(const FormVariables& form) {
    std::vector<std::string> names;
    for (const auto& [name, value] : form.all()) {
        if (value == "SELECTED") names.push_back(name);
    }
    return names;
}

TEST(QosChoicesTest, MarkChoicesSetsEveryMarkAndSelectsTheChosenOptions) {
    FormVariables form;
    form.set("$dscpSelected_EF", "SELECTED");  // from an earlier marking: must go
    markChoices(form,
                "AF41\xA0"
                "34\xA0"
                "100010\xA0"
                "C4 low",
                "7");
    EXPECT_EQ(selected(form), (std::vector<std::string>{"$dscpSelected_AF41", "$onepSelected_7"}));
    int marks = 0;
    for (const auto& [name, value] : form.all()) {
        if (name.rfind("$dscpSelected_", 0) == 0 || name.rfind("$onepSelected_", 0) == 0) ++marks;
    }
    EXPECT_EQ(marks, 1 + 21 + 64 + 1 + 8);

    markChoices(form, "34", "Off (No packet marking)");
    EXPECT_EQ(selected(form), (std::vector<std::string>{"$dscpSelected_34", "$onepSelected_Off"}));
    markChoices(form, "Off\t(No packet marking)", "8");
    EXPECT_EQ(selected(form), (std::vector<std::string>{"$dscpSelected_Off"}));
    markChoices(form, "64", "");
    EXPECT_TRUE(selected(form).empty());
}

TEST(QosChoicesTest, DefaultAndRemainingMarks) {
    ResponseBuffer page;
    page.append(
        "<option $dscpSelected_Off>Off</option><option $dscpSelected_1>1</option>"
        "<option $dscpSelected_10>10</option><option $onepSelected_Off>Off</option>"
        "<option $onepSelected_7>7</option>");
    ResponseBuffer fresh = page;
    applyDefaultQosMarks(fresh);
    EXPECT_EQ(fresh.str(),
              "<option SELECTED>Off</option><option >1</option><option >10</option>"
              "<option SELECTED>Off</option><option >7</option>");

    // A form that marked its DSCP options but not its 802.1p ones.
    FormVariables form;
    form.set("$dscpSelected_10", "SELECTED");
    ResponseBuffer back = page;
    replaceKey(back, "$dscpSelected_10", "SELECTED");
    clearRemainingQosMarks(back, form);
    EXPECT_EQ(back.str(),
              "<option >Off</option><option >1</option><option SELECTED>10</option>"
              "<option SELECTED>Off</option><option >7</option>");
}

// Every option of every input page: its marker names a key of the list, the
// option text begins with the key and reads as the key's code point, and
// every key of both lists is there exactly once.
TEST(QosChoicesTest, InputPagesCarryTheWholeListsInOrder) {
    std::map<std::string, int> codes;
    codes["Off"] = -1;
    for (const DscpName& name : namedDscpCodePoints()) codes[name.key] = name.codePoint;
    for (int i = 0; i <= 63; ++i) codes[std::to_string(i)] = i;

    const std::regex option(R"(<option \$(dscp|onep)Selected_([A-Za-z0-9]+)>([^<]*)</option>)");
    for (const char* page : {"bandwidth.htm", "responseTime.htm", "streaming.htm"}) {
        SCOPED_TRACE(page);
        const std::string text =
            testing::readFile(std::string(TRELLON_SOURCE_DIR) + "/htdocs/" + page);
        std::vector<std::string> dscpSeen, prioritySeen;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
             it != std::sregex_iterator(); ++it) {
            const std::string list = (*it)[1], key = (*it)[2];
            std::string shown = std::regex_replace((*it)[3].str(), std::regex("&nbsp;"), "\xA0");
            EXPECT_EQ(shown.rfind(key, 0), 0u) << key << " / " << shown;
            if (list == "dscp") {
                dscpSeen.push_back(key);
                ASSERT_TRUE(codes.count(key)) << key;
                EXPECT_EQ(dscpFromChoice(shown), codes[key]) << shown;
                FormVariables form;
                markChoices(form, shown, "");
                EXPECT_EQ(form.get("$dscpSelected_" + key), "SELECTED") << shown;
            } else {
                prioritySeen.push_back(key);
                EXPECT_EQ(priorityFromChoice(shown), key == "Off" ? -1 : std::stoi(key));
            }
        }
        EXPECT_EQ(dscpSeen, dscpKeys());
        EXPECT_EQ(prioritySeen, priorityKeys());
    }
}

}  // namespace
}  // namespace trellon
