// The agent's bandwidth test on loopback beside iperf3, in the same run.
//
// The agent side is the real test path in this process: a BandwidthTestThread
// (remote check, connect, SocketWriterThread with a fresh filler block for
// every 8 KiB send, the wait for the sink's close) against the agent's own
// data sink (ListenerThread, one SocketReaderThread per connection). A tiny
// responder answers the agent's status request with the sink's port.
// iperf3 runs one TCP flow with 8 KiB writes for the same time
// (`iperf3 -c 127.0.0.1 -l 8K -t <seconds>`); its receiver's figure is taken.
// The two take turns, several rounds, and the medians are compared.
//
// Usage: bench_bandwidth_loopback [seconds=5] [rounds=3]
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/agent_state.h"
#include "lib/listener_thread.h"
#include "lib/shutdown.h"
#include "lib/thread.h"
#include "nettests/bandwidth_test_thread.h"
#include "nettests/data_sink.h"
#include "nettests/remote_agent_status.h"
#include "results/test_log.h"
#include "results/test_result.h"

using namespace trellon;

namespace {

int listenLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

int freeLoopbackPort() {
    int port = 0;
    int fd = listenLoopback(port);
    if (fd >= 0) ::close(fd);
    return port;
}

// Answers every request with the status lines of an agent whose data sink
// listens on sinkPort.
class StatusResponder {
public:
    explicit StatusResponder(int sinkPort) {
        fd_ = listenLoopback(port_);
        reply_ = "3.2\r\nready\r\n" + std::to_string(sinkPort) + "\r\n4046\r\n4047\r\n0\r\n";
        thread_ = std::thread([this] {
            for (;;) {
                int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                char head[1024];
                (void)::recv(c, head, sizeof(head), 0);
                (void)::send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
                ::close(c);
            }
        });
    }
    ~StatusResponder() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::string reply_;
    std::thread thread_;
};

long long xmlNumber(const std::string& xml, const std::string& name) {
    std::size_t at = xml.find("<" + name + ">");
    if (at == std::string::npos) return -1;
    return std::atoll(xml.c_str() + at + name.size() + 2);
}

// Bytes per second of one agent test of `seconds`.
double agentRound(int seconds) {
    std::shared_ptr<TestResult> record = TestLog::instance()->newTestResult();
    BandwidthTestThread test(record, "127.0.0.1", 4044, std::int64_t{1} << 50, 1, seconds, -1, -1,
                             0, false);
    test.start();
    test.join();
    std::string xml = record->getXmlExtras();
    long long rate = xmlNumber(xml, "bytesPerSecond");
    if (rate < 0)
        std::printf("  agent test gave no figure: %s\n", record->getFinalResults().c_str());
    return static_cast<double>(rate);
}

std::string findIperf() {
    for (const char* path : {"/usr/bin/iperf3", "/usr/local/bin/iperf3"})
        if (::access(path, X_OK) == 0) return path;
    return "";
}

// Bytes per second iperf3's receiver measured, or a negative value.
double iperfRound(const std::string& iperf, int seconds) {
    int port = freeLoopbackPort();
    std::fflush(stdout);  // the child must not write our buffered lines again
    pid_t server = ::fork();
    if (server == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(127);
        ::execl(iperf.c_str(), iperf.c_str(), "-s", "-B", "127.0.0.1", "-p",
                std::to_string(port).c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string command = iperf + " -c 127.0.0.1 -p " + std::to_string(port) + " -l 8K -t " +
                          std::to_string(seconds) + " -J 2>&1";
    std::string output;
    // Until the server listens: a refused connect is retried (bounded).
    for (int attempt = 0; attempt < 50; ++attempt) {
        output.clear();
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char chunk[4096];
            std::size_t n;
            while ((n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, n);
            ::pclose(pipe);
        }
        if (output.find("unable to connect") == std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    std::size_t sum = output.find("\"sum_received\"");
    std::size_t bits = sum == std::string::npos ? sum : output.find("\"bits_per_second\"", sum);
    if (bits == std::string::npos) {
        std::printf("  iperf3 gave no figure: %.300s\n", output.c_str());
        return -1;
    }
    return std::atof(output.c_str() + output.find(':', bits) + 1) / 8.0;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    AgentState agent;
    TestLog::create(1000);
    installDataSinkHandler();
    auto* listener = new ListenerThread(0);  // frees itself when it ends
    listener->start();
    int sinkPort = ListenerThread::listeningPort();
    if (sinkPort <= 0) {
        std::printf("the data sink could not listen\n");
        return 1;
    }
    StatusResponder status(sinkPort);
    setAgentControlPortForTests(status.port());

    std::string iperf = findIperf();
    std::printf("bandwidth on loopback, %d s per test, %d rounds, 8 KiB writes, one flow\n",
                seconds, rounds);
    std::vector<double> agentRates, iperfRates;
    for (int round = 1; round <= rounds; ++round) {
        double a = agentRound(seconds);
        agentRates.push_back(a);
        std::printf("  round %d: trellon %.2f Gbit/s", round, a * 8 / 1e9);
        if (!iperf.empty()) {
            double i = iperfRound(iperf, seconds);
            if (i > 0) iperfRates.push_back(i);
            std::printf(", iperf3 %.2f Gbit/s", i * 8 / 1e9);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    double a = median(agentRates);
    std::printf("\ntrellon median %.2f Gbit/s", a * 8 / 1e9);
    if (iperf.empty()) {
        std::printf("\niperf3: not installed, skipped (scripts/install-deps test installs it)\n");
    } else if (!iperfRates.empty()) {
        double i = median(iperfRates);
        std::printf(", iperf3 median %.2f Gbit/s: ratio %.2f (target 0.90)\n", i * 8 / 1e9, a / i);
    } else {
        std::printf("\niperf3 gave no figures\n");
    }

    requestShutdown();
    Thread::setCancelWait(50, std::chrono::milliseconds(100));
    Thread::cancelAllThreads();
    return 0;
}
