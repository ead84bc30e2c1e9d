#include "nettests/streaming_test_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "http/form_variables.h"
#include "lib/thread.h"
#include "nettests/fake_agent.h"
#include "nettests/remote_agent_status.h"
#include "nettests/start_stream_server_command.h"
#include "nettests/stream_server.h"
#include "nettests/stream_test_helpers.h"
#include "results/test_result.h"

namespace trellon {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::loopback;

// A remote agent that answers status, and startStreamServer with a real
// StreamServer of this process aimed at 127.0.0.1 (or with "0" when told to
// refuse), and cancel by cancelling that server's record.
class StreamingRemote {
public:
    explicit StreamingRemote(bool refuse = false)
        : refuse_(refuse), agent_([this](const std::string& path) { return answer(path); }) {
        setAgentControlPortForTests(agent_.port());
    }
    ~StreamingRemote() {
        std::lock_guard<std::mutex> guard(lock_);
        server_.reset();  // stops and joins it
    }

    std::string answer(const std::string& path) {
        if (path == "status") return "3.2\r\nready\r\n4045\r\n4046\r\n4047\r\n0\r\n";
        std::size_t query = path.find('?');
        std::string name = path.substr(0, query);
        FormVariables form;
        if (query != std::string::npos) form.decodeQuery(path.substr(query + 1));
        std::lock_guard<std::mutex> guard(lock_);
        if (name == "startStreamServer") {
            lastQuery_ = path;
            auto settings = StartStreamServerCommand::readSettings(form, 60);
            if (refuse_ || !settings) return "0\r\n";
            settings->clientAddress = loopback();
            record_ = std::make_shared<TestResult>(7, LocalEndpoint{"remote", "127.0.0.1", 4044});
            server_ = std::make_unique<StreamServer>(*settings, record_, false);
            if (!server_->open(nullptr)) return "0\r\n";
            server_->start();
            return "7\r\nOK\r\n";
        }
        if (name == "cancel") {
            cancels_.push_back(form.get("id"));
            if (record_ && form.get("id") == "7") record_->setCancelled();
            return "OK\r\n";
        }
        return "FAILED\r\n";
    }

    std::shared_ptr<TestResult> serverRecord() {
        std::lock_guard<std::mutex> guard(lock_);
        return record_;
    }
    std::vector<std::string> cancels() {
        std::lock_guard<std::mutex> guard(lock_);
        return cancels_;
    }
    std::string lastQuery() {
        std::lock_guard<std::mutex> guard(lock_);
        return lastQuery_;
    }

private:
    bool refuse_;
    std::mutex lock_;  // guards what answer() keeps
    std::shared_ptr<TestResult> record_;
    std::unique_ptr<StreamServer> server_;
    std::vector<std::string> cancels_;
    std::string lastQuery_;
    testing::FakeAgent agent_;  // last: it stops answering before the rest goes
};

class StreamingTestThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        emptyRemoteAgentCache();
        baseline_ = Thread::liveThreadCount();
    }
    void TearDown() override {
        setAgentControlPortForTests(kAgentControlPort);
        emptyRemoteAgentCache();
        EXPECT_EQ(Thread::liveThreadCount(), baseline_) << "a thread outlived its test";
    }

    std::unique_ptr<StreamingTestThread> makeThread(int timeLimit, int dscp = -1) {
        // 100-byte packets every 10 ms, a 500 ms buffer, a row a second.
        return std::make_unique<StreamingTestThread>(record_, "127.0.0.1", 4044, 100, 10000, 500, 1,
                                                     timeLimit, dscp, -1, 0, false);
    }

    std::shared_ptr<TestResult> record_ =
        std::make_shared<TestResult>(1, LocalEndpoint{"local", "127.0.0.1", 4044});
    int baseline_ = 0;
};

