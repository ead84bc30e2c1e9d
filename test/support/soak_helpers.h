// The soak: two agents in lab hosts under mixed work for a long time, and a
// probe flood at the end. Shared by bench/soak.cpp (10 minutes, figures each
// minute) and test/integration/soak_test.cpp (60 seconds, figures each 10 s,
// assertions on the outcome).
//
// Agent a runs the tests against b (response, bandwidth, streaming, some of
// them cancelled half-way) and b runs response tests against a, while other
// threads load both agents' first pages and poll results, and send both
// malformed requests and datagrams. Agent b is restarted once while a's tests
// run against it. Every `every` the thread count, open descriptors, resident
// memory and test log size of each agent are printed and kept. Then a flood:
// several senders put probes at b's reflector as fast as they can, with b's
// memory and first page watched.
//
// The workers talk to the agents through sockets of the hosts' networks only
// (Host::tcpExchange, Host::openSocket), which any thread may use; starting
// and stopping the agents stays on the thread that made the Lab.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/netlab.h"
#include "support/netlab_agent.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab::soak {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Settings {
    seconds duration{600};  // the mixed work, the restart included
    seconds every{60};      // figures printed and kept
    seconds warmUp{60};     // from an agent's start: figures before it are not compared
    seconds restartAt{120};
    seconds flood{30};
    int probers = 3;  // response tests running side by side, each way
    int floodSenders = 4;
    int testLogSize = 25;  // the agents' setting: the log's size levels off early
};

// The resident memory by kind, from /proc/PID/smaps. A thread stack is an
// anonymous writable mapping right above its guard page; a malloc arena of a
// thread is one right below the reserve of its 64 MB region; the main heap is
// "[heap]"; pages of the program and its libraries are file pages (code read
// in as new paths first run: shared, and not what a leak would grow).
struct MemorySplit {
    long heapKb = -1;    // "[heap]" and the threads' arenas
    long stacksKb = -1;  // the threads' stacks and the main one
    long otherAnonKb = -1;  // other private memory (large blocks, libraries' data)
    long filesKb = -1;
};

// One agent's figures at one moment.
struct Figures {
    int threads = -1;
    int descriptors = -1;
    long rssKb = -1;
    MemorySplit memory;  // where the resident pages are
    int logRecords = -1;  // results kept in the test log (its status page)
};

struct Sample {
    double at = 0;  // seconds since the soak began
    char agent = 'a';
    int life = 0;           // 0, then 1 after its restart
    double sinceStart = 0;  // seconds since this life of the agent began
    Figures figures;
};

// How the tests ended.
struct TestTally {
    int started = 0;
    int refused = 0;  // the run command said no (with its page's text)
    int withFigures = 0;
    int withReason = 0;  // finished with a text but no figures
    int cancelled = 0;
    int unfinished = 0;     // not finished by its deadline: a fault
    int lostInRestart = 0;  // ran on b, which was restarted under it
    int cutShort = 0;       // still running when the soak's time was up
    // Seen running, then gone from the log: it ended (the log drops only
    // ended records) and the log, full with the soak's churn, dropped it
    // before the next poll read how.
    int droppedUnread = 0;
    std::map<std::string, int> reasons;  // the texts, shortened
    std::vector<std::string> problems;
};

struct PageTally {
    int loads = 0;
    int failures = 0;      // no page at all, outside b's restart
    double slowest = 0;    // seconds
    double slowestAt = 0;  // seconds since the soak began
    char slowestAgent = '-';
};

struct FloodOutcome {
    long long datagrams = 0;
    long rssBeforeKb = -1;
    long rssPeakKb = -1;
    long rssHalfwayKb = -1;  // the peak of the flood's first half
    long rssAfterKb = -1;
    int threadsBefore = -1;
    int threadsPeak = -1;
    PageTally pages;
};

struct Outcome {
    std::vector<Sample> samples;
    TestTally tests;
    PageTally pages;
    int malformedSent = 0;
    double restartSeconds = -1;
    FloodOutcome flood;
    std::string setupError;
    std::vector<std::string> died;  // agents that stopped on their own: console and log
};

// ------------------------------------------------------------ small pieces

