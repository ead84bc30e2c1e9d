#include "nettests/data_sink.h"

#include <algorithm>
#include <atomic>

#include "http/templates.h"
#include "lib/agent_state.h"
#include "lib/listener_thread.h"
#include "lib/shutdown.h"
#include "nettests/bandwidth_test_thread.h"
#include "nettests/socket_reader_thread.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "results/test_log.h"
#include "results/test_result.h"

namespace trellon {

namespace {

std::atomic<int> gConnections{0};

void release() {
    gConnections.fetch_sub(1);
}

}  // namespace

int DataSink::activeConnections() {
    return gConnections.load();
}

int DataSink::connectionLimitSeconds() {
    AgentState* agent = AgentState::current();
    int longest = agent != nullptr ? agent->bandwidthTimeLimit.load() : 60;
    return std::max(longest, 1) + kGraceSeconds;
}

void DataSink::describe(TestResult& record, const std::string& peer, int peerPort, int localPort) {
    std::lock_guard<RecordLock> guard(record.lock());
    record.setColumnHeadings(BandwidthTestThread::columnHeadings());
    record.setExplanation("Receive the data that <b>" + escapeHtml(peer) +
                          "</b> copies to this data sink and count how many bytes arrive per "
                          "second.");
    record.setLocalRole("Destination");
    record.setRemoteRole("Source");
    record.setTitle("Bandwidth Test");
    record.setTestType(TestResult::kBandwidthTest);
    record.setTypeName("Bandwidth");
    record.setRemoteComputer(peer);
    record.addXmlText("remoteComputer", peer);
    record.setStartTime(platform::nowSeconds());
    record.setTimeLimit(connectionLimitSeconds());
    record.setLocalBandwidthPort(localPort);
    record.setRemoteBandwidthPort(peerPort);
    std::string ports = "<br>Received TCP packets on port " + std::to_string(localPort) +
                        " from remote port " + std::to_string(peerPort) + ".</p>";
    record.setPortExplanation(ports);
    record.addXmlText("portExplanation", ports);
}

bool DataSink::handleConnection(SocketHandle connection, const sockaddr_in& peer) {
    if (isShutdownRequested()) {
        platform::closeSocket(connection);
        return false;
    }
    // Taken before anything is made for the connection; a refused one costs
    // nothing but its accept.
    if (gConnections.fetch_add(1) >= kMaxConnections) {
        release();
        platform::closeSocket(connection);
        return false;
    }
    TestLog* log = TestLog::instance();
    std::shared_ptr<TestResult> record = log != nullptr ? log->newTestResult() : nullptr;
    if (!record) {
        release();
        platform::closeSocket(connection);
        return false;
    }
    const std::string address = platform::addressText(peer);
    const int localPort = std::max(platform::localPort(connection), 0);
    describe(*record, address, platform::addressPort(peer), localPort);

    // Frees itself when the connection has ended; the count goes back then.
    auto* reader = new SocketReaderThread(connection, record, release);
    reader->perfSocket().setStallLimitMs(kStallLimitMs);
    reader->perfSocket().setTotalLimitMs(std::int64_t{connectionLimitSeconds()} * 1000);
    reader->start();
    return true;
}

void installDataSinkHandler() {
    ListenerThread::setConnectionHandler([](SocketHandle connection, const sockaddr_in& peer) {
        DataSink::handleConnection(connection, peer);
    });
}

}  // namespace trellon
