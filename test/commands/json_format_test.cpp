// format=json from the run-test commands and the results command: the record
// a script gets, against the XML of the same record.
#include <gtest/gtest.h>

#include <string>

#include "commands/run_response_fixture.h"
#include "results/json_check.h"

namespace trellon::testing {
namespace {

using JsonFormatTest = RunResponseCommandTest;

std::string withoutLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

TEST_F(JsonFormatTest, BothCommandsAnswerTheRecordAsJson) {
    HttpReply reply = get(query("format=json&refresh=false"));
    ASSERT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    auto r = record(1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->getState(), TestResult::kFinished);  // the answer waited for the end
    std::string json = withoutLineEnds(reply.body());
    std::string xml = r->xmlDocument();
    EXPECT_TRUE(jsonCarriesXml(json, xml));
    EXPECT_NE(json.find("\"done\": 1"), std::string::npos) << json;
    EXPECT_NE(json.find("\"received\": 3"), std::string::npos) << json;
    EXPECT_NE(json.find("\"latencyMicroseconds\": "), std::string::npos) << json;
    EXPECT_NE(json.find("\"remoteComputer\": \"127.0.0.1\""), std::string::npos) << json;

    reply = get("/results?id=1&format=json");
    ASSERT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(withoutLineEnds(reply.body()), r->jsonDocument());
    EXPECT_TRUE(jsonCarriesXml(withoutLineEnds(reply.body()), xml));
}

TEST_F(JsonFormatTest, ARefusalIsJsonToo) {
    // A program is held to the same bounds; its refusal says why, as JSON.
    HttpReply reply = get(query("testSize=99&format=json"));
    ASSERT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    std::string json = withoutLineEnds(reply.body());
    EXPECT_EQ(json,
              "{\n    \"type\": \"Response\",\n    \"refused\": 1,\n    \"messages\": [\"<p>Please "
              "enter a test packet size between 100 and 1500.</p>\"]\n}");
    EXPECT_FALSE(record(1));
    EXPECT_EQ(runCommand("printf '%s' '" + json +
                         "' | python3 -c 'import json,sys; "
                         "json.loads(sys.stdin.read(), strict=True)'"),
              0);
}

}  // namespace
}  // namespace trellon::testing