inline std::string element(const std::string& document, const std::string& name) {
    const std::string open = "<" + name + ">";
    std::size_t start = document.find(open);
    if (start == std::string::npos) return "";
    start += open.size();
    std::size_t end = document.find("</" + name + ">", start);
    return end == std::string::npos ? "" : document.substr(start, end - start);
}

// The body of GET path from the agent of `from`, or "" (with *error).
inline std::string get(const Host& from, const std::string& address, const std::string& path,
                       milliseconds timeout, std::string* error = nullptr) {
    std::string reply =
        from.tcpExchange(address, 4044, "GET " + path + " HTTP/1.0\r\n\r\n", timeout, error);
    if (reply.rfind("HTTP/", 0) != 0) return reply;
    std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

inline int countEntries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

inline long statusField(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

inline MemorySplit memorySplit(pid_t pid) {
    struct Mapping {
        unsigned long long start = 0, end = 0;
        bool writable = false, reserve = false, anonymous = false;
        std::string name;
        long rssKb = 0;
    };
    std::vector<Mapping> maps;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    while (std::getline(in, line)) {
        unsigned long long start = 0, end = 0;
        char perms[8] = {};
        int nameAt = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx %7s %*s %*s %*s %n", &start, &end, perms,
                        &nameAt) >= 3 &&
            line.find(':') > line.find(' ')) {  // a mapping's header, not "Rss:   12 kB"
            Mapping m;
            m.start = start;
            m.end = end;
            m.writable = perms[1] == 'w';
            m.reserve = std::string(perms).rfind("---", 0) == 0;
            m.name = nameAt > 0 && nameAt <= static_cast<int>(line.size()) ? line.substr(nameAt) : "";
            m.anonymous = m.name.empty();
            maps.push_back(m);
        } else if (!maps.empty() && line.rfind("Rss:", 0) == 0) {
            maps.back().rssKb = std::atol(line.c_str() + 4);
        }
    }
    MemorySplit split;
    if (maps.empty()) return split;
    split = MemorySplit{0, 0, 0, 0};
    for (std::size_t i = 0; i < maps.size(); ++i) {
        const Mapping& m = maps[i];
        // A guard is a page or a few; an arena's reserve is tens of megabytes.
        const bool guardBelow = i > 0 && maps[i - 1].reserve && maps[i - 1].anonymous &&
                                maps[i - 1].end == m.start &&
                                maps[i - 1].end - maps[i - 1].start <= 64 * 1024;
        const bool reserveAbove = i + 1 < maps.size() && maps[i + 1].reserve &&
                                  maps[i + 1].anonymous && maps[i + 1].start == m.end;
        if (m.name == "[heap]") split.heapKb += m.rssKb;
        else if (m.name == "[stack]") split.stacksKb += m.rssKb;
        else if (!m.anonymous) split.filesKb += m.rssKb;
        else if (m.writable && guardBelow) split.stacksKb += m.rssKb;
        else if (m.writable && reserveAbove) split.heapKb += m.rssKb;
        else split.otherAnonKb += m.rssKb;
    }
    return split;
}

inline int logRecords(const Host& host) {
    const std::string page = get(host, "127.0.0.1", "/showstatus", milliseconds(5000));
    const std::string marker = "Results kept in the test log</th><td>";
    std::size_t at = page.find(marker);
    return at == std::string::npos ? -1 : std::atoi(page.c_str() + at + marker.size());
}

inline Figures figuresOf(pid_t pid, const Host& host) {
    Figures f;
    f.threads = static_cast<int>(statusField(pid, "Threads"));
    f.descriptors = countEntries("/proc/" + std::to_string(pid) + "/fd");
    f.rssKb = statusField(pid, "VmRSS");
    f.memory = memorySplit(pid);
    f.logRecords = logRecords(host);
    return f;
}

inline std::string describe(const Figures& f) {
    char text[192];
    std::snprintf(text, sizeof text,
                  "threads %3d  fds %3d  rss %5.1f MB (heap %5.2f stacks %5.2f other %5.2f "
                  "files %5.2f)  log %3d",
                  f.threads, f.descriptors, f.rssKb / 1024.0, f.memory.heapKb / 1024.0,
                  f.memory.stacksKb / 1024.0, f.memory.otherAnonKb / 1024.0,
                  f.memory.filesKb / 1024.0, f.logRecords);
    return text;
}

