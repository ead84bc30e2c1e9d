// HttpServer and HttpRequestPool: binding the control port, the ten request
// threads under a full load, stopping, and the command registry.
#include "http/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/http_request.h"
#include "http/request_pool.h"
#include "http/server_fixture.h"
#include "lib/agent_state.h"
#include "support/http_client.h"
#include "support/test_support.h"

#include "platform/net_address.h"
#include "platform/socket.h"
#include "support/bandwidth_helpers.h"

namespace trellon {
namespace {

using testing::captureStderr;
using testing::Gate;
using testing::GateOpener;
using testing::HttpClientConnection;
using testing::httpExchange;
using testing::HttpReply;
using testing::httpRequestText;
using testing::LambdaCommand;
using testing::RunningServer;
using testing::TempDir;
using testing::textCommand;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string get(const std::string& path) {
    return httpRequestText("GET", path);
}

// A quick command and one that waits at the gate.
HttpServer::CommandRegistrar gatedCommands(Gate& gate) {
    return [&gate](HttpServer& server) {
        server.registerCommand(textCommand("quick", "QUICK-ANSWER"));
        server.registerCommand(std::make_unique<LambdaCommand>(
            "block", [&gate](HttpRequest&, FormVariables& form, ResponseBuffer& out) {
                gate.pass();
                out.append("BLOCK-DONE " + form.get("n"));
                return 0;
            }));
    };
}

// Connections sent to the blocking command.
std::vector<std::unique_ptr<HttpClientConnection>> openBlocked(int port, int count) {
    std::vector<std::unique_ptr<HttpClientConnection>> connections;
    for (int i = 0; i < count; ++i) {
        auto connection = std::make_unique<HttpClientConnection>(port);
        if (connection->connected()) connection->send(get("/block?n=" + std::to_string(i)));
        connections.push_back(std::move(connection));
    }
    return connections;
}

// Sockets on this port in TIME_WAIT, from the kernel's table.
int timeWaitCount(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // column titles
    int count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        std::size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        if (std::stoi(local.substr(colon + 1), nullptr, 16) == port && state == "06") ++count;
    }
    return count;
}

// ---------------------------------------------------------------------------
// The request pool

TEST(HttpRequestPool, EleventhConnectionIsServedWhenOneOfTenFinishes) {
    TempDir root;
    Gate gate;
    RunningServer server(root.path(), false, gatedCommands(gate));
    GateOpener opener(gate);
    ASSERT_TRUE(server.started());

    auto blocked = openBlocked(server.port(), HttpRequestPool::kPoolSize);
    ASSERT_TRUE(gate.waitEntered(HttpRequestPool::kPoolSize, milliseconds(10000)));

    // Five more wait behind the ten busy threads.
    std::vector<std::unique_ptr<HttpClientConnection>> waiting;
    for (int i = 0; i < 5; ++i) {
        waiting.push_back(std::make_unique<HttpClientConnection>(server.port()));
        ASSERT_TRUE(waiting.back()->send(get("/quick")));
    }
    EXPECT_FALSE(waiting.front()->waitReadable(300)) << "served although all ten threads are busy";

    gate.release(1);
    auto released = Clock::now();
    for (auto& connection : waiting) {
        HttpReply reply = connection->readUntilClose(5000);
        EXPECT_EQ(reply.status(), 200);
        EXPECT_NE(reply.body().find("QUICK-ANSWER"), std::string::npos);
    }
    // The one free thread took all five while the other nine still hold.
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - released).count(), 2000);
    EXPECT_TRUE(gate.waitLeft(1, milliseconds(1000)));
    EXPECT_FALSE(gate.waitLeft(2, milliseconds(100)));

    gate.open();
    for (std::size_t i = 0; i < blocked.size(); ++i) {
        HttpReply reply = blocked[i]->readUntilClose(5000);
        EXPECT_EQ(reply.status(), 200);
        EXPECT_NE(reply.body().find("BLOCK-DONE " + std::to_string(i)), std::string::npos);
    }
}

TEST(HttpRequestPool, StopWaitsForEveryBusyWorker) {
    TempDir root;
    Gate gate;
    RunningServer server(root.path(), false, gatedCommands(gate));
    GateOpener opener(gate);
    ASSERT_TRUE(server.started());
    const int port = server.port();

    auto blocked = openBlocked(port, HttpRequestPool::kPoolSize);
    ASSERT_TRUE(gate.waitEntered(HttpRequestPool::kPoolSize, milliseconds(10000)));

    std::thread stopper([&] { server.stop(); });
    EXPECT_FALSE(server.waitReturned(milliseconds(500)))
        << "run returned while ten requests were being served";
    gate.open();
    EXPECT_TRUE(server.waitReturned(milliseconds(10000)));
    stopper.join();

    // Every one of the ten was finished, not cut off.
    for (std::size_t i = 0; i < blocked.size(); ++i) {
        HttpReply reply = blocked[i]->readUntilClose(5000);
        EXPECT_EQ(reply.status(), 200) << i;
        EXPECT_NE(reply.body().find("BLOCK-DONE " + std::to_string(i)), std::string::npos) << i;
    }
    // And the port is closed.
    HttpClientConnection late(port, 1000);
    EXPECT_FALSE(late.connected());
}

