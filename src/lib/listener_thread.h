// ListenerThread: accepts the bandwidth test connections on the data-sink
// port until shutdown, and hands each to the connection handler (the bandwidth
// sink installs one; without it every connection is closed at once).
//
// It is a self-deleting thread: it frees itself when Run ends, so the agent
// keeps a pointer it does not own and stops using it once shutdown begins.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "lib/socket.h"
#include "lib/thread.h"

namespace trellon {

class ListenerThread : public Socket, public Thread {
public:
    using ConnectionHandler = std::function<void(SocketHandle connection, const sockaddr_in& peer)>;

    explicit ListenerThread(int port);
    ~ListenerThread() override;

    void stop() override;
    void Run() override;

    int receiveBufferSize() const { return static_cast<int>(buffer_.size()); }

    // Process-wide; set before the listener starts.
    static void setConnectionHandler(ConnectionHandler handler);

    // The port the data-sink listener bound: 0 while it is still being set
    // up, -1 when the listen failed. Read by start-up instead of the object,
    // which may already have freed itself.
    static int listeningPort();
    static void resetListeningPortForTests();

private:
    std::vector<char> buffer_;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace trellon
