// ActionThread with real child processes: both streams into the record
// (escaped unless HTML), every line up to the end, the time limit, cancel and
// stop ending the child with its children, a program that cannot start, and
// the bound on kept output.
#include "plugins/action_thread.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "results/test_result.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One run of a command through an ActionThread the test owns.
class ActionRun {
public:
    ActionRun(std::vector<std::string> arguments, int timeLimit, bool stdoutHtml = false,
              std::string commandLine = "")
        : record_(std::make_shared<TestResult>(1, LocalEndpoint{"here", "127.0.0.1", 4044})),
          progress_(std::make_shared<ActionThread::Progress>()) {
        record_->setTestType(TestResult::kPluginAction);
        record_->setTitle("Probe");
        record_->setStdoutIsHtml(stdoutHtml);
        record_->setState(TestResult::kStarting);
        if (commandLine.empty()) {
            for (const std::string& argument : arguments)
                commandLine += (commandLine.empty() ? "" : " ") + argument;
        }
        ActionThread::Command command{
            commandLine, std::move(arguments), {"PATH=/usr/bin:/bin"}, "/"};
        thread_ = std::make_unique<ActionThread>(timeLimit, std::move(command), record_, progress_,
                                                 false);
        started_ = Clock::now();
        thread_->start();
    }
    ~ActionRun() {
        if (thread_) {
            thread_->stop();
            thread_->join();
        }
    }

    // Waits for the end of Run; how long the run took, or a negative time at the deadline.
    std::chrono::milliseconds waitEnded(std::chrono::seconds limit = 20s) {
        const auto deadline = Clock::now() + limit;
        while (!progress_->ended.load() && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        if (!progress_->ended.load()) return -1ms;
        thread_->join();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
    }
    bool waitRunning() {
        const auto deadline = Clock::now() + 10s;
        while (record_->getState() != TestResult::kRunning && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return record_->getState() == TestResult::kRunning;
    }
    // The first line of the output, once there is one.
    std::string firstLine() {
        const auto deadline = Clock::now() + 10s;
        std::string text;
        while (Clock::now() < deadline) {
            text = record_->getOutputText();
            if (text.find('\n') != std::string::npos) return text.substr(0, text.find('\n'));
            std::this_thread::sleep_for(5ms);
        }
        return "";
    }

    TestResult& record() { return *record_; }
    ActionThread& thread() { return *thread_; }

private:
    std::shared_ptr<TestResult> record_;
    std::shared_ptr<ActionThread::Progress> progress_;
    std::unique_ptr<ActionThread> thread_;
    Clock::time_point started_;
};

// Gone, or a zombie waiting for its new parent: either way it runs no more.
bool ended(int pid) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close + 1, 3, " Z ") == 0;
}

bool waitProcessEnded(int pid) {
    const auto deadline = Clock::now() + 5s;
    while (!ended(pid) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return ended(pid);
}

TEST(ActionThreadTest, BothStreamsReachTheRecordEscapedUnlessHtmlAndTheRunFinishes) {
    {
        ActionRun run({"/bin/sh", "-c", "echo '<b>out</b>'; echo 'err & more' >&2"}, 10);
        ASSERT_GE(run.waitEnded().count(), 0);
        EXPECT_EQ(run.record().getOutputText(), "&lt;b&gt;out&lt;/b&gt;\n");
        EXPECT_EQ(run.record().getErrorText(), "err &amp; more\n");
        EXPECT_EQ(run.record().getState(), TestResult::kFinished);
        EXPECT_EQ(run.record().getFinalResults(), "Probe finished.");
        EXPECT_FALSE(run.record().getRanFullPeriod());
        ASSERT_EQ(run.record().getRowCount(), 1);
        EXPECT_EQ(run.record().getRow(0)->cells.at(0), "Probe finished.");
        EXPECT_NE(run.record().xmlDocument().find("<stdout>&amp;lt;b&amp;gt;out"),
                  std::string::npos);
        EXPECT_EQ(run.record().getActionThread(), nullptr);
    }
    {
        ActionRun html({"/bin/sh", "-c", "echo '<b>out</b>'"}, 10, true);
        ASSERT_GE(html.waitEnded().count(), 0);
        EXPECT_EQ(html.record().getOutputText(), "<b>out</b>\n");
    }
}

// The child's end and its last output race each other: the record must not
// be finished before the readers have taken everything.
TEST(ActionThreadTest, EveryLineWrittenBeforeTheEndIsKept) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        ActionRun run({"/bin/sh", "-c",
                       "i=0; while [ $i -lt 3000 ]; do echo line$i; echo e$i >&2; i=$((i+1)); "
                       "done"},
                      20);
        ASSERT_GE(run.waitEnded().count(), 0);
        const std::string output = run.record().getOutputText();
        EXPECT_NE(output.find("line0\n"), std::string::npos);
        EXPECT_NE(output.find("line2999\n"), std::string::npos) << "attempt " << attempt;
        EXPECT_NE(run.record().getErrorText().find("e2999\n"), std::string::npos);
    }
}

