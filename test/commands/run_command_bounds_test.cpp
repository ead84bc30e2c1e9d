// What every run request must pass before a test starts, whoever sends it:
// the form's bounds also for programs (answered in XML or text instead of
// the input page), and the cap on tests running at once, whose slot comes
// back however the test ends.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "commands/run_response_command.h"
#include "commands/run_response_fixture.h"
#include "http/http_server.h"
#include "lib/agent_state.h"
#include "results/running_test_slots.h"
#include "results/xml_check.h"

namespace trellon::testing {
namespace {

const std::string kSizeRange = "<p>Please enter a test packet size between 100 and 1500.</p>";
const std::string kPauseRange =
    "<p>Please enter a pause between packets time between 50 and 10,000 milliseconds.</p>";
const std::string kRefreshRange =
    "<p>Please enter time to wait before refreshing the screen between 1 and 60 seconds.</p>";
const std::string kTimeRange = "<p>Please enter a time limit between 1 and 60 seconds.</p>";
const std::string kBusy =
    "<p>Trellon is already running 20 tests; try again when one has finished.</p>";

// As a program sends it: no refreshInterval, no QoS lists. The changes go
// first (a later value of a repeated name is ignored).
std::string programQuery(const std::string& changes, const std::string& format = "xml") {
    return "/response?" + changes +
           "&remoteComputer=127.0.0.1&testSize=100&pause=50&repeatCount=3&timeLimit=15"
           "&format=" +
           format;
}

// What the server sent after the command's output (its CR LF), and the
// command's own line end, taken off.
std::string withoutLineEnds(std::string body) {
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
    return body;
}

class RunCommandBoundsTest : public RunResponseCommandTest {
protected:
    void SetUp() override {
        ASSERT_EQ(RunningTestSlots::inUse(), 0) << "a slot leaked";
        RunResponseCommandTest::SetUp();
    }
    void TearDown() override {
        RunResponseCommandTest::TearDown();
        EXPECT_EQ(RunningTestSlots::inUse(), 0) << "a slot leaked";
    }

    // Nothing was made: no record, no test thread.
    void expectNothingStarted() {
        EXPECT_EQ(TestLog::instance()->count(), 0);
        EXPECT_EQ(agent().testsCreated.load(), 0);
    }

    // Every slot, as if that many tests ran.
    std::vector<RunningTestSlot> takeAllSlots() {
        std::vector<RunningTestSlot> held;
        for (int i = 0; i < RunningTestSlots::kMaxRunningTests; ++i) {
            held.push_back(RunningTestSlots::tryAcquire());
            EXPECT_TRUE(held.back());
        }
        return held;
    }

