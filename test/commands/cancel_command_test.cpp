#include "commands/cancel_command.h"

#include <gtest/gtest.h>

#include <vector>

#include "http/http_request.h"
#include "results/test_log.h"

namespace trellon {
namespace {

class CancelCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestLog::destroy();
        TestLog::create(10);
    }
    void TearDown() override { TestLog::destroy(); }

    std::string answer(const std::string& query) {
        FormVariables form;
        form.decodeQuery(query);
        HttpRequest request(kInvalidSocket, 4044, false, "");
        ResponseBuffer out;
        EXPECT_EQ(command_.execute(request, form, out), 0);
        return out.str();
    }

    CancelCommand command_;
};

TEST_F(CancelCommandTest, IsABodyOnlyCommand) {
    EXPECT_EQ(command_.name(), "cancel");
    EXPECT_FALSE(command_.standardHeaders());
}

TEST_F(CancelCommandTest, CancelsAnExistingTest) {
    auto record = TestLog::instance()->newTestResult();
    auto other = TestLog::instance()->newTestResult();
    EXPECT_EQ(answer("id=" + std::to_string(record->getTestId())), "OK\r\n");
    EXPECT_TRUE(record->isCancelled());
    EXPECT_FALSE(other->isCancelled());
}

TEST_F(CancelCommandTest, AnythingElseFails) {
    auto record = TestLog::instance()->newTestResult();
    int unused = record->getTestId() + 1000;
    for (const std::string& query : std::vector<std::string>{
             "id=0", "", "id=", "id=-1", "id=abc", "id=" + std::to_string(unused),
             "id=99999999999999999999", "other=1"}) {
        EXPECT_EQ(answer(query), "FAILED\r\n") << query;
    }
    EXPECT_FALSE(record->isCancelled());
    // Without a test log (before start-up ends) nothing can be found.
    TestLog::destroy();
    EXPECT_EQ(answer("id=1"), "FAILED\r\n");
}

}  // namespace
}  // namespace trellon