// A probe as a prober sends it: header words, a send time, reflector times clear.
inline std::vector<std::uint8_t> probeDatagram(std::uint32_t sequence, std::size_t size) {
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(size, 60), 0);
    auto word = [&](std::size_t at, std::uint32_t value) {
        bytes[at] = static_cast<std::uint8_t>(value >> 24);
        bytes[at + 1] = static_cast<std::uint8_t>(value >> 16);
        bytes[at + 2] = static_cast<std::uint8_t>(value >> 8);
        bytes[at + 3] = static_cast<std::uint8_t>(value);
    };
    word(0, 2);
    word(4, 2);
    word(20, 1700000000u + sequence / 1000000);
    word(24, sequence % 1000000);
    word(52, 0xFFFF);
    word(56, 0xFFFF);
    return bytes;
}

// ------------------------------------------------------------------- soak

class Soak {
public:
    explicit Soak(Settings settings) : settings_(settings) {}

    // Runs everything; printing as it goes when `print`.
    Outcome run(bool print = true) {
        print_ = print;
        began_ = Clock::now();
        lab_ = std::make_unique<Lab>();
        a_ = lab_->addHost("a");
        b_ = lab_->addHost("b");
        lab_->connect(a_, b_);
        startAgent('a');
        startAgent('b');
        if (!outcome_.setupError.empty()) return finish();

        std::vector<std::thread> workers;
        workers.emplace_back([this] { pageLoads(a_, 'a'); });
        workers.emplace_back([this] { pageLoads(a_, 'b'); });
        workers.emplace_back([this] { malformed(); });
        workers.emplace_back([this] { mixedTests(); });
        for (int i = 0; i < settings_.probers; ++i) {
            workers.emplace_back([this, i] { prober(i % 2 == 0 ? 'a' : 'b', i); });
        }

        bool restarted = false;
        auto nextSample = began_ + settings_.every;
        const auto end = began_ + settings_.duration;
        while (Clock::now() < end) {
            if (!restarted && Clock::now() >= began_ + settings_.restartAt) {
                restartB();
                restarted = true;
            }
            if (Clock::now() >= nextSample) {
                takeSamples();
                nextSample += settings_.every;
            }
            std::this_thread::sleep_until(
                std::min({nextSample, end, Clock::now() + milliseconds(200)}));
        }
        takeSamples();
        stop_.store(true);
        for (std::thread& worker : workers) worker.join();

        if (settings_.flood.count() > 0) probeFlood();
        return finish();
    }

private:
    double now() const { return std::chrono::duration<double>(Clock::now() - began_).count(); }

    void say(const std::string& line) {
        if (!print_) return;
        std::lock_guard<std::mutex> guard(printLock_);
        std::printf("[%5.0f s] %s\n", now(), line.c_str());
        std::fflush(stdout);
    }

    void startAgent(char which) {
        AgentOptions options;
        options.settings = {{"testLogSize", std::to_string(settings_.testLogSize)}};
        Host& host = which == 'a' ? a_ : b_;
        auto& agent = which == 'a' ? agentA_ : agentB_;
        agent = std::make_unique<AgentProcess>(host, options);
        (which == 'a' ? startedA_ : startedB_) = Clock::now();
        if (!agent->ready())
            outcome_.setupError +=
                std::string("agent ") + which + ": " + agent->ready().message() + "\n";
    }

    void restartB() {
        say("restarting agent b while a's tests run against it");
        restarting_.store(true);
        const auto stopping = Clock::now();
        agentB_->stop();
        agentB_.reset();
        startAgent('b');
        ++lifeB_;
        outcome_.restartSeconds = std::chrono::duration<double>(Clock::now() - stopping).count();
        restarting_.store(false);
        say("agent b is back after " + std::to_string(outcome_.restartSeconds).substr(0, 4) + " s");
    }

