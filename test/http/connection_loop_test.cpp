// The control port's event loop: one deadline for the whole head, caps on
// connections held, requests that wait without holding a request thread,
// answers that must leave in time, and a pool that lives with the threads
// it could start.
#include "http/connection_loop.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <netinet/tcp.h>
#endif

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/http_request.h"
#include "http/request_pool.h"
#include "http/server_fixture.h"
#include "platform/net_address.h"
#include "platform/socket.h"
#include "support/bandwidth_helpers.h"
#include "support/http_client.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using testing::httpExchange;
using testing::HttpReply;
using testing::httpRequestText;
using testing::LambdaCommand;
using testing::RunningServer;
using testing::TempDir;
using testing::textCommand;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// A client socket from a chosen loopback address (the caps count per address).
class Client {
public:
    Client(const char* from, int port) {
        std::uint32_t source = 0;
        platform::resolveIpv4(from, source);
        fd_ = testing::Fd(platform::openSocket(false));
        int one = 1;
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                     sizeof(one));
        if (!platform::bindSocket(fd_.get(), platform::ipv4Address(source, 0)) ||
            !platform::connectSocket(fd_.get(), testing::loopbackAddress(port)))
            fd_.reset();
    }
    bool ok() const { return fd_.valid(); }
    bool send(const std::string& bytes) { return testing::sendAll(fd_, bytes); }
    // Whether the server closed its end (or reset) within timeoutMs; what it sent goes to text.
    bool closedWithin(int timeoutMs, std::string* text = nullptr) {
        auto start = Clock::now();
        for (;;) {
            long long left = timeoutMs - msSince(start);
            if (left <= 0) return false;
            platform::setReceiveTimeout(fd_.get(), static_cast<int>(left));
            char buffer[4096];
            long n = platform::receiveSome(fd_.get(), buffer, sizeof(buffer), false);
            if (n == platform::kIoWouldBlock) return false;
            if (n <= 0) return true;
            if (text != nullptr) text->append(buffer, static_cast<std::size_t>(n));
        }
    }
    HttpReply exchange(const std::string& request) {
        HttpReply reply;
        if (!send(request)) return reply;
        reply.closed = closedWithin(10000, &reply.raw);
        return reply;
    }
    platform::NativeSocket fd() const { return fd_.get(); }

private:
    testing::Fd fd_;
};

std::string get(const std::string& path) {
    return httpRequestText("GET", path);
}

HttpServer::CommandRegistrar quick() {
    return [](HttpServer& server) { server.registerCommand(textCommand("quick", "QUICK")); };
}

TEST(HttpConnectionLoop, TheWholeHeadHasOneDeadlineFromAcceptance) {
    TempDir root;
    HttpConnectionLoop::Limits limits;
    limits.headTimeoutMs = 1500;
    RunningServer server(root.path(), false, quick(), 0, &limits);
    ASSERT_TRUE(server.started());

    // One byte every 300 ms would renew a per-receive time-out for ever.
    Client trickler("127.0.0.1", server.port());
    Client silent("127.0.0.1", server.port());
    ASSERT_TRUE(trickler.ok() && silent.ok());
    auto connected = Clock::now();
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        for (char c : std::string("XYZZY /quick HTTP/1.0\r\n")) {
            if (done.load() || !trickler.send(std::string(1, c))) return;
            std::this_thread::sleep_for(milliseconds(300));
        }
    });
    // Meanwhile others are served at once.
    auto asked = Clock::now();
    EXPECT_EQ(httpExchange(server.port(), get("/quick")).status(), 200);
    EXPECT_LT(msSince(asked), 500);

    std::string answer;
    EXPECT_TRUE(trickler.closedWithin(3000, &answer));
    long long closedAfter = msSince(connected);
    done.store(true);
    trickle.join();
    EXPECT_GE(closedAfter, 1400);
    EXPECT_LE(closedAfter, 2500);
    // What had come is answered as a head of its own: an unknown method.
    EXPECT_NE(answer.find(" 501 "), std::string::npos) << answer;

    std::string nothing;
    EXPECT_TRUE(silent.closedWithin(1000, &nothing));
    EXPECT_EQ(nothing, "");  // a silent connection is closed without an answer
}

