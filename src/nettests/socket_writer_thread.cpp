#include "nettests/socket_writer_thread.h"

#include <cstdio>

namespace trellon {

SocketWriterThread::SocketWriterThread(SocketHandle connection, std::shared_ptr<TestResult> result,
                                       PerfSocket::Clock clock)
    : Thread("SocketWriterThread", false),
      perfSocket_(connection, std::move(result), PerfSocket::kSender, std::move(clock)) {
    setDescription("SocketWriterThread");
}

SocketWriterThread::~SocketWriterThread() {
    // Run uses the PerfSocket: it must have ended before the member goes.
    perfSocket_.requestStop();
    join();
    Thread::unregister(this);
}

void SocketWriterThread::stop() {
    stopBase();
    perfSocket_.requestStop();
}

void SocketWriterThread::Run() {
    raisePriority();
    if (perfSocket_.testType() != PerfSocket::kTestType) {
        std::printf("PerfSocket::sendTestData got bad test type\n");
        std::fflush(stdout);
    } else if (!perfSocket_.done()) {
        // The test thread moves the record to finished once its port sentence is in.
        perfSocket_.sendTestData();
    }
    normalPriority();
}

int SocketWriterThread::setSendBufferSize(int size) {
    return Socket::setSendBufferSize(perfSocket_.handle(), size);
}

int SocketWriterThread::sendBufferSize() const {
    return Socket::getSendBufferSize(perfSocket_.handle());
}

}  // namespace trellon
