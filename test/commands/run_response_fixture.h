// Fixture for the run-response command: the agent runs its tests against
// itself. Its status command answers the remote check and names the
// reflector running in this process; the writer's start pause is cut to
// nothing, so a test of a few probes ends within a second.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "commands/pages_fixture.h"
#include "lib/thread.h"
#include "nettests/remote_agent_status.h"
#include "nettests/response_reflector.h"
#include "nettests/response_test_thread.h"
#include "results/test_log.h"
#include "results/test_result.h"

namespace trellon::testing {

using namespace std::chrono_literals;

class RunResponseCommandTest : public PagesTest {
protected:
    void SetUp() override {
        baseline_ = Thread::liveThreadCount();
        PagesTest::SetUp();
        reflector_ = std::make_unique<ResponseReflector>(0);
        reflector_->openSocketRunThreads();
        agent().reflectorResponsePort = reflector_->port();
        setAgentControlPortForTests(server_->port());
        emptyRemoteAgentCache();
        ResponseTestThread::setWriterStartDelayForTests(0ms);
    }
    void TearDown() override {
        ResponseTestThread::setWriterStartDelayForTests(1000ms);
        setAgentControlPortForTests(kAgentControlPort);
        emptyRemoteAgentCache();
        reflector_.reset();
        PagesTest::TearDown();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    // A later value of a repeated name is ignored, so the changes go first.
    static std::string query(const std::string& changes) {
        return "/response?" + changes +
               "&remoteComputer=127.0.0.1&testSize=100&pause=50&repeatCount=3&timeLimit=15"
               "&refreshInterval=5&diffservcodepoint=Off&l2priority=Off";
    }

    std::shared_ptr<TestResult> record(int id) { return TestLog::instance()->findTestResult(id); }

    // A test started without waiting ends on its own; bounded.
    bool waitFinished(int id) {
        auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            auto r = record(id);
            if (r && r->getState() == TestResult::kFinished &&
                Thread::liveThreadCount() == baseline_ + 2)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    std::unique_ptr<ResponseReflector> reflector_;
    int baseline_ = 0;
};

}  // namespace trellon::testing