int intElement(const std::string& xml, const std::string& name) {
    std::string open = "<" + name + ">";
    std::size_t at = xml.find(open);
    if (at == std::string::npos) return -1;
    return std::stoi(xml.substr(at + open.size()));
}

TEST_F(StreamingTestThreadTest, ReceivesTheStreamItAskedForAndEndsWithItsFigures) {
    auto thread = makeThread(2, 46);
    {
        StreamingRemote remote;
        thread->start();
        thread->join();
        // The request named the client's port and the marking asked for.
        EXPECT_NE(
            remote.lastQuery().find("port=" + std::to_string(record_->getStreamReceivePort())),
            std::string::npos)
            << remote.lastQuery();
        EXPECT_NE(remote.lastQuery().find(
                      "&packetSize=100&flowRate=10000&reportInterval=1&timeLimit=2&dscp=46"),
                  std::string::npos)
            << remote.lastQuery();
        EXPECT_EQ(remote.lastQuery().find("onep"), std::string::npos);
        EXPECT_EQ(thread->remoteTestId(), 7);
    }
    EXPECT_EQ(record_->getState(), TestResult::kFinished);
    std::string xml = record_->getXmlExtras();
    // About 200 packets in 2 s; the client's time began first, so it may miss
    // the server's last few.
    EXPECT_GE(intElement(xml, "packetCount"), 180) << xml;
    EXPECT_LE(intElement(xml, "packetCount"), 201) << xml;
    EXPECT_EQ(intElement(xml, "dropped"), 0) << xml;
    EXPECT_EQ(intElement(xml, "duplicate"), 0) << xml;
    EXPECT_GE(intElement(xml, "jitter"), 0) << xml;
    EXPECT_NE(record_->getFinalResults().find("Jitter (MS) average"), std::string::npos)
        << record_->getFinalResults();
    EXPECT_NE(record_->getFinalResults().find("Jitter buffer size is <b>50</b> packets."),
              std::string::npos);
    EXPECT_TRUE(record_->getRanFullPeriod());
    EXPECT_GE(record_->getRowCount(), 1);
    EXPECT_GT(record_->getStreamSendPort(), 0);
}

TEST_F(StreamingTestThreadTest, ACancelStopsTheRemoteServerAndThenTheTest) {
    StreamingRemote remote;
    auto thread = makeThread(30);
    thread->start();
    ASSERT_TRUE(eventually([&] { return record_->getStreamSendPort() > 0; }));
    auto cancelledAt = std::chrono::steady_clock::now();
    record_->setCancelled();
    thread->join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 1s);
    ASSERT_EQ(remote.cancels(), std::vector<std::string>{"7"});
    auto server = remote.serverRecord();
    ASSERT_TRUE(server);
    // The remote server has stopped too, and its record says why.
    ASSERT_TRUE(eventually([&] { return server->getState() == TestResult::kFinished; }, 1s));
    EXPECT_NE(server->getFinalResults().find("This test was cancelled by the user."),
              std::string::npos)
        << server->getFinalResults();
    EXPECT_NE(record_->getFinalResults().find("This test was cancelled by the user."),
              std::string::npos);
    EXPECT_EQ(record_->getState(), TestResult::kFinished);
}

TEST_F(StreamingTestThreadTest, ARefusedStreamEndsWithItsReasonAndNoFigures) {
    StreamingRemote remote(true);
    auto thread = makeThread(10);
    auto started = std::chrono::steady_clock::now();
    thread->start();
    thread->join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(record_->getState(), TestResult::kFinished);
    EXPECT_NE(record_->getOutputText().find(StreamingTestThread::kServerFailedText),
              std::string::npos);
    EXPECT_EQ(record_->getFinalResults(), "The remote computer failed to start a stream server.");
    EXPECT_EQ(record_->getXmlExtras().find("<packetCount>"), std::string::npos);
    EXPECT_EQ(thread->remoteTestId(), 0);
}

}  // namespace
}  // namespace trellon
