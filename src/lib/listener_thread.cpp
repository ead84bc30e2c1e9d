#include "lib/listener_thread.h"

#include <cstdio>
#include <mutex>

#include "lib/shutdown.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace trellon {

namespace {
std::mutex& handlerLock() {
    static std::mutex m;
    return m;
}
ListenerThread::ConnectionHandler& handler() {
    static ListenerThread::ConnectionHandler h;
    return h;
}
std::atomic<int> gListeningPort{0};
constexpr int kAcceptPauseMs = 100;
}  // namespace

int ListenerThread::listeningPort() {
    return gListeningPort.load();
}

void ListenerThread::resetListeningPortForTests() {
    gListeningPort.store(0);
}

void ListenerThread::setConnectionHandler(ConnectionHandler h) {
    std::lock_guard<std::mutex> guard(handlerLock());
    handler() = std::move(h);
}

ListenerThread::ListenerThread(int port)
    : Socket(false), Thread("TCP bandwidth listener", true), buffer_(100) {
    setDescription("ListenerThread");
    gListeningPort.store(Listen(port) ? static_cast<int>(this->port()) : -1);
}

ListenerThread::~ListenerThread() {
    Thread::unregister(this);
    buffer_.clear();
    setState(DESTRUCTED);
    Close();
}

void ListenerThread::Run() {
    if (udp()) {
        std::printf("Not supposed to use ListenerThread::acceptUDP()\n");
        std::fflush(stdout);
        return;
    }
    buffer_.assign(16384, 0);
    while (!isShutdownRequested() && !stopRequested_.load() && handle() != kInvalidSocket) {
        sockaddr_in peer{};
        SocketHandle connection = Accept(&peer);
        if (connection == kInvalidSocket) {
            // Out of descriptors (or a broken socket): the connection stays
            // waiting and accept would fail again at once; pause instead of
            // spinning a core.
            if (!isShutdownRequested() && !stopRequested_.load())
                platform::sleepMilliseconds(kAcceptPauseMs);
            continue;
        }
        ConnectionHandler h;
        {
            std::lock_guard<std::mutex> guard(handlerLock());
            h = handler();
        }
        if (h)
            h(connection, peer);
        else
            platform::closeSocket(connection);
    }
}

void ListenerThread::stop() {
    stopBase();
    stopRequested_.store(true);
    // Shutting the socket down ends a blocked accept; the handle itself is
    // closed when the thread ends, so its number cannot be reused under it.
    shutdownBoth();
}

}  // namespace trellon