TEST(ActionThreadTest, TimeLimitEndsTheChildAndItsChildrenWithinASecond) {
    ActionRun run({"/bin/sh", "-c", "sleep 60 & echo $!; sleep 60"}, 1);
    const int grandchild = std::atoi(run.firstLine().c_str());
    ASSERT_GT(grandchild, 0);
    const auto took = run.waitEnded();
    ASSERT_GE(took.count(), 0) << "still running long after its time limit";
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 2500ms);
    EXPECT_TRUE(run.record().getRanFullPeriod());
    EXPECT_EQ(run.record().getState(), TestResult::kFinished);
    EXPECT_EQ(run.record().getFinalResults(),
              "Probe finished.<br>Test ran entire time period you asked for.");
    EXPECT_TRUE(waitProcessEnded(grandchild)) << "the sleep the command started outlived it";
}

TEST(ActionThreadTest, CommandThatNamesNoProgramSaysUnableToStart) {
    {
        ActionRun run({"no-such-program-anywhere", "<x>"}, 10);
        ASSERT_GE(run.waitEnded().count(), 0);
        EXPECT_EQ(run.record().getOutputText(),
                  "Unable to start no-such-program-anywhere &lt;x&gt;\n");
        EXPECT_EQ(run.record().getState(), TestResult::kFinished);
        EXPECT_EQ(run.record().getFinalResults(), "The command could not be started.");
    }
    {
        ActionRun empty({}, 10, false, "$program");
        ASSERT_GE(empty.waitEnded().count(), 0);
        EXPECT_EQ(empty.record().getOutputText(), "Unable to start &#36;program\n");
    }
}

TEST(ActionThreadTest, CancelAndStopEndTheChildPromptly) {
    {
        ActionRun run({"/bin/sh", "-c", "echo $$; sleep 60"}, 100);
        const int child = std::atoi(run.firstLine().c_str());
        ASSERT_GT(child, 0);
        ASSERT_TRUE(run.waitRunning());
        const auto cancelled = Clock::now();
        run.record().setCancelled();
        ASSERT_GE(run.waitEnded().count(), 0);
        EXPECT_LT(Clock::now() - cancelled, 2500ms);
        EXPECT_TRUE(ended(child));
        EXPECT_NE(run.record().getFinalResults().find("This test was cancelled by the user."),
                  std::string::npos);
        EXPECT_FALSE(run.record().getRanFullPeriod());
    }
    {
        // What the agent's shutdown does to every thread that still runs.
        ActionRun run({"/bin/sh", "-c", "echo $$; sleep 60"}, 100);
        const int child = std::atoi(run.firstLine().c_str());
        ASSERT_GT(child, 0);
        const auto stopped = Clock::now();
        run.thread().stop();
        ASSERT_GE(run.waitEnded().count(), 0);
        EXPECT_LT(Clock::now() - stopped, 1500ms);
        EXPECT_TRUE(ended(child));
        EXPECT_EQ(run.record().getState(), TestResult::kFinished);
    }
}

TEST(ActionThreadTest, OutputBeyondTheBoundIsCutWithANote) {
    ActionRun run({"/bin/sh", "-c",
                   "head -c 3000000 /dev/zero | tr '\\0' x; head -c 2000000 /dev/zero | tr "
                   "'\\0' y >&2"},
                  30);
    ASSERT_GE(run.waitEnded(30s).count(), 0);
    const std::string output = run.record().getOutputText();
    const std::string errors = run.record().getErrorText();
    EXPECT_EQ(output.size(), ActionThread::kMaxOutputBytes + ActionThread::cutNote().size());
    EXPECT_EQ(output.substr(ActionThread::kMaxOutputBytes), ActionThread::cutNote());
    EXPECT_EQ(output.find_first_not_of('x'), ActionThread::kMaxOutputBytes);
    EXPECT_EQ(errors.size(), ActionThread::kMaxOutputBytes + ActionThread::cutNote().size());
    EXPECT_FALSE(run.record().getRanFullPeriod()) << "the command was read to its end";
}

}  // namespace
}  // namespace trellon
