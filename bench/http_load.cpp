// Load on the web server: an HttpServer runs inside this process on a port
// of the system's choosing, and 100 client threads GET one embedded document
// over and over, each on a new connection (the server always closes), for
// 10 seconds. Prints requests per second, the p50 and p99 latency (connect to
// the server's close), the error count, and whether the server still answers
// one more request afterwards.
//
// Then the same load goes to nginx serving the same document from a folder
// of its own on another loopback port (Debian's nginx-light, started and
// ended by this program; `scripts/install-deps bench` installs it), and the
// ratio of the two request rates is printed, with each server's processor
// time a request (the client threads share the machine with both, so the
// rates tell as much about the client as about the server). Without nginx that part is
// skipped with a note.
//
//   bench_http_load [seconds] [connections] [document]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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
    int status =
        reply.compare(0, 7, "HTTP/1.") == 0 && reply.size() > 9 ? std::atoi(reply.c_str() + 9) : -1;
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

struct Load {
    double rate = 0;
    long answered = 0;
    long errors = 0;
};

// Processor time of one thread of this process, in seconds.
double threadCpuSeconds(pthread_t thread) {
    clockid_t clock;
    timespec t{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0) return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Processor time of a process and its children (nginx's master and workers), in seconds.
double processTreeCpuSeconds(pid_t root) {
    double total = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    while (dirent* entry = ::readdir(proc)) {
        pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        long long parent = 0, utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 4) parent = std::atoll(field.c_str());
            if (i == 14) utime = std::atoll(field.c_str());
            if (i == 15) stime = std::atoll(field.c_str());
        }
        if (pid == root || parent == root)
            total +=
                static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    ::closedir(proc);
    return total;
}

// 100 (connections) client threads, one request per connection, for the time.
Load runLoad(const char* server, int port, const std::string& request, std::size_t length,
             double seconds, int connections) {
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
                Outcome outcome = fetchOnce(port, request, length);
                if (outcome == Outcome::ok) {
                    tally.latencyMs.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - started).count());
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

    Load load;
    load.answered = static_cast<long>(all.size());
    load.rate = static_cast<double>(all.size()) / elapsed;
    load.errors = errorCount;
    std::printf("%s: %d connections, %zu bytes a reply, %.1f s\n", server, connections, length,
                elapsed);
    std::printf("  requests: %zu answered, %.0f per second\n", all.size(), load.rate);
    std::printf("  latency: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", percentile(all, 0.50),
                percentile(all, 0.99), all.empty() ? 0.0 : all.back());
    std::printf("  errors: %ld (connect %ld, send %ld, time-out %ld, status %ld, length %ld)\n",
                errorCount, errors[1], errors[2], errors[3], errors[4], errors[5]);
    std::fflush(stdout);
    return load;
}

int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// nginx in a folder of its own below root, serving the document; stopped at destruction.
class Nginx {
public:
    Nginx(const std::string& root, const std::string& name, const unsigned char* data,
          std::size_t length) {
        const char* candidates[] = {"/usr/sbin/nginx", "/usr/bin/nginx"};
        std::string program;
        for (const char* c : candidates) {
            if (::access(c, X_OK) == 0) program = c;
        }
        if (program.empty()) {
            problem_ = "not installed, skipped (scripts/install-deps bench installs nginx-light)";
            return;
        }
        // nginx's workers give up root's rights: they must be able to read the folder.
        ::chmod(root.c_str(), 0755);
        const std::string folder = root + "/nginx";
        ::mkdir(folder.c_str(), 0755);
        ::mkdir((folder + "/www").c_str(), 0755);
        std::ofstream(folder + "/www/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
        int port = freeLoopbackPort();
        // Debian's defaults where they matter: a worker per core, no access log.
        std::ofstream(folder + "/nginx.conf")
            << "worker_processes auto;\ndaemon off;\npid " << folder << "/nginx.pid;\n"
            << "error_log " << folder << "/error.log;\nevents { worker_connections 1024; }\n"
            << "http { access_log off; sendfile on; tcp_nopush on; keepalive_timeout 0;\n"
            << "  client_body_temp_path " << folder << "/tmp; proxy_temp_path " << folder
            << "/tmp; fastcgi_temp_path " << folder << "/tmp; uwsgi_temp_path " << folder
            << "/tmp; scgi_temp_path " << folder << "/tmp;\n"
            << "  server { listen 127.0.0.1:" << port << "; root " << folder << "/www; } }\n";
        ::mkdir((folder + "/tmp").c_str(), 0755);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(program.c_str(), program.c_str(), "-q", "-p", folder.c_str(), "-c",
                    (folder + "/nginx.conf").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            int status = 0;
            if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                problem_ = "did not start (see " + folder + "/error.log)";
                return;
            }
            int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool up = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
            ::close(s);
            if (up) {
                port_ = port;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        problem_ = "did not listen within 10 s";
    }
    ~Nginx() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& problem() const { return problem_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string problem_;
};

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
        pthread_setname_np(serverThread.native_handle(), "http-loop");
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
        double loopBefore = threadCpuSeconds(serverThread.native_handle());
        Load trellon = runLoad("trellon", port, request, document->length, seconds, connections);
        double loopCpu = threadCpuSeconds(serverThread.native_handle()) - loopBefore;
        // Documents are served on the loop's own thread; the request threads stay idle.
        std::printf(
            "  server processor time: %.1f us a request (the loop thread)\n",
            trellon.answered > 0 ? loopCpu * 1e6 / static_cast<double>(trellon.answered) : 0.0);
        if (trellon.errors != 0) exitCode = 1;

        int status = -1;
        Outcome after = fetchOnce(port, request, document->length, &status);
        std::printf("after the run: GET /%s -> %s (status %d)\n", name.c_str(),
                    after == Outcome::ok ? "answered" : "FAILED", status);
        if (after != Outcome::ok) exitCode = 1;

        server.stop();
        serverThread.join();

        // The same document, the same load, nginx.
        Nginx nginx(root, name, document->data, document->length);
        if (nginx.port() > 0) {
            double nginxBefore = processTreeCpuSeconds(nginx.pid());
            Load other =
                runLoad("nginx", nginx.port(), request, document->length, seconds, connections);
            double nginxCpu = processTreeCpuSeconds(nginx.pid()) - nginxBefore;
            std::printf(
                "  server processor time: %.1f us a request (master and workers)\n",
                other.answered > 0 ? nginxCpu * 1e6 / static_cast<double>(other.answered) : 0.0);
            if (other.rate > 0) {
                std::printf("\ntrellon %.0f requests/s, nginx %.0f requests/s: ratio %.2f\n",
                            trellon.rate, other.rate, trellon.rate / other.rate);
            }
        } else {
            std::printf("\nnginx: %s\n", nginx.problem().c_str());
        }
    }
    std::system(("rm -rf '" + root + "'").c_str());
    return exitCode;
}
