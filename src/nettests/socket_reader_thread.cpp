#include "nettests/socket_reader_thread.h"

#include <cstdio>
#include <exception>

#include "http/templates.h"
#include "lib/socket_exception.h"
#include "results/test_result.h"

namespace trellon {

SocketReaderThread::SocketReaderThread(SocketHandle connection, std::shared_ptr<TestResult> result,
                                       std::function<void()> whenGone)
    : Thread("SocketReaderThread", true),
      result_(result),
      perfSocket_(connection, std::move(result), PerfSocket::kReceiver),
      whenGone_(std::move(whenGone)) {
    connection_.adopt(connection);
    setDescription("SocketReaderThread");
}

SocketReaderThread::~SocketReaderThread() {
    Thread::unregister(this);
    connection_.Close();
    if (whenGone_) whenGone_();
}

void SocketReaderThread::stop() {
    stopBase();
    perfSocket_.requestStop();
}

void SocketReaderThread::Run() {
    raisePriority();
    if (perfSocket_.testType() != PerfSocket::kTestType) {
        std::printf("PerfSocket::receiveTestData got bad test type\n");
        std::fflush(stdout);
    } else if (!perfSocket_.done() && result_) {
        try {
            result_->setState(TestResult::kRunning);
            perfSocket_.receiveTestData();
        } catch (const SocketException& e) {
            result_->recordSocketException(e, __FILE__, __LINE__);
            result_->endWithReason(
                "The data sink could not read the connection: " + escapeHtml(e.message()) + ".");
        } catch (const std::exception& e) {
            result_->recordRuntimeException(e, __FILE__, __LINE__);
            result_->endWithReason("The data sink stopped because of an error.");
        }
    }
    if (result_) result_->setState(TestResult::kFinished);
    normalPriority();
}

int SocketReaderThread::setReceiveBufferSize(int size) {
    return Socket::setReceiveBufferSize(connection_.handle(), size);
}

int SocketReaderThread::receiveBufferSize() const {
    return Socket::getReceiveBufferSize(connection_.handle());
}

}  // namespace trellon
