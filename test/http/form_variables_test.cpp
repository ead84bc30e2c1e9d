#include "http/form_variables.h"

#include <gtest/gtest.h>

#include <random>

#include "support/test_support.h"

namespace trellon {
namespace {

using Map = std::map<std::string, std::string>;

TEST(FormVariablesTest, DecodesQueries) {
    struct Case {
        std::string query;
        Map expected;
    };
    const Case cases[] = {
        {"a=1&b=x+y%21&c", {{"a", "1"}, {"b", "x y!"}}},  // the bare c ends decoding
        {"a=1&c&d=2", {{"a", "1"}}},                      // also when a later pair has its "="
        {"", {}},
        {"novalue", {}},
        {"a=", {{"a", ""}}},
        {"a=&b=2", {{"a", ""}, {"b", "2"}}},
        {"a=1&", {{"a", "1"}}},
        {"a=b=c", {{"a", "b=c"}}},
        {"a=1&a=2", {{"a", "1"}}},  // the first value stays
        {"%61%62=%41%4a%4A", {{"ab", "AJJ"}}},
        {"a=%zz", {{"a", "?"}}},
        {"a=%g1x", {{"a", "?x"}}},  // both characters behind "%" are consumed
        {"a=%4g", {{"a", "?"}}},
        {"a=%%41", {{"a", "?1"}}},
        {"a=100%", {{"a", "100?"}}},  // a "%" at the end reads nothing beyond
        {"a=%4", {{"a", "?"}}},
        {"a=%4&b=2", {{"a", "?"}, {"b", "2"}}},
        {"a=x%00y", {{"a", std::string("x\0y", 3)}}},
        {"remoteComputer=host%2Dname&timeLimit=10",
         {{"remoteComputer", "host-name"}, {"timeLimit", "10"}}},
        // Page variables never come from a query, however the "$" is written.
        {"$title=%3Cb%3E", {}},
        {"a=1&%24b=2&c=3", {{"a", "1"}, {"c", "3"}}},
    };
    for (const Case& c : cases) {
        FormVariables variables;
        variables.decodeQuery(c.query);
        EXPECT_EQ(variables.all(), c.expected) << "query \"" << c.query << "\"";
    }
}

TEST(FormVariablesTest, CutsLongNamesAndValuesBeforeDecoding) {
    const std::size_t limit = FormVariables::kMaxFieldBytes;
    FormVariables variables;
    variables.decodeQuery(std::string(200, 'n') + "=" + std::string(300, 'v') + "&next=1");
    ASSERT_EQ(variables.all().size(), 2u);
    EXPECT_EQ(variables.get(std::string(limit, 'n')), std::string(limit, 'v'));
    EXPECT_EQ(variables.get("next"), "1");

    // 40 escapes are 120 bytes; the cut keeps 34 whole ones and a lone "%".
    std::string escapes;
    for (int i = 0; i < 40; ++i) escapes += "%41";
    FormVariables escaped;
    escaped.decodeQuery("v=" + escapes);
    EXPECT_EQ(escaped.get("v"), std::string(34, 'A') + "?");

    FormVariables exact;
    exact.decodeQuery(std::string(limit, 'k') + "=" + std::string(limit, '+'));
    EXPECT_EQ(exact.get(std::string(limit, 'k')), std::string(limit, ' '));
}

TEST(FormVariablesTest, GetSetAndHas) {
    FormVariables variables;
    variables.decodeQuery("a=1");
    EXPECT_TRUE(variables.has("a"));
    EXPECT_FALSE(variables.has("b"));
    EXPECT_EQ(variables.get("b"), "");
    variables.set("a", "2");
    variables.set("b", "3");
    EXPECT_EQ(variables.get("a"), "2");
    EXPECT_EQ(variables.get("b"), "3");
}

TEST(FormVariablesTest, CopiesEveryVariableUnderItsDollarName) {
    FormVariables variables;
    variables.decodeQuery(
        "timeLimit=10&remoteComputer=peer&mbytesselected=autofocus+onfocus%3Dx&dscpSelected_EF=y");
    variables.set("$old", "x");
    variables.copyAsDollarNames();
    // Selection marks stand bare inside tags: a submitted one is never copied.
    EXPECT_EQ(variables.all(), (Map{{"timeLimit", "10"},
                                    {"remoteComputer", "peer"},
                                    {"mbytesselected", "autofocus onfocus=x"},
                                    {"dscpSelected_EF", "y"},
                                    {"$old", "x"},
                                    {"$timeLimit", "10"},
                                    {"$remoteComputer", "peer"},
                                    {"$$old", "x"}}));
}

TEST(FormVariablesTest, PrintsOneLinePerVariableInNameOrder) {
    FormVariables variables;
    variables.decodeQuery("b=x+y&a=1");
    std::string out = trellon::testing::captureStdout([&] { variables.print(); });
    EXPECT_EQ(out, "Form variable a = \"1\"\nForm variable b = \"x y\"\n");
}

TEST(FormVariablesTest, RandomQueriesDecodeWithinBounds) {
    std::mt19937 random(20080301);
    const char alphabet[] = "ab=&%+0F9g \x80\xff";
    for (int round = 0; round < 3000; ++round) {
        std::string query;
        const int length = static_cast<int>(random() % 400);
        for (int i = 0; i < length; ++i) {
            query += (round % 2 == 0) ? static_cast<char>(random() & 0xff)
                                      : alphabet[random() % (sizeof(alphabet) - 1)];
        }
        FormVariables variables;
        variables.decodeQuery(query);
        for (const auto& [name, value] : variables.all()) {
            // Decoding never lengthens a field.
            EXPECT_LE(name.size(), FormVariables::kMaxFieldBytes);
            EXPECT_LE(value.size(), FormVariables::kMaxFieldBytes);
        }
        EXPECT_LE(FormVariables::decodeComponent(query).size(), query.size());
    }
}

}  // namespace
}  // namespace trellon
