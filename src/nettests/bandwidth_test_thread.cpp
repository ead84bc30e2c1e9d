#include "nettests/bandwidth_test_thread.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "http/templates.h"
#include "lib/error_report.h"
#include "lib/socket.h"
#include "nettests/qos_marking.h"
#include "nettests/remote_agent_status.h"
#include "nettests/socket_writer_thread.h"
#include "platform/socket_error.h"
#include "results/test_result.h"

namespace trellon {

BandwidthTestThread::BandwidthTestThread(std::shared_ptr<TestResult> result,
                                         std::string remoteComputer, int remotePort,
                                         std::int64_t testSize, int reportInterval, int timeLimit,
                                         int dscp, int priority8021p, int localPort,
                                         bool deleteSelf)
    : PerformanceTestThread("BandwidthTestThread", std::move(result), std::move(remoteComputer),
                            remotePort, timeLimit, localPort, dscp, priority8021p, reportInterval,
                            deleteSelf),
      testSize_(testSize) {}

BandwidthTestThread::~BandwidthTestThread() = default;

int BandwidthTestThread::socketTimeoutMs(int timeLimit) {
    return std::clamp(timeLimit, 1, 3) * 1000;
}

const std::vector<std::string>& BandwidthTestThread::columnHeadings() {
    static const std::vector<std::string> headings = {"Report",     "Min:Sec",     "Interval",
                                                      "Bytes Sent", "Total Bytes", "Bandwidth"};
    return headings;
}

void BandwidthTestThread::stop() {
    PerformanceTestThread::stop();
    std::lock_guard<std::mutex> guard(writerLock_);
    stopped_ = true;
    if (writer_ != nullptr) writer_->stop();
}

void BandwidthTestThread::fail(const std::string& text) {
    result_->addMessage("<p>" + text + "</p>\n");
    result_->endWithReason(text);
}

void BandwidthTestThread::runTest() {
    std::string reason;
    std::shared_ptr<RemoteAgentStatus> remote = remoteCheck(&reason);
    if (!remote) {
        result_->endWithReason(reason);
        return;
    }
    const int sinkPort = remote->dataSinkPort() & 0xFFFF;
    if (sinkPort == 0) {
        fail("The remote agent at " + escapeHtml(remoteComputer_) +
             " did not name its data sink port, so no data was sent.");
        return;
    }
    result_->setRemoteBandwidthPort(sinkPort);

    const int timeoutMs = socketTimeoutMs(timeLimit_);
    TimeoutSocket socket(timeoutMs);
    socket.setDscp(dscp_);
    if (!socket.Connect(remoteComputer_.c_str(), sinkPort, testValue_)) {
        int code = platform::lastSocketError();
        fail("Could not connect to the data sink of " + escapeHtml(remoteComputer_) + " on port " +
             std::to_string(sinkPort) + " (error " + std::to_string(code) + ": " +
             socketErrorText(code) + ").");
        return;
    }
    result_->setLocalBandwidthPort(socket.localPort());

    std::unique_ptr<QosMarking> marking;
    if (dscp_ >= 0 || priority8021p_ >= 0) {
        marking =
            std::make_unique<QosMarking>(QosMarking::kTcp, static_cast<std::uint16_t>(sinkPort),
                                         dscp_, priority8021p_, remote->address());
        marking->install();
        marking->markSocket(socket.handle(), remote->address(),
                            static_cast<std::uint16_t>(sinkPort));
        reportMarking(*result_, *marking);
    }

    {
        SocketWriterThread writer(socket.handle(), result_);
        writer.perfSocket().setOption('n', std::to_string(testSize_));
        writer.perfSocket().setOption('i', std::to_string(reportInterval_));
        writer.perfSocket().setOption('t', std::to_string(timeLimit_));
        writer.perfSocket().setStallLimitMs(timeoutMs);
        {
            std::lock_guard<std::mutex> guard(writerLock_);
            writer_ = &writer;
            if (stopped_) writer.stop();
        }
        // Running before the writer starts: it may finish before we look again.
        result_->setState(TestResult::kRunning);
        writer.start();
        writer.join();
        std::lock_guard<std::mutex> guard(writerLock_);
        writer_ = nullptr;
    }

    result_->finishBandwidthPorts();
    // Ended without its final report (the agent is stopping): say so.
    result_->endWithReason("The test was stopped before its final figures.");
    if (marking) {
        try {
            marking->remove();
        } catch (const std::exception&) {
            std::printf("failed shutdown tc\n");
            std::fflush(stdout);
        }
    }
    // The socket closes here: normally after the sink's own close, after a
    // cancel as a reset (the writer asked for it), so the sink knows.
}

}  // namespace trellon