TEST(HttpRequestPool, ShutdownEndsEveryThreadAndDropsLaterRequests) {
    HttpRequestPool pool;
    EXPECT_EQ(pool.liveThreadCount(), HttpRequestPool::kPoolSize);
    EXPECT_EQ(pool.busyThreadCount(), 0);
    pool.shutdown();
    EXPECT_EQ(pool.liveThreadCount(), 0);

    testing::TcpPair pair = testing::loopbackPair();
    ASSERT_TRUE(pair.ok());
    auto request = std::make_unique<HttpRequest>(pair.server.release(), 0, false, "", nullptr);
    EXPECT_FALSE(pool.dispatch(std::move(request)));
    // The dropped request closed its connection.
    platform::setReceiveTimeout(pair.client.get(), 5000);
    char byte;
    EXPECT_EQ(platform::receiveSome(pair.client.get(), &byte, 1, false), 0);
}

TEST(HttpRequestPool, ManyClientsAtOnceAreAllAnswered) {
    TempDir root;
    AgentState agent;
    RunningServer server(root.path(), false,
                         [](HttpServer& s) { s.registerCommand(textCommand("quick", "QUICK")); });
    ASSERT_TRUE(server.started());
    const int before = agent.httpRequests.load();

    constexpr int kClients = 24;
    constexpr int kEach = 25;
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                HttpReply reply = httpExchange(server.port(), get("/quick"));
                if (reply.status() == 200 && reply.body() == "QUICK\r\n" && reply.closed) ++good;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(good.load(), kClients * kEach);
    EXPECT_EQ(agent.httpRequests.load() - before, kClients * kEach);
}

// ---------------------------------------------------------------------------
// The listening socket

TEST(HttpServerListener, SecondServerCannotBindTheSamePort) {
    TempDir root;
    RunningServer first(root.path(), false,
                        [](HttpServer& s) { s.registerCommand(textCommand("quick", "FIRST")); });
    ASSERT_TRUE(first.started());

    HttpServer second(first.port(), false, root.path(), false, "");
    std::string errors = captureStderr([&] { second.run(); });  // must return by itself
    EXPECT_NE(errors.find("HTTP server socket bind failed."), std::string::npos) << errors;
    EXPECT_EQ(second.boundPort(), 0);

    EXPECT_EQ(httpExchange(first.port(), get("/quick")).body(), "FIRST\r\n");
}

TEST(HttpServerListener, PortTakenByAnotherProgramCannotBeBound) {
    testing::Fd other(platform::openSocket(false));
    ASSERT_TRUE(other.valid());
    ASSERT_TRUE(platform::bindSocket(other.get(), platform::ipv4Address(htonl(INADDR_ANY), 0)));
    ASSERT_TRUE(platform::listenSocket(other.get()));

    TempDir root;
    HttpServer server(platform::localPort(other.get()), false, root.path(), false, "");
    std::string errors = captureStderr([&] { server.run(); });
    EXPECT_NE(errors.find("HTTP server socket bind failed."), std::string::npos) << errors;
}

TEST(HttpServerListener, RestartBindsAtOnceDespiteTimeWait) {
    TempDir root;
    auto registrar = [](HttpServer& s) { s.registerCommand(textCommand("quick", "QUICK")); };
    int port = 0;
    {
        RunningServer first(root.path(), false, registrar);
        ASSERT_TRUE(first.started());
        port = first.port();
        for (int i = 0; i < 20; ++i) ASSERT_EQ(httpExchange(port, get("/quick")).status(), 200);
    }
    // The server closes first, so its side of each connection lingers in TIME_WAIT.
    auto deadline = Clock::now() + milliseconds(3000);
    while (timeWaitCount(port) == 0 && Clock::now() < deadline) platform::sleepMilliseconds(10);
    ASSERT_GT(timeWaitCount(port), 0) << "no connection in TIME_WAIT; the test would prove nothing";

    RunningServer second(root.path(), false, registrar, port);
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.port(), port);
    EXPECT_EQ(httpExchange(port, get("/quick")).status(), 200);
}