    void takeSamples() {
        for (char which : {'a', 'b'}) {
            auto& agent = which == 'a' ? agentA_ : agentB_;
            if (!agent) continue;
            Sample sample;
            sample.at = now();
            sample.agent = which;
            sample.life = which == 'a' ? 0 : lifeB_.load();
            sample.sinceStart =
                std::chrono::duration<double>(Clock::now() - (which == 'a' ? startedA_ : startedB_))
                    .count();
            if (!agent->running()) {
                // An agent that died is the soak's finding: its last words.
                say(std::string("agent ") + which + " is not running; exit status " +
                    std::to_string(agent->stop()));
                outcome_.died.push_back(std::string(1, which) + ": " + agent->console() + "\n" +
                                        agent->log());
                agent->printDiagnostics();
                agent.reset();
                continue;
            }
            sample.figures = figuresOf(agent->pid(), which == 'a' ? a_ : b_);
            outcome_.samples.push_back(sample);
            say(std::string("agent ") + which + (sample.life > 0 ? " (restarted)" : "") + ": " +
                describe(sample.figures));
        }
    }

    // First pages, as fast as a browser clicking about: each agent from its
    // own host's loopback and, for b, across the link as well.
    void pageLoads(const Host& from, char which) {
        const std::string address = which == 'a' ? "127.0.0.1" : b_.address();
        while (!stop_.load()) {
            const bool during = restarting_.load() && which == 'b';
            const auto asked = Clock::now();
            std::string error;
            const std::string page = get(from, address, "/", milliseconds(5000), &error);
            const double took = std::chrono::duration<double>(Clock::now() - asked).count();
            if (!during && !restarting_.load()) record(outcome_.pages, which, page, took);
            std::this_thread::sleep_for(milliseconds(100));
        }
    }

    void record(PageTally& tally, char which, const std::string& page, double took) {
        std::lock_guard<std::mutex> guard(lock_);
        ++tally.loads;
        if (page.find("<html") == std::string::npos && page.find("<HTML") == std::string::npos)
            ++tally.failures;
        if (took > tally.slowest) {
            tally.slowest = took;
            tally.slowestAt = now();
            tally.slowestAgent = which;
        }
    }

    // Runs one test to its end: started on `on` against `remote`, polled
    // (results page and XML) until done, cancelled after `cancelAfter` when
    // that is set.
    void runTest(const Host& on, const std::string& remote, const std::string& query, int timeLimit,
                 milliseconds cancelAfter = milliseconds(0)) {
        const std::string answer =
            get(on, "127.0.0.1",
                query + "&remoteComputer=" + remote + "&timeLimit=" + std::to_string(timeLimit) +
                    "&format=xml",
                seconds(30));
        const int id = response::testId(answer);
        const bool onB = &on == &b_;
        const int life = lifeB_.load();
        std::unique_lock<std::mutex> guard(lock_);
        if (id == 0) {
            // b's own pages do not answer while it restarts: no test to count.
            if (onB && (restarting_.load() || lifeB_.load() != life)) return;
            ++outcome_.tests.refused;
            ++outcome_.tests.reasons["refused: " + answer.substr(0, 200)];
            guard.unlock();
            // As a user would: a moment before trying again.
            std::this_thread::sleep_for(milliseconds(300));
            return;
        }
        ++outcome_.tests.started;
        guard.unlock();
        const std::string idText = std::to_string(id);
        const auto started = Clock::now();
        // A test ends by its time limit, or soon after a cancel or a broken peer.
        const auto deadline = started + seconds(timeLimit + 30);
        bool cancelled = false;
        bool seen = false;      // the record answered at least once
        bool vanished = false;  // and later the log had no such test
        std::string document;
        for (int polls = 0;; ++polls) {
            if (cancelAfter.count() > 0 && !cancelled && Clock::now() - started >= cancelAfter) {
                get(on, "127.0.0.1", "/cancel?id=" + idText, seconds(10));
                cancelled = true;
            }
            // The progress page now and then, as a browser would reload it.
            if (polls % 4 == 0) get(on, "127.0.0.1", "/results?id=" + idText, seconds(10));
            document = get(on, "127.0.0.1", "/results?id=" + idText + "&format=xml", seconds(10));
            if (!element(document, "done").empty()) {
                seen = true;
            } else if (seen && document.find("No such test") != std::string::npos) {
                vanished = true;
                break;
            }
            if (element(document, "done") == "1" || Clock::now() > deadline || stop_.load()) break;
            std::this_thread::sleep_for(milliseconds(200));
        }
        guard.lock();
        const std::string results = element(document, "finalResults");
        if (element(document, "done") != "1" || results.empty() ||
            results == "Test is still running...") {
            // Stopping the soak cuts the last tests short, and a test that b
            // ran went with b's restart: neither is a fault.
            if (onB && (restarting_.load() || lifeB_.load() != life)) {
                ++outcome_.tests.lostInRestart;
            } else if (vanished) {
                ++outcome_.tests.droppedUnread;
            } else if (stop_.load()) {
                ++outcome_.tests.cutShort;
            } else {
                ++outcome_.tests.unfinished;
                outcome_.tests.problems.push_back(query + " id " + idText + " on " +
                                                  (onB ? "b" : "a") + ": " +
                                                  document.substr(0, 300));
            }
            return;
        }
        if (cancelled) ++outcome_.tests.cancelled;
        const bool figures = document.find("<sent>") != std::string::npos ||
                             document.find("<packetCount>") != std::string::npos ||
                             document.find("<totalBytesSent>") != std::string::npos;
        if (figures) {
            ++outcome_.tests.withFigures;
        } else {
            ++outcome_.tests.withReason;
            std::string shortened = results.substr(0, 90);
            ++outcome_.tests.reasons[shortened];
            guard.unlock();
            // A test that failed at once (its peer restarting) is not tried
            // again at once either, as a user would not: else the workers
            // spin through hundreds of such tests in a restart's seconds.
            std::this_thread::sleep_for(milliseconds(300));
        }
    }