TEST(HttpConnectionLoop, ConnectionsBeyondTheCapsAreClosedAtOnce) {
    TempDir root;
    HttpConnectionLoop::Limits limits;
    limits.maxConnections = 8;
    limits.maxPerAddress = 5;
    RunningServer server(root.path(), false, quick(), 0, &limits);
    ASSERT_TRUE(server.started());
    const int port = server.port();

    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 5; ++i) idle.push_back(std::make_unique<Client>("127.0.0.1", port));
    for (auto& c : idle) EXPECT_FALSE(c->closedWithin(50));  // held
    Client sixth("127.0.0.1", port);
    EXPECT_TRUE(sixth.closedWithin(1000)) << "a sixth from one address is held";
    EXPECT_EQ(server.server().connectionCount(), 5);

    // Another address still gets in, until all eight places are taken.
    EXPECT_EQ(Client("127.0.0.2", port).exchange(get("/quick")).status(), 200);
    std::vector<std::unique_ptr<Client>> others;
    for (int i = 0; i < 3; ++i) others.push_back(std::make_unique<Client>("127.0.0.3", port));
    for (auto& c : others) EXPECT_FALSE(c->closedWithin(50));
    EXPECT_TRUE(Client("127.0.0.4", port).closedWithin(1000)) << "a ninth connection is held";

    // Places come back when connections go.
    idle.clear();
    others.clear();
    auto deadline = Clock::now() + milliseconds(2000);
    while (server.server().connectionCount() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(Client("127.0.0.1", port).exchange(get("/quick")).status(), 200);
}

TEST(HttpConnectionLoop, WaitingRequestsHoldNoRequestThread) {
    TempDir root;
    std::atomic<bool> finished{false};
    RunningServer server(root.path(), false, [&](HttpServer& s) {
        s.registerCommand(textCommand("quick", "QUICK"));
        s.registerCommand(std::make_unique<LambdaCommand>(
            "later", [&](HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
                out.append("BEGUN ");
                std::string n = form.get("n");
                request.finishLater([&] { return finished.load(); }, 20000,
                                    [n](ResponseBuffer& o) { o.append("ENDED " + n); });
                return 0;
            }));
    });
    ASSERT_TRUE(server.started());
    const int port = server.port();
    constexpr int kMany = HttpRequestPool::kPoolSize + 2;

    // More delayed requests and more waiting ones than there are threads.
    std::vector<std::unique_ptr<Client>> delayed, waiting;
    auto sent = Clock::now();
    for (int i = 0; i < kMany; ++i) {
        delayed.push_back(std::make_unique<Client>("127.0.0.1", port));
        ASSERT_TRUE(delayed.back()->send(get("/quick?delay=1500")));
        waiting.push_back(std::make_unique<Client>("127.0.0.1", port));
        ASSERT_TRUE(waiting.back()->send(get("/later?n=" + std::to_string(i))));
    }
    std::this_thread::sleep_for(milliseconds(200));
    auto asked = Clock::now();
    EXPECT_EQ(httpExchange(port, get("/quick")).status(), 200);
    EXPECT_LT(msSince(asked), 500) << "a quick request waited for the delayed ones";

    for (auto& c : delayed) {
        std::string answer;
        EXPECT_TRUE(c->closedWithin(5000, &answer));
        EXPECT_NE(answer.find("QUICK"), std::string::npos);
    }
    long long delayedFor = msSince(sent);
    EXPECT_GE(delayedFor, 1500);
    EXPECT_LT(delayedFor, 3000) << "twelve delays of 1.5 s were served one after another";

    for (auto& c : waiting) EXPECT_FALSE(c->closedWithin(10)) << "answered before its end";
    finished.store(true);
    for (int i = 0; i < kMany; ++i) {
        std::string answer;
        EXPECT_TRUE(waiting[i]->closedWithin(2000, &answer));
        EXPECT_NE(answer.find("BEGUN ENDED " + std::to_string(i) + "\r\n"), std::string::npos)
            << answer;
        EXPECT_NE(answer.find("Content-Length: " + std::to_string(14 + std::to_string(i).size())),
                  std::string::npos)
            << answer;
    }
}

// A command that waits on other computers (as a run command's remote check does).
class WaitsOnTheNetwork : public LambdaCommand {
public:
    using LambdaCommand::LambdaCommand;
    bool mayWaitOnTheNetwork() const override { return true; }
};

