// SocketReaderThread: the receiving side of a bandwidth test, one PerfSocket
// in receive mode on a thread of its own. The data sink makes one for each
// connection it admits, with the connection's own record, and starts it; the
// thread owns the connection, closes it when it ends and frees itself.
//
// The record runs (1002) while data is read and ends finished (1004) with the
// figures, whatever ended the transfer. stop (agent shutdown) asks the
// PerfSocket to end, which it sees within one receive slice.
#pragma once

#include <functional>
#include <memory>

#include "lib/socket.h"
#include "lib/thread.h"
#include "nettests/perf_socket.h"

namespace trellon {

class TestResult;

class SocketReaderThread : public Thread {
public:
    // connection: an accepted socket, owned from now on. whenGone runs when
    // the object is destroyed (the data sink counts its connections so).
    SocketReaderThread(SocketHandle connection, std::shared_ptr<TestResult> result,
                       std::function<void()> whenGone = {});
    ~SocketReaderThread() override;

    void stop() override;
    void Run() override;

    int setReceiveBufferSize(int size);
    int receiveBufferSize() const;

    PerfSocket& perfSocket() { return perfSocket_; }

private:
    Socket connection_;
    std::shared_ptr<TestResult> result_;
    PerfSocket perfSocket_;
    std::function<void()> whenGone_;
};

}  // namespace trellon