TEST(HttpServerListener, StopBeforeRunMakesRunReturn) {
    TempDir root;
    HttpServer server(0, false, root.path(), false, "");
    server.stop();
    std::atomic<bool> done{false};
    std::thread runner([&] {
        server.run();
        done = true;
    });
    runner.join();  // would hang if the early stop were lost
    EXPECT_TRUE(done.load());
}

TEST(HttpServerListener, StopWhileIdleReturnsPromptly) {
    TempDir root;
    RunningServer server(root.path(), false);
    ASSERT_TRUE(server.started());
    auto start = Clock::now();
    server.server().stop();
    EXPECT_TRUE(server.waitReturned(milliseconds(5000)));
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count(), 3000);
}

// ---------------------------------------------------------------------------
// Site facts and the command registry

TEST(HttpServerRegistry, FirstRegistrationOfANameWins) {
    TempDir root;
    HttpServer server(4044, false, root.path(), false, "", [](HttpServer& s) {
        s.registerCommand(textCommand("page", "FIRST"));
        s.registerCommand(textCommand("page", "SECOND"));
        s.registerCommand(nullptr);
    });
    HttpCommand* page = server.findCommand("page");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(server.findCommand("Page"), nullptr);
    EXPECT_EQ(server.findCommand("pag"), nullptr);

    testing::TcpPair pair = testing::loopbackPair();
    ASSERT_TRUE(pair.ok());
    HttpRequest request(pair.server.release(), 4044, false, "", &server);
    FormVariables form;
    ResponseBuffer out;
    EXPECT_EQ(server.runCommand(request, "page", form, out), 0);
    EXPECT_EQ(out.str(), "FIRST");
    ResponseBuffer untouched;
    EXPECT_EQ(server.runCommand(request, "missing", form, untouched), 1);
    EXPECT_TRUE(untouched.empty());
}

TEST(HttpServerRegistry, SiteFactsAndTheCurrentServer) {
    TempDir root;
    auto first = std::make_unique<HttpServer>(4050, false, root.path(), true, "setting");
    EXPECT_EQ(HttpServer::current(), first.get());
    EXPECT_EQ(first->htdocsPath(), root.path() + "/htdocs");
    EXPECT_EQ(first->pluginsPath(), root.path() + "/htdocs/plugins");
    EXPECT_EQ(first->localName(), "localhost");
    EXPECT_EQ(first->defaultControlPort(), 4044);
    EXPECT_EQ(first->controlPort(), 4050);
    EXPECT_TRUE(first->useHtdocs());
    EXPECT_EQ(first->htdocsPathSetting(), "setting");
    EXPECT_FALSE(first->hostName().empty());
    in_addr parsed{};
    EXPECT_EQ(::inet_pton(AF_INET, first->hostAddress().c_str(), &parsed), 1)
        << first->hostAddress();
    if (first->hostName() == "(unknown)") {
        EXPECT_EQ(first->hostAddress(), "127.0.0.1");
    }
    EXPECT_LE(std::abs(first->startTime() - static_cast<std::int64_t>(std::time(nullptr))), 5);

    // A registrar already sees the new server as the current one.
    HttpServer* seen = nullptr;
    auto second = std::make_unique<HttpServer>(4051, false, root.path(), false, "",
                                               [&](HttpServer&) { seen = HttpServer::current(); });
    EXPECT_EQ(seen, second.get());
    EXPECT_EQ(HttpServer::current(), second.get());
    first.reset();  // not the current one: leaves the pointer alone
    EXPECT_EQ(HttpServer::current(), second.get());
    // A reader's copy of the facts outlives the server (the retry after a
    // failed listen destroys it while test threads make records).
    std::shared_ptr<const HttpServer::SiteFacts> facts = HttpServer::currentFacts();
    ASSERT_TRUE(facts);
    second.reset();
    EXPECT_EQ(HttpServer::current(), nullptr);
    EXPECT_EQ(HttpServer::currentFacts(), nullptr);
    EXPECT_EQ(facts->controlPort, 4051);
    EXPECT_EQ(facts->htdocsPath, root.path() + "/htdocs");
}

TEST(HttpServerRegistry, FactsCanBeReadWhileServersComeAndGo) {
    TempDir root;
    std::atomic<bool> done{false};
    std::atomic<long> seen{0};
    std::thread reader([&] {
        while (!done.load()) {
            if (auto facts = HttpServer::currentFacts()) {
                seen += static_cast<long>(facts->hostName.size() + facts->htdocsPath.size()) > 0;
            }
        }
    });
    for (int i = 0; i < 5000 && seen.load() < 200; ++i) {
        HttpServer server(4052, false, root.path(), false, "");
        std::this_thread::yield();
    }
    done.store(true);
    reader.join();
    EXPECT_GT(seen.load(), 0);
}

}  // namespace
}  // namespace trellon