    // Bandwidth, streaming and response tests from a against b in turn, every
    // third one cancelled half-way.
    void mixedTests() {
        const std::string remote = b_.address();
        for (int round = 0; !stop_.load(); ++round) {
            // Every third test is cancelled: bandwidth a moment after its
            // start, streaming and response tests once they are under way.
            const bool cancelled = round % 3 == 2;
            switch (cancelled ? (round / 3) % 3 : round % 3) {
                case 0:
                    runTest(a_, remote,
                            "/bandwidth?testSize=100&testSizeUnits=M+Bytes&reportInterval=1", 5,
                            cancelled ? milliseconds(300) : milliseconds(0));
                    break;
                case 1:
                    runTest(a_, remote,
                            "/streaming?StreamTypeOption=custom&packetSize=200&flowRate=50000"
                            "&rateUnits=Bytes+/+second&bufferSize=1000&reportInterval=1"
                            "&refreshInterval=5",
                            3, cancelled ? milliseconds(1500) : milliseconds(0));
                    break;
                default:
                    runTest(a_, remote,
                            "/response?testSize=500&repeatCount=60&pause=50&refreshInterval=5", 5,
                            cancelled ? milliseconds(1800) : milliseconds(0));
                    break;
            }
        }
    }

    // Response tests back to back, from `from` against the other agent.
    void prober(char from, int index) {
        const Host& on = from == 'a' ? a_ : b_;
        const std::string remote = from == 'a' ? b_.address() : a_.address();
        for (int round = 0; !stop_.load(); ++round) {
            // Past the writer's one-second start, so the cancel cuts probing short.
            const milliseconds cancel =
                (round + index) % 4 == 3 ? milliseconds(1800) : milliseconds(0);
            runTest(on, remote, "/response?testSize=100&repeatCount=60&pause=50&refreshInterval=5",
                    4, cancel);
        }
    }

