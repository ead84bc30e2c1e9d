// Load on the web server: an HttpServer runs inside this process on a port
// of the system's choosing, and 100 client threads GET one embedded document
// over and over, each on a new connection (the server always closes), for
// 10 seconds. Prints requests per second, the p50 and p99 latency (connect to
// the server's close), the error count, and whether the server still answers
// one more request afterwards.
//
//   bench_http_load [seconds] [connections] [document]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "http/embedded_documents.h"
#include "http/http_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReplyTimeoutMs = 10000;

enum class Outcome { ok, connect, send, timeout, status, length };

struct ClientTally {
    std::vector<double> latencyMs;
    long errors[6] = {};
};

// One request on one connection: the reply must be a 200 whose body has the
// document's length, and the server must close the connection.
Outcome fetchOnce(int port, const std::string& request, std::size_t expectedLength,
                  int* statusOut = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Outcome::connect;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return Outcome::connect;
    }
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return Outcome::send;
    }
    std::string reply;
    char chunk[16384];
    auto deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    bool closed = false;
    while (!closed) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed = n == 0;
            break;
        }
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!closed) return Outcome::timeout;
    int status = reply.compare(0, 9, "HTTP/1.0 ") == 0 ? std::atoi(reply.c_str() + 9) : -1;
    if (statusOut != nullptr) *statusOut = status;
    if (status != 200) return Outcome::status;
    std::size_t end = reply.find("\r\n\r\n");
    if (end == std::string::npos || reply.size() - end - 4 != expectedLength)
        return Outcome::length;
    return Outcome::ok;
}

double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    std::size_t index =
        static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    using namespace trellon;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int connections = argc > 2 ? std::atoi(argv[2]) : 100;
    std::string name = argc > 3 ? argv[3] : "trellon.css";

    const EmbeddedDocument* document = findEmbeddedDocument(name);
    if (document == nullptr) document = &kEmbeddedDocuments[0];
    if (document->name == nullptr) {
        std::fprintf(stderr, "no embedded documents\n");
        return 1;
    }
    name = document->name;

    // An empty root: no substitute.conf, so the document goes out as embedded.
    char pattern[] = "/tmp/trellon-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = pattern;

    int exitCode = 0;
    {
        HttpServer server(0, false, root, false, "");
        std::thread serverThread([&] { server.run(); });
        auto startDeadline = Clock::now() + std::chrono::seconds(10);
        while (server.boundPort() == 0 && Clock::now() < startDeadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const int port = server.boundPort();
        if (port == 0) {
            std::fprintf(stderr, "server did not start\n");
            server.stop();
            serverThread.join();
            ::rmdir(root.c_str());
            return 1;
        }

        const std::string request =
            "GET /" + name + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: bench_http_load\r\n\r\n";
        std::vector<ClientTally> tallies(static_cast<std::size_t>(connections));
        std::atomic<bool> go{false};
        std::vector<std::thread> clients;
        const auto runFor =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        Clock::time_point end;
        for (int c = 0; c < connections; ++c) {
            clients.emplace_back([&, c] {
                ClientTally& tally = tallies[static_cast<std::size_t>(c)];
                tally.latencyMs.reserve(100000);
                while (!go.load()) std::this_thread::yield();
                while (Clock::now() < end) {
                    auto started = Clock::now();
                    Outcome outcome = fetchOnce(port, request, document->length);
                    if (outcome == Outcome::ok) {
                        tally.latencyMs.push_back(
                            std::chrono::duration<double, std::milli>(Clock::now() - started)
                                .count());
                    } else {
                        ++tally.errors[static_cast<int>(outcome)];
                    }
                }
            });
        }
        const auto begin = Clock::now();
        end = begin + runFor;
        go.store(true);
        for (auto& t : clients) t.join();
        const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();

        std::vector<double> all;
        long errors[6] = {};
        for (const ClientTally& tally : tallies) {
            all.insert(all.end(), tally.latencyMs.begin(), tally.latencyMs.end());
            for (int i = 0; i < 6; ++i) errors[i] += tally.errors[i];
        }
        std::sort(all.begin(), all.end());
        long errorCount = 0;
        for (int i = 1; i < 6; ++i) errorCount += errors[i];

        std::printf("HTTP load: %d connections, GET /%s (%zu bytes), %.1f s\n", connections,
                    name.c_str(), document->length, elapsed);
        std::printf("requests: %zu answered, %.0f per second\n", all.size(),
                    static_cast<double>(all.size()) / elapsed);
        std::printf("latency: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", percentile(all, 0.50),
                    percentile(all, 0.99), all.empty() ? 0.0 : all.back());
        std::printf("errors: %ld (connect %ld, send %ld, time-out %ld, status %ld, length %ld)\n",
                    errorCount, errors[1], errors[2], errors[3], errors[4], errors[5]);

        int status = -1;
        Outcome after = fetchOnce(port, request, document->length, &status);
        std::printf("after the run: GET /%s -> %s (status %d)\n", name.c_str(),
                    after == Outcome::ok ? "answered" : "FAILED", status);
        if (errorCount != 0 || after != Outcome::ok) exitCode = 1;

        server.stop();
        serverThread.join();
    }
    ::rmdir(root.c_str());
    return exitCode;
}
