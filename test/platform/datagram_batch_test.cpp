// Batched datagram I/O: the batch calls and the one-at-a-time fallback must
// hand the caller the same datagrams, senders, truncation, receive stamps and
// TOS bytes, so a system without the batch calls measures the same.
#include "platform/datagram_batch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/receive_stamp.h"
#include "platform/received_tos.h"
#include "platform/socket.h"
#include "platform/socket_error.h"

#ifndef _WIN32
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace trellon::platform {
namespace {

constexpr int kMarkedTos = 0xB8;  // DSCP 46 (expedited forwarding)
constexpr std::size_t kRoom = 100;

// A loopback UDP socket that closes itself.
class Udp {
public:
    Udp() : handle_(openSocket(true)) {
        if (handle_ == kNoSocket) return;
        bindSocket(handle_, ipv4Address(htonl(INADDR_LOOPBACK), 0));
        port_ = localPort(handle_);
    }
    ~Udp() {
        if (handle_ != kNoSocket) closeSocket(handle_);
    }
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    NativeSocket handle() const { return handle_; }
    int port() const { return port_; }
    sockaddr_in address() const {
        return ipv4Address(htonl(INADDR_LOOPBACK), static_cast<std::uint16_t>(port_));
    }

private:
    NativeSocket handle_;
    int port_ = -1;
};

struct Received {
    std::string bytes;
    std::size_t length;
    bool truncated;
    int peerPort;
    bool stamped;
    std::int64_t stampMicros;
    int tos;
};

using SendFunction = int (*)(NativeSocket, Datagram*, int);
using ReceiveFunction = int (*)(NativeSocket, Datagram*, int, unsigned);

// Three datagrams from one sender in one send call: two that fit, one longer than the room.
void sendThree(SendFunction send, const Udp& from, const Udp& to, const std::string& tag) {
    std::vector<std::string> payloads = {tag + "-first", tag + "-second-longer",
                                         tag + std::string(300, 'x')};
    sockaddr_in destination = to.address();
    Datagram datagrams[3];
    for (int i = 0; i < 3; ++i) {
        datagrams[i].data = payloads[static_cast<std::size_t>(i)].data();
        datagrams[i].size = payloads[static_cast<std::size_t>(i)].size();
        datagrams[i].peer = &destination;
    }
    int sent = 0;
    while (sent < 3) {
        int n = send(from.handle(), datagrams + sent, 3 - sent);
        ASSERT_GT(n, 0) << "send failed with socket error " << lastSocketError();
        for (int i = sent; i < sent + n; ++i)
            EXPECT_EQ(datagrams[i].length, payloads[static_cast<std::size_t>(i)].size());
        sent += n;
    }
}

// Takes what the senders sent, in batches of up to four.
std::vector<Received> receiveAll(ReceiveFunction receive, const Udp& at, std::size_t expected) {
    std::vector<Received> all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (all.size() < expected && std::chrono::steady_clock::now() < deadline) {
        char rooms[4][kRoom];
        sockaddr_in peers[4];
        Datagram datagrams[4];
        for (int i = 0; i < 4; ++i) {
            datagrams[i].data = rooms[i];
            datagrams[i].size = kRoom;
            datagrams[i].peer = &peers[i];
        }
        int n = receive(at.handle(), datagrams, 4, kDatagramStamp | kDatagramTos);
        if (n == kDatagramWouldBlock) continue;  // the receive time-out passed
        EXPECT_GT(n, 0) << "receive failed with socket error " << lastSocketError();
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            const Datagram& d = datagrams[i];
            all.push_back({std::string(rooms[i], d.length), d.length, d.truncated,
                           addressPort(peers[i]), d.stamped,
                           d.stampSeconds * 1000000 + d.stampMicroseconds, d.tos});
        }
    }
    return all;
}

struct Exchange {
    std::vector<Received> received;
    int markedPort;
    int plainPort;
    std::int64_t beforeMicros;
    std::int64_t afterMicros;
};

Exchange exchange(SendFunction send, ReceiveFunction receive) {
    Exchange run{};
    Udp receiver;
    Udp marked;
    Udp plain;
    EXPECT_NE(receiver.handle(), kNoSocket);
    EXPECT_TRUE(enableReceiveStamps(receiver.handle()));
    EXPECT_TRUE(enableReceivedTos(receiver.handle()));
    EXPECT_TRUE(setReceiveTimeout(receiver.handle(), 200));
#ifndef _WIN32
    int tos = kMarkedTos;
    EXPECT_EQ(::setsockopt(marked.handle(), IPPROTO_IP, IP_TOS, &tos, sizeof(tos)), 0);
#endif
    run.markedPort = marked.port();
    run.plainPort = plain.port();
    WallClock before = wallClock();
    run.beforeMicros = before.seconds * 1000000 + before.microseconds;
    sendThree(send, marked, receiver, "marked");
    sendThree(send, plain, receiver, "plain");
    run.received = receiveAll(receive, receiver, 6);
    WallClock after = wallClock();
    run.afterMicros = after.seconds * 1000000 + after.microseconds;

    // Nothing left: a receive that may not wait says so, and is no error.
    char room[kRoom];
    Datagram none;
    none.data = room;
    none.size = sizeof(room);
    setLastSocketError(0);
    EXPECT_EQ(receive(receiver.handle(), &none, 1, kDatagramDontWait), kDatagramWouldBlock);
    EXPECT_EQ(lastSocketError(), 0);
    return run;
}

void expectSameDatagrams(const Exchange& run) {
    ASSERT_EQ(run.received.size(), 6u);
    const char* tags[] = {"marked", "plain"};
    for (std::size_t i = 0; i < 6; ++i) {
        const Received& r = run.received[i];
        const std::string tag = tags[i / 3];
        SCOPED_TRACE("datagram " + std::to_string(i));
        switch (i % 3) {
            case 0:
                EXPECT_EQ(r.bytes, tag + "-first");
                break;
            case 1:
                EXPECT_EQ(r.bytes, tag + "-second-longer");
                break;
            default:
                EXPECT_EQ(r.bytes, (tag + std::string(300, 'x')).substr(0, kRoom));
                break;
        }
        EXPECT_EQ(r.truncated, i % 3 == 2);
        EXPECT_EQ(r.peerPort, i < 3 ? run.markedPort : run.plainPort);
#ifndef _WIN32
        EXPECT_EQ(r.tos, i < 3 ? kMarkedTos : 0);
        ASSERT_TRUE(r.stamped);
        // The kernel's stamp falls between the first send and the end of the receive.
        EXPECT_GE(r.stampMicros, run.beforeMicros - 1000);
        EXPECT_LE(r.stampMicros, run.afterMicros + 1000);
#endif
    }
}

TEST(DatagramBatch, BatchAndOneAtATimeGiveTheSameDatagramsStampsAndTos) {
    // Each way alone, and mixed: what one side sends in a batch the other
    // takes one by one, and back.
    struct Way {
        const char* name;
        decltype(&sendDatagrams) send;
        decltype(&receiveDatagrams) receive;
    } ways[] = {
        {"batch calls", sendDatagrams, receiveDatagrams},
        {"one at a time", sendDatagramsSingly, receiveDatagramsSingly},
        {"batch send, single receive", sendDatagrams, receiveDatagramsSingly},
        {"single send, batch receive", sendDatagramsSingly, receiveDatagrams},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        expectSameDatagrams(exchange(way.send, way.receive));
    }
}

TEST(DatagramBatch, FailuresAreReportedWithTheSocketError) {
    NativeSocket closed = openSocket(true);
    ASSERT_NE(closed, kNoSocket);
    ASSERT_TRUE(closeSocket(closed));
    char room[16] = {};
    sockaddr_in nowhere = ipv4Address(htonl(INADDR_LOOPBACK), 9);
    for (SendFunction send : {sendDatagrams, sendDatagramsSingly}) {
        Datagram d;
        d.data = room;
        d.size = sizeof(room);
        d.peer = &nowhere;
        setLastSocketError(0);
        EXPECT_EQ(send(closed, &d, 1), kDatagramFailed);
        EXPECT_EQ(lastSocketError(), kErrorNotSocket);
    }
    for (ReceiveFunction receive : {receiveDatagrams, receiveDatagramsSingly}) {
        Datagram d;
        d.data = room;
        d.size = sizeof(room);
        setLastSocketError(0);
        EXPECT_EQ(receive(closed, &d, 1, kDatagramDontWait), kDatagramFailed);
        EXPECT_EQ(lastSocketError(), kErrorNotSocket);
    }
}

}  // namespace
}  // namespace trellon::platform
