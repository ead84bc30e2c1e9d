#include "results/json_text.h"

#include <gtest/gtest.h>

#include <string>

#include "results/json_check.h"
#include "results/test_result.h"
#include "results/xml_check.h"

namespace trellon {
namespace {

TEST(JsonText, StringsEscapeEveryByteSafely) {
    struct Case {
        std::string raw;
        const char* json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"<b>x</b>&amp;", "\"<b>x</b>&amp;\""},  // HTML stays as it is
        {"tab\tline\ncr\r", "\"tab\\tline\\ncr\\r\""},
        {std::string("nul\0bel\x07", 8), "\"nul\\u0000bel\\u0007\""},
        {"caf\xC3\xA9", "\"caf\\u00e9\""},              // UTF-8 as its character
        {"caf\xE9", "\"caf\\u00e9\""},                  // a Latin-1 byte as its character
        {"\xF0\x9F\x98\x80", "\"\\ud83d\\ude00\""},     // above the BMP: a surrogate pair
        {"\xC0\xAF", "\"\\u00c0\\u00af\""},             // overlong: two Latin-1 bytes
        {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},  // a UTF-8 surrogate is not valid
        {"\xE2\x82", "\"\\u00e2\\u0082\""},             // cut short
        {"\x7F", "\"\\u007f\""},
    };
    for (const auto& c : cases) EXPECT_EQ(jsonString(c.raw), c.json) << c.raw;
}

TEST(JsonText, ObjectsKeepOrderAndEveryDifferentValueOfARepeatedName) {
    EXPECT_EQ(jsonObject({}), "{\n}");
    EXPECT_EQ(jsonObject({{"a", "1", true}, {"b", "x", false}, {"a", "1", true}}),
              "{\n    \"a\": 1,\n    \"b\": \"x\"\n}");
    EXPECT_EQ(jsonObject({{"t", "5", true}, {"t", "7", true}, {"t", "5", true}}),
              "{\n    \"t\": [5, 7]\n}");
}

// A finished response record with hostile texts in it: the JSON parses with
// a strict parser and carries every element of the XML with its value, the
// numbers as numbers.
TEST(JsonDocument, CarriesEveryXmlElement) {
    TestResult record(12, LocalEndpoint{"here", "10.0.0.1", 4044});
    record.setTypeName("Response");
    record.setTestType(TestResult::kResponseTest);
    record.setTitle("Round \"Trip\" <Test> caf\xE9 \xE2\x82\xAC");
    record.setRemotePort(4047);
    record.setTimeLimit(10);
    record.addXmlInt("timeLimit", 10);  // as the run command repeats it
    record.setFormValue("2bad name", "va\\lue");
    record.addFormValuesToXml();
    record.setState(TestResult::kRunning);
    for (int i = 0; i < 3; ++i) {
        record.addPacketSent();
        record.addPacketReceived();
        record.addResponseFigures(9000 + 300 * i, 120, 1000);
    }
    record.finishResponse();
    record.setState(TestResult::kFinished);
    std::string xml = record.xmlDocument();
#ifndef _WIN32
    // The parse check runs the host's python3, which a Windows run has not.
    ASSERT_TRUE(testing::parsesAsXml(xml));
#endif
    std::string json = record.jsonDocument();
    EXPECT_TRUE(testing::jsonCarriesXml(json, xml));
    EXPECT_NE(json.find("\"id\": 12,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"done\": 1,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"latency\": 4.000,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"latencyMicroseconds\": 4590,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"timeLimit\": 10,"), std::string::npos) << json;  // once
    EXPECT_EQ(json.find("\"timeLimit\"", json.find("\"timeLimit\"") + 1), std::string::npos);
    EXPECT_NE(json.find("\"_2bad_name\": \"va\\\\lue\""), std::string::npos) << json;
}

}  // namespace
}  // namespace trellon