TEST(HttpConnectionLoop, CommandsThatWaitOnTheNetworkLeaveThreadsForThePages) {
    TempDir root;
    testing::Gate gate;
    RunningServer server(root.path(), false, [&](HttpServer& s) {
        s.registerCommand(textCommand("quick", "QUICK"));
        s.registerCommand(std::make_unique<WaitsOnTheNetwork>(
            "remote", [&](HttpRequest&, FormVariables&, ResponseBuffer& out) {
                gate.pass();
                out.append("REMOTE");
                return 0;
            }));
    });
    testing::GateOpener opener(gate);
    ASSERT_TRUE(server.started());
    const int port = server.port();

    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < HttpRequestPool::kPoolSize + 2; ++i) {
        slow.push_back(std::make_unique<Client>("127.0.0.1", port));
        ASSERT_TRUE(slow.back()->send(get("/remote")));
    }
    EXPECT_TRUE(gate.waitEntered(HttpRequestPool::kSlowThreads, milliseconds(5000)));
    EXPECT_FALSE(gate.waitEntered(HttpRequestPool::kSlowThreads + 1, milliseconds(300)))
        << "more threads wait on the network than they may";
    auto asked = Clock::now();
    EXPECT_EQ(httpExchange(port, get("/quick")).status(), 200);
    EXPECT_LT(msSince(asked), 500);

    gate.open();
    for (auto& c : slow) {
        std::string answer;
        EXPECT_TRUE(c->closedWithin(5000, &answer));
        EXPECT_NE(answer.find("REMOTE"), std::string::npos);
    }
}

TEST(HttpConnectionLoop, AnAnswerNobodyReadsIsGivenUpAtItsDeadline) {
    TempDir root;
    HttpConnectionLoop::Limits limits;
    limits.sendTimeoutMs = 1000;
    const std::string big(32 * 1024 * 1024, 'x');
    RunningServer server(
        root.path(), false,
        [&](HttpServer& s) {
            s.registerCommand(textCommand("big", big));
            s.registerCommand(textCommand("quick", "QUICK"));
        },
        0, &limits);
    ASSERT_TRUE(server.started());

    Client reader("127.0.0.1", server.port());
    int small = 4096;
    platform::setReceiveBufferSize(reader.fd(), small);
    ASSERT_TRUE(reader.send(get("/big")));
    // Never read: the connection goes once the answer has stood still for a second.
    auto deadline = Clock::now() + milliseconds(5000);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(server.server().connectionCount(), 1);
    while (server.server().connectionCount() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(server.server().connectionCount(), 0);
    EXPECT_EQ(httpExchange(server.port(), get("/quick")).status(), 200);
}

TEST(HttpRequestPool, ServesWithTheThreadsItCouldStart) {
    int refused = 0;
    auto failing = [&](std::function<void()> body) -> platform::NativeThread {
        if (refused < 7) {
            ++refused;
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return platform::NativeThread(std::move(body));
    };
    HttpRequestPool pool({}, failing);
    EXPECT_EQ(pool.liveThreadCount(), 3);

    // Requests are still served, by the three.
    std::vector<testing::Fd> ends;
    for (int i = 0; i < 6; ++i) {
        testing::TcpPair pair = testing::loopbackPair();
        ASSERT_TRUE(pair.ok());
        ASSERT_TRUE(testing::sendAll(pair.client, "GET /x HTTP/1.0\r\n\r\n"));
        EXPECT_TRUE(pool.dispatch(
            std::make_unique<HttpRequest>(pair.server.release(), 0, false, "", nullptr)));
        ends.push_back(std::move(pair.client));
    }
    for (auto& end : ends) {
        platform::setReceiveTimeout(end.get(), 5000);
        char byte;
        EXPECT_EQ(platform::receiveSome(end.get(), &byte, 1, false), 0);  // served and closed
    }
    // The missing ones are started once the system allows it again.
    EXPECT_EQ(pool.replenish(), HttpRequestPool::kPoolSize);
    pool.shutdown();
    EXPECT_EQ(pool.liveThreadCount(), 0);
}

TEST(HttpConnectionLoop, LimitsFollowTheDescriptorLimit) {
    auto roomy = HttpConnectionLoop::limitsForDescriptors(65536);
    EXPECT_EQ(roomy.maxConnections, 1000);
    EXPECT_GT(roomy.maxPerAddress, 500);  // a test controller's hundreds of connections fit
    EXPECT_LT(roomy.maxPerAddress, roomy.maxConnections);
    auto tight = HttpConnectionLoop::limitsForDescriptors(64);
    EXPECT_GE(tight.maxConnections, 8);
    EXPECT_LE(tight.maxConnections, 16);  // room stays for the agent's own descriptors
    EXPECT_GE(tight.maxPerAddress, 1);
}

}  // namespace
}  // namespace trellon
