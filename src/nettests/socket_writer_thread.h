// SocketWriterThread: the sending side of a bandwidth test, one PerfSocket in
// send mode on a thread of its own. BandwidthTestThread makes it on its
// connected socket, sets its options, starts it and joins it; the socket
// stays the test thread's, which closes it after the join.
//
// stop (agent shutdown, the test thread's stop) asks the PerfSocket to end:
// its sends wait in short slices and see the request within one, so no other
// thread needs to touch the socket under a send in progress.
#pragma once

#include <memory>

#include "lib/thread.h"
#include "nettests/perf_socket.h"

namespace trellon {

class TestResult;

class SocketWriterThread : public Thread {
public:
    SocketWriterThread(SocketHandle connection, std::shared_ptr<TestResult> result,
                       PerfSocket::Clock clock = {});
    ~SocketWriterThread() override;

    void stop() override;
    void Run() override;

    // The socket's send buffer (set only when size is above 0).
    int setSendBufferSize(int size);
    int sendBufferSize() const;

    PerfSocket& perfSocket() { return perfSocket_; }

private:
    PerfSocket perfSocket_;
};

}  // namespace trellon