    bool waitSlotsFree() {
        auto end = std::chrono::steady_clock::now() + 10s;
        while (RunningTestSlots::inUse() != 0) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
};

TEST_F(RunCommandBoundsTest, ProgramRequestsMeetTheFormsBoundsAndGetTheMessagesInXml) {
    const std::string verifyFailed =
        "Sorry, but Trellon could not establish communication with another Trellon at that "
        "address.  ";
    struct Case {
        std::string changes;
        std::vector<std::string> messages;
    } cases[] = {
        // The flood: one request asking for millions of back-to-back jumbo probes.
        {"pause=0&repeatCount=2000000000&timeLimit=100000&testSize=65507",
         {kSizeRange, kPauseRange, kTimeRange}},
        {"timeLimit=61", {kTimeRange}},  // the agent's own limit
        {"refreshInterval=61", {kRefreshRange}},
        {"refreshInterval=0", {kRefreshRange}},
        {"refreshInterval=x",
         {"<p>Please enter a number for the time to wait before refreshing the screen.</p>",
          kRefreshRange}},
        {"verifyComputer=ON&remoteComputer=no-such-host.invalid",
         {verifyFailed, "The remote computer no-such-host.invalid could not be found."}},
    };
    for (const Case& c : cases) {
        const std::string path = programQuery(c.changes);
        SCOPED_TRACE(path);
        HttpReply reply = get(path);
        ASSERT_EQ(reply.status(), 200);
        EXPECT_NE(reply.header("Content-Type").find("text/xml"), std::string::npos);
        const std::string document = withoutLineEnds(reply.body());
        EXPECT_TRUE(parsesAsXml(document));
        EXPECT_EQ(document.find("<form"), std::string::npos);  // not the input page
        EXPECT_EQ(parsedElementText(document, "type"), "Response");
        // One element per message, in order, with the page's words.
        std::size_t at = 0;
        for (const std::string& message : c.messages) {
            std::string escaped;
            for (char ch : message) {
                if (ch == '<')
                    escaped += "&lt;";
                else if (ch == '>')
                    escaped += "&gt;";
                else
                    escaped += ch;
            }
            std::size_t found = document.find("<message>" + escaped + "</message>", at);
            EXPECT_NE(found, std::string::npos) << message << "\n" << document;
            if (found != std::string::npos) at = found;
        }
        EXPECT_EQ(parsedElementText(document, "message"), c.messages.front());
    }
    expectNothingStarted();
    EXPECT_EQ(RunningTestSlots::inUse(), 0);
}

TEST_F(RunCommandBoundsTest, ProgramWithoutRefreshIntervalRunsAndIsGivenOne) {
    for (const char* changes : {"refresh=false", "refresh=false&refreshInterval="}) {
        SCOPED_TRACE(changes);
        HttpReply reply = get(programQuery(changes));
        ASSERT_EQ(reply.status(), 200);
        EXPECT_NE(reply.body().find("/results?id="), std::string::npos) << reply.body();
    }
    ASSERT_TRUE(record(1));
    ASSERT_TRUE(record(2));
    EXPECT_EQ(record(1)->getRefreshInterval(), RunTestCommand::kProgramRefreshInterval);
    EXPECT_EQ(record(2)->getRefreshInterval(), RunTestCommand::kProgramRefreshInterval);
    EXPECT_EQ(record(2)->getPacketsReceived(), 3);
    // Clamped to a shorter time limit like any interval.
    get(programQuery("refresh=false&timeLimit=3"));
    ASSERT_TRUE(record(3));
    EXPECT_EQ(record(3)->getRefreshInterval(), 3);
}

TEST_F(RunCommandBoundsTest, TheCapRefusesFurtherTestsUntilOneEnds) {
    std::vector<RunningTestSlot> held = takeAllSlots();

    // The browser gets the input page with the message and its values.
    HttpReply page = get(query("format=html&pause=70"));
    ASSERT_EQ(page.status(), 200);
    EXPECT_NE(page.body().find(kBusy), std::string::npos) << page.body().substr(0, 800);
    EXPECT_NE(page.body().find("name=\"pause\" value=\"70\""), std::string::npos);
    // A program gets it in XML.
    HttpReply xml = get(programQuery("refresh=false"));
    const std::string document = withoutLineEnds(xml.body());
    EXPECT_TRUE(parsesAsXml(document));
    EXPECT_EQ(parsedElementText(document, "message"), kBusy);
    expectNothingStarted();
    EXPECT_EQ(RunningTestSlots::inUse(), RunningTestSlots::kMaxRunningTests);

    // One ends: one more may start, and its slot comes back with its thread.
    held.pop_back();
    HttpReply run = get(programQuery("refresh=false"));
    EXPECT_NE(run.body().find("/results?id=1&format=xml"), std::string::npos) << run.body();
    ASSERT_TRUE(record(1));
    EXPECT_EQ(record(1)->getState(), TestResult::kFinished);
    EXPECT_EQ(RunningTestSlots::inUse(), RunningTestSlots::kMaxRunningTests - 1);

    // A test that frees its own thread gives its slot back when the thread is gone.
    held.clear();
    HttpReply started = get(query("format=html"));
    EXPECT_EQ(started.status(), 302);
    EXPECT_TRUE(waitFinished(2));
    EXPECT_TRUE(waitSlotsFree());
}

// A command whose test thread cannot be made: the exception reaches the
// caller, and the slot taken for the test is back all the same.
class BrokenThreadCommand : public RunResponseCommand {
protected:
    std::unique_ptr<TestThread> createThread(const RunTestRequest&, std::shared_ptr<TestResult>,
                                             bool) const override {
        throw std::runtime_error("no thread");
    }
};

// A command that, like the bandwidth command, takes "text" from programs too.
class TextProgramCommand : public RunResponseCommand {
protected:
    bool answersWithoutPage(const std::string& format) const override {
        return format == "xml" || format == "text";
    }
};

template <typename Command>
class OwnResponseCommandTest : public RunCommandBoundsTest {
protected:
    // The first command registered under a name is the one that serves it.
    HttpServer::CommandRegistrar registrar() override {
        return [](HttpServer& server) {
            server.registerCommand(std::make_unique<Command>());
            registerBuiltInCommands(server);
        };
    }
};

using BrokenThreadTest = OwnResponseCommandTest<BrokenThreadCommand>;
using TextProgramTest = OwnResponseCommandTest<TextProgramCommand>;

TEST_F(BrokenThreadTest, SlotComesBackWhenTheThreadIsNeverMade) {
    FormVariables form;
    form.decodeQuery(programQuery("refresh=false").substr(10));
    EXPECT_THROW(runDirect("response", form), std::runtime_error);
    EXPECT_EQ(RunningTestSlots::inUse(), 0);
    // Its record never started and nobody holds it: the log may drop it.
    ASSERT_TRUE(record(1));
    EXPECT_EQ(record(1)->getState(), TestResult::kNotStarted);
}

TEST_F(TextProgramTest, TextProgramsGetTheMessagesAsPlainLines) {
    HttpReply reply =
        get(programQuery("pause=0&testSize=65507&verifyComputer=ON&remoteComputer=a%3Cb", "text"));
    ASSERT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(),
              "Sorry, but Trellon could not establish communication with another Trellon at that "
              "address.\r\n"
              "The remote computer a&lt;b could not be found.\r\n"
              "Please enter a test packet size between 100 and 1500.\r\n"
              "Please enter a pause between packets time between 50 and 10,000 milliseconds.\r\n"
              "\r\n");
    expectNothingStarted();

    std::vector<RunningTestSlot> held = takeAllSlots();
    reply = get(programQuery("repeatCount=3", "text"));
    EXPECT_EQ(reply.body(),
              "Trellon is already running 20 tests; try again when one has finished.\r\n\r\n");
    held.clear();
    expectNothingStarted();

    // Within bounds a text request runs as before: nothing but the test.
    reply = get(programQuery("refresh=false", "text"));
    EXPECT_EQ(reply.body(), "\r\n");
    ASSERT_TRUE(record(1));
    EXPECT_EQ(record(1)->getState(), TestResult::kFinished);
}

}  // namespace
}  // namespace trellon::testing
