#include "lib/socket.h"

#include <gtest/gtest.h>

#include <thread>

#include "lib/error_report.h"
#include "lib/listener_thread.h"
#include "lib/shutdown.h"
#include "lib/socket_exception.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using testing::captureStderr;

TEST(Socket, ListenOnPortZeroStoresTheChosenPort) {
    Socket tcp(false);
    ASSERT_TRUE(tcp.Listen(0));
    EXPECT_GT(tcp.port(), 0);
    EXPECT_NE(tcp.handle(), kInvalidSocket);

    Socket udp(true);
    ASSERT_TRUE(udp.Listen(0));  // a UDP socket is only bound
    EXPECT_GT(udp.port(), 0);
    int acceptsConnections = 0;
    socklen_t length = sizeof(acceptsConnections);
    ASSERT_EQ(::getsockopt(udp.handle(), SOL_SOCKET, SO_ACCEPTCONN,
                           reinterpret_cast<char*>(&acceptsConnections), &length),
              0);
    EXPECT_EQ(acceptsConnections, 0);
}

TEST(Socket, TcpListenOnAPortInUseFailsWithBindFailed) {
    Socket first(false);
    ASSERT_TRUE(first.Listen(0));
    Socket second(false);
    bool ok = true;
    std::string err = captureStderr([&] { ok = second.Listen(first.port()); });
    EXPECT_FALSE(ok);
    EXPECT_NE(err.find("Warning: bind failed failed (socket.cpp:"), std::string::npos) << err;
#ifdef _WIN32
    // Winsock's code as it comes: a port held with SO_EXCLUSIVEADDRUSE may
    // be refused as in use or as access denied.
    EXPECT_TRUE(err.find("\tSocket error 10048:\"Address already in use\"\n") != std::string::npos ||
                err.find("\tSocket error 10013:\"Permission denied\"\n") != std::string::npos)
        << err;
#else
    EXPECT_NE(err.find("\tSocket error 10048:\"Address already in use\"\n"), std::string::npos) << err;
#endif
    EXPECT_EQ(second.handle(), kInvalidSocket);  // a failed operation leaves no open handle
}

TEST(Socket, ProbeTellsListeningTcpPortsApart) {
    Socket listener(false);
    ASSERT_TRUE(listener.Listen(0));
    Socket probe(false);
    EXPECT_FALSE(probe.Probe(listener.port()));  // something listens: not free
    int freePort = listener.port();
    listener.Close();
    EXPECT_TRUE(probe.Probe(freePort));
    Socket udpProbe(true);
    EXPECT_TRUE(udpProbe.Probe(freePort));  // UDP ports always look free
}

TEST(Socket, ConnectReportsFailuresAndLocalPort) {
    Socket listener(false);
    ASSERT_TRUE(listener.Listen(0));
    TimeoutSocket client(1000);
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.port(), 0));
    EXPECT_GT(client.localPort(), 0);
    SocketHandle accepted = listener.Accept();
    ASSERT_NE(accepted, kInvalidSocket);
    platform::closeSocket(accepted);

    int closedPort = listener.port();
    listener.Close();
    TimeoutSocket refused(1000);
    bool ok = true;
    std::string err = captureStderr([&] { ok = refused.Connect("127.0.0.1", closedPort, 0); });
    EXPECT_FALSE(ok);
    EXPECT_NE(err.find("Failed to connect to host 127.0.0.1 on port " + std::to_string(closedPort)), std::string::npos);
    EXPECT_EQ(platform::lastSocketError(), 10061);
    EXPECT_FALSE(refused.Connect(static_cast<const char*>(nullptr), 1, 0));
}

TEST(SocketErrors, TableTextsAndFailureReportThrows) {
    EXPECT_STREQ(socketErrorText(10048), "Address already in use");
    EXPECT_STREQ(socketErrorText(11001), "Host not found.");
    EXPECT_STREQ(socketErrorText(0), "No error.");
    EXPECT_STREQ(socketErrorText(995), "Overlapped operation aborted.");
    EXPECT_STREQ(socketErrorText(12345), "Unknown error");
    EXPECT_EQ(platform::socketErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(platform::socketErrorFromErrno(EAGAIN), 10060);
    EXPECT_EQ(platform::socketErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(platform::socketErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(platform::socketErrorFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(platform::socketErrorFromErrno(EBADF), 10038);

    platform::setLastSocketError(10054);
    std::string err = captureStderr([] {
        try {
            failureReport("recv", "x.cpp", 7, true);
            ADD_FAILURE() << "no exception";
        } catch (const SocketException& e) {
            EXPECT_EQ(e.code(), 10054);
            EXPECT_EQ(e.message(), "Connection reset by peer");
            EXPECT_EQ(e.severity(), 1);
            EXPECT_EQ(e.description(), "Socket exception (error) Connection reset by peer (Error 10054)\n");
        }
    });
    EXPECT_EQ(err, "Failure test: recv failed (x.cpp:7)\n\tSocket error 10054:\"Connection reset by peer\"\n");
    err = captureStderr([] { failureReport("plain", "/a/b/y.cpp", 9, false); });
    EXPECT_EQ(err, "Failure test: plain failed (y.cpp:9)\n");
    platform::setLastSocketError(99999);
    err = captureStderr([] { warningReport("send", "z.cpp", 1); });
    EXPECT_EQ(err, "Warning: send failed (z.cpp:1)\n\tSocket error 99999:\"Unknown error\"\n");
}

TEST(ListenerThread, AcceptsUntilStoppedAndHandsConnectionsOver) {
    ListenerThread::resetListeningPortForTests();
    std::atomic<int> handled{0};
    ListenerThread::setConnectionHandler([&](SocketHandle connection, const sockaddr_in&) {
        handled.fetch_add(1);
        platform::closeSocket(connection);
    });
    auto* listener = new ListenerThread(0);  // frees itself when its thread ends
    int port = ListenerThread::listeningPort();
    ASSERT_GT(port, 0);
    listener->start();
    for (int i = 0; i < 3; ++i) {
        TimeoutSocket client(1000);
        ASSERT_TRUE(client.Connect("127.0.0.1", port, 0));
    }
    for (int i = 0; i < 500 && handled.load() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(handled.load(), 3);
    testing::captureStdout([&] { Thread::cancelAllThreads(); });
    EXPECT_EQ(Thread::liveThreadCount(), 0);
    ListenerThread::setConnectionHandler({});
}

TEST(ListenerThread, FailedListenIsPublished) {
    Socket taken(false);
    ASSERT_TRUE(taken.Listen(0));
    ListenerThread::resetListeningPortForTests();
    ListenerThread* listener = nullptr;
    captureStderr([&] { listener = new ListenerThread(taken.port()); });
    EXPECT_EQ(ListenerThread::listeningPort(), -1);
    listener->start();  // ends at once and frees itself
    for (int i = 0; i < 500 && Thread::liveThreadCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Thread::liveThreadCount(), 0);
}

}  // namespace
}  // namespace trellon