    // Whatever a careless or hostile peer sends: broken heads, odd queries,
    // garbage on the data sink, random and reply-looking datagrams.
    void malformed() {
        std::mt19937 random(2026);
        auto bytes = [&](std::size_t n) {
            std::string text(n, '\0');
            for (char& c : text) c = static_cast<char>(random());
            return text;
        };
        const char* queries[] = {
            "/results?id=-1&format=xml",
            "/results?id=99999999999999",
            "/cancel?id=abc",
            "/startStreamServer?port=0&packetSize=999999",
            "/status?x=%zz%",
            "/response?remoteComputer=%00&repeatCount=-5",
            "/bandwidth?testSize=1e99",
            "/../../etc/passwd",
            "/plugins/../agent.conf",
            "/runCancel?id=2147483648",
        };
        for (int round = 0; !stop_.load(); ++round) {
            const bool toB = round / 8 % 2 == 1;
            if (toB && restarting_.load()) {
                std::this_thread::sleep_for(milliseconds(50));
                continue;
            }
            const std::string address = toB ? b_.address() : "127.0.0.1";
            const milliseconds wait(1000);
            switch (round % 8) {
                case 0:
                    a_.tcpExchange(address, 4044, bytes(random() % 3000), wait);
                    break;
                case 1:
                    a_.tcpExchange(address, 4044, "GET /" + std::string(20000, 'A'), wait);
                    break;
                case 2:
                    a_.tcpExchange(address, 4044, "BREW /pot HTTP/1.1\r\n\r\n", wait);
                    break;
                case 3:
                    a_.tcpExchange(address, 4044,
                                   std::string("GET ") + queries[round / 8 % std::size(queries)] +
                                       " HTTP/1.0\r\n\r\n",
                                   wait);
                    break;
                case 4:
                    a_.tcpExchange(address, 4044,
                                   "GET / HTTP/1.1\r\nContent-Length: -1\r\nAuthorization: Basic "
                                   "%%%%\r\nIf-Modified-Since: Sun, 99 Foo 1994\r\n\r\n",
                                   wait);
                    break;
                case 5:
                    a_.tcpExchange(address, 4045, bytes(4000), milliseconds(300));
                    break;
                default:
                    datagrams(address, random, round % 8 == 6);
                    break;
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                ++outcome_.malformedSent;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
    }

    // A burst of bad datagrams at the reflector and the streaming port.
    void datagrams(const std::string& address, std::mt19937& random, bool replyLooking) {
        UniqueFd socket = a_.openSocket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
        for (int i = 0; i < 20; ++i) {
            std::vector<std::uint8_t> datagram;
            if (replyLooking) {
                datagram = probeDatagram(static_cast<std::uint32_t>(random()), 100);
                datagram[31] = 1;  // a reflector time: another reflector's answer
            } else {
                datagram.resize(random() % 1600);
                for (auto& byte : datagram) byte = static_cast<std::uint8_t>(random());
            }
            peer.sin_port = htons(i % 2 == 0 ? 4047 : 4046);
            ::sendto(socket.get(), datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        }
    }

    // Probes at b's reflector from several senders as fast as they go, while
    // b's memory and first page are watched.
    void probeFlood() {
        say("probe flood: " + std::to_string(settings_.floodSenders) +
            " senders at b's reflector for " + std::to_string(settings_.flood.count()) + " s");
        FloodOutcome& flood = outcome_.flood;
        const pid_t pid = agentB_->pid();
        flood.rssBeforeKb = statusField(pid, "VmRSS");
        flood.threadsBefore = static_cast<int>(statusField(pid, "Threads"));
        std::atomic<bool> over{false};
        std::atomic<long long> sent{0};
        std::vector<std::thread> senders;
        for (int s = 0; s < settings_.floodSenders; ++s) {
            senders.emplace_back([&, s] {
                UniqueFd socket = a_.openSocket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK);
                sockaddr_in peer{};
                peer.sin_family = AF_INET;
                peer.sin_port = htons(4047);
                ::inet_pton(AF_INET, b_.address().c_str(), &peer.sin_addr);
                std::vector<std::uint8_t> reply(2048);
                for (std::uint32_t n = static_cast<std::uint32_t>(s) << 28; !over.load(); ++n) {
                    std::vector<std::uint8_t> probe = probeDatagram(n, 64 + (n % 4) * 300);
                    if (::sendto(socket.get(), probe.data(), probe.size(), 0,
                                 reinterpret_cast<const sockaddr*>(&peer), sizeof peer) > 0)
                        sent.fetch_add(1);
                    else
                        ::poll(nullptr, 0, 1);  // the socket's buffer is full: a breath
                    // Take the answers off, so the senders' own buffers do not fill.
                    while (::recv(socket.get(), reply.data(), reply.size(), 0) > 0) {
                    }
                }
            });
        }
        std::thread pages([&] {
            while (!over.load()) {
                const auto asked = Clock::now();
                const std::string page = get(a_, b_.address(), "/", milliseconds(5000));
                record(flood.pages, 'b', page,
                       std::chrono::duration<double>(Clock::now() - asked).count());
                std::this_thread::sleep_for(milliseconds(100));
            }
        });
        const auto end = Clock::now() + settings_.flood;
        const auto halfway = Clock::now() + settings_.flood / 2;
        auto nextPrint = Clock::now() + std::min(settings_.every, settings_.flood);
        while (Clock::now() < end) {
            flood.rssPeakKb = std::max(flood.rssPeakKb, statusField(pid, "VmRSS"));
            if (Clock::now() < halfway) flood.rssHalfwayKb = flood.rssPeakKb;
            flood.threadsPeak =
                std::max(flood.threadsPeak, static_cast<int>(statusField(pid, "Threads")));
            if (Clock::now() >= nextPrint) {
                say("flood: " + std::to_string(sent.load()) +
                    " probes sent; agent b: " + describe(figuresOf(pid, b_)));
                nextPrint += std::min(settings_.every, settings_.flood);
            }
            std::this_thread::sleep_for(milliseconds(250));
        }
        over.store(true);
        for (std::thread& sender : senders) sender.join();
        pages.join();
        flood.datagrams = sent.load();
        flood.rssAfterKb = statusField(pid, "VmRSS");
        char line[200];
        std::snprintf(
            line, sizeof line,
            "flood over: %lld probes; b's rss %.1f MB before, %.1f MB at half-time, %.1f MB "
            "at most, %.1f MB after; slowest page %.3f s",
            flood.datagrams, flood.rssBeforeKb / 1024.0, flood.rssHalfwayKb / 1024.0,
            flood.rssPeakKb / 1024.0, flood.rssAfterKb / 1024.0, flood.pages.slowest);
        say(line);
    }

    Outcome finish() {
        stop_.store(true);
        if (agentA_) agentA_->requestStop();
        if (agentB_) agentB_->requestStop();
        agentA_.reset();
        agentB_.reset();
        lab_.reset();
        if (print_) {
            const TestTally& t = outcome_.tests;
            std::printf(
                "tests: %d started, %d with figures, %d with a reason, %d of those "
                "cancelled; %d refused, %d gone with b's restart, %d cut short at the "
                "end, %d unfinished, %d ended but dropped by the full log before read\n",
                t.started, t.withFigures, t.withReason, t.cancelled, t.refused, t.lostInRestart,
                t.cutShort, t.unfinished, t.droppedUnread);
            for (const auto& [reason, count] : t.reasons)
                std::printf("  %4d x %s\n", count, reason.c_str());
            for (const std::string& problem : t.problems)
                std::printf("  unfinished: %s\n", problem.c_str());
            std::printf(
                "pages: %d first pages, %d failed, slowest %.3f s (agent %c at %.0f s); "
                "%d malformed requests and bursts sent\n",
                outcome_.pages.loads, outcome_.pages.failures, outcome_.pages.slowest,
                outcome_.pages.slowestAgent, outcome_.pages.slowestAt, outcome_.malformedSent);
            std::fflush(stdout);
        }
        return outcome_;
    }

    Settings settings_;
    bool print_ = true;
    Clock::time_point began_;
    std::unique_ptr<Lab> lab_;
    Host a_, b_;
    std::unique_ptr<AgentProcess> agentA_, agentB_;
    Clock::time_point startedA_, startedB_;
    std::atomic<int> lifeB_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> restarting_{false};
    std::mutex lock_;  // outcome_ for the workers
    std::mutex printLock_;
    Outcome outcome_;
};

// The samples of one agent's last life taken after its warm-up.
inline std::vector<Figures> settled(const Outcome& outcome, char agent, seconds warmUp) {
    int life = 0;
    for (const Sample& s : outcome.samples)
        if (s.agent == agent) life = std::max(life, s.life);
    std::vector<Figures> figures;
    for (const Sample& s : outcome.samples) {
        if (s.agent == agent && s.life == life && s.sinceStart >= warmUp.count())
            figures.push_back(s.figures);
    }
    return figures;
}

}  // namespace trellon::netlab::soak
