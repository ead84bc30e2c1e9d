// The test network lab: hosts (network namespaces) joined by links, some of
// them through an impairment relay, for tests that need real networks with
// known delay, jitter, loss, reordering, duplication and rate, or several
// agents on their fixed ports side by side.
//
//   #include "support/netlab.h"
//   #include "support/netlab_agent.h"
//   using namespace trellon::netlab;
//
//   TEST(Something, OverADelayedPath) {
//       NETLAB_SKIP_UNLESS_AVAILABLE();              // skips without root / namespaces
//       NETLAB_SKIP_UNLESS_TOOL("ping", "iputils-ping");
//       TimingLock turn;                             // only for delay- or rate-accuracy checks
//       Lab lab;                                     // removes everything at scope end
//       Host a = lab.addHost("a");
//       Host b = lab.addHost("b");
//       Impairment path;
//       path.delayMs = 10;
//       path.loss = 0.01;
//       RelayLink link = lab.connectThroughRelay(a, b, RelayConfig::both(path));
//       // The link's subnet is 10.77.<n>.0/24 for the lab's n-th link (from 1):
//       // the first host given gets .1, the second .2. Here a is 10.77.1.1 and
//       // b is 10.77.1.2; link.addressOf(b) and b.address() say so too.
//       CommandResult ping = a.run("ping -n -c 5 -i 0.05 " + b.address());
//       EXPECT_TRUE(ping.ok()) << ping.output;
//       AgentProcess agent(b);                       // trellon in b, default ports
//       ASSERT_TRUE(agent.ready());
//       RelayStats counts = link.stats();            // what the relay really did
//       EXPECT_EQ(counts.aToB.dropped + counts.aToB.forwarded, counts.aToB.received);
//   }
//
// A direct link without relay: lab.connect(a, b) (LinkOptions for a rate).
// Impairments can change mid-test: link.setConfig(newConfig). Relay counts
// cover IP packets only; keep bulk traffic and delay-accuracy checks in
// separate tests (two cores: a relay busy with a bulk flow releases late).
//
// Hosts see one interface per link, eth0, eth1, ... in the order their links
// were made; IPv6 is off on them (loopback keeps it), so only the test's own
// traffic and ARP cross the links. By hand: `ip netns exec <a.namespaceName()>`
// into a test's hosts, or `trellon-netlab up --delay 10 [-- command]` for a
// lab of one's own (trellon-netlab with no arguments lists its options).
//
// Threads: a Lab and its handles belong to the thread that made them (start
// processes from it too: a child dies with the thread that started it). Only
// stats(), waitFor() and setImpairments() of a relay are safe from any thread.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/netlab_impairment.h"
#include "support/netlab_namespace.h"
#include "support/netlab_process.h"
#include "support/netlab_relay.h"

// Skips the current test, with the reason, where the lab cannot run.
#define NETLAB_SKIP_UNLESS_AVAILABLE()                                                    \
    do {                                                                                  \
        std::string netlabWhy = ::trellon::netlab::unavailableReason();                   \
        if (!netlabWhy.empty()) GTEST_SKIP() << "network lab unavailable: " << netlabWhy; \
    } while (0)

// Skips the current test when a program it runs is missing.
#define NETLAB_SKIP_UNLESS_TOOL(program, package)                                \
    do {                                                                         \
        if (::trellon::netlab::findTool(program).empty())                        \
            GTEST_SKIP() << program << " is missing (Debian package " << package \
                         << "; scripts/install-deps test installs it)";          \
    } while (0)

namespace trellon::netlab {

// A file descriptor that closes itself.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct HostState;
struct LinkState;

// A handle on one host of a Lab; copies refer to the same host. Valid while the Lab lives.
class Host {
public:
    Host() = default;

    const std::string& name() const;
    const std::string& namespaceName() const;  // for ip netns exec
    int namespaceFd() const;

    // The address on the host's first link ("" before it has one), and all of them.
    std::string address() const;
    std::vector<std::string> addresses() const;

    // A /bin/sh command line run in the host; killed at the timeout.
    CommandResult run(const std::string& commandLine,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
    // A program left running in the host, owned by the returned Process.
    Process start(std::vector<std::string> argv, ProcessOptions options = {}) const;

    // A socket of the host's network; use it from any thread.
    UniqueFd openSocket(int domain, int type, int protocol = 0) const;

    // Whether something in the host listens on a TCP port (any address).
    bool isListening(int port) const;
    // Polls isListening until it holds; false at the timeout.
    bool waitListening(int port, std::chrono::milliseconds timeout) const;

    // Connects from this host, sends request, reads until the peer closes.
    // Returns what came back; on failure empty, with the reason in *error.
    std::string tcpExchange(const std::string& address, int port, const std::string& request,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10),
                            std::string* error = nullptr) const;

    bool operator==(const Host& other) const { return state_ == other.state_; }

private:
    friend class Lab;
    friend class Link;
    explicit Host(HostState* state) : state_(state) {}
    HostState& state() const;
    HostState* state_ = nullptr;
};

struct LinkOptions {
    double rateMbit = 0;  // tbf on both ends; 0: unlimited
};

// A handle on a link between two hosts.
class Link {
public:
    Link() = default;
    Host a() const;
    Host b() const;
    std::string addressOf(const Host& host) const;
    const std::string& interfaceOf(const Host& host) const;  // "eth0", ...

protected:
    friend class Lab;
    explicit Link(LinkState* state) : state_(state) {}
    LinkState& state() const;
    LinkState* state_ = nullptr;
};

// A link through an impairment relay in a middle namespace.
class RelayLink : public Link {
public:
    RelayLink() = default;
    RelayStats stats() const;
    bool waitFor(const std::function<bool(const RelayStats&)>& done,
                 std::chrono::milliseconds timeout) const;
    // New impairments from now on; the rate limiters change at once.
    void setConfig(const RelayConfig& config) const;
    const RelayConfig& config() const;
    std::uint64_t seed() const;
    bool realtime() const;  // whether the relay thread got SCHED_FIFO
    const std::string& middleNamespaceName() const;

private:
    friend class Lab;
    explicit RelayLink(LinkState* state) : Link(state) {}
};

class Lab {
public:
    // Sweeps leftovers of dead runs first. Throws std::runtime_error where the
    // lab cannot run (see unavailableReason()).
    Lab();
    // Stops the relays, kills what still runs in the hosts and deletes every
    // namespace; when the current test failed, prints each relay's counts.
    ~Lab();
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    // name: 1-16 of [a-z0-9], unique in the lab.
    Host addHost(const std::string& name);
    Link connect(const Host& a, const Host& b, const LinkOptions& options = {});
    RelayLink connectThroughRelay(const Host& a, const Host& b, const RelayConfig& config = {});

    // "trl-<pid>-<start>-<n>-": every namespace of this lab begins so.
    const std::string& prefix() const { return prefix_; }
    std::vector<std::string> namespaceNames() const;

    // Prints each relay's seed and counts (the destructor does it on failure).
    void printRelayStats() const;

private:
    void prepareHostSide(HostState& host, const std::string& interface, const std::string& address);
    std::pair<std::string, std::string> subnetAddresses(int index) const;

    std::string prefix_;
    std::vector<std::unique_ptr<HostState>> hosts_;
    std::vector<std::unique_ptr<LinkState>> links_;
};

// Held by timing-sensitive lab tests (delay accuracy, rate) so that such
// tests of parallel runs take turns instead of sharing two cores: an flock on
// /tmp/trellon-netlab-timing.lock, waited for up to `patience`. acquired()
// tells whether it was had (a test may run anyway, without the guarantee).
class TimingLock {
public:
    explicit TimingLock(std::chrono::milliseconds patience = std::chrono::seconds(300));
    ~TimingLock();
    TimingLock(const TimingLock&) = delete;
    TimingLock& operator=(const TimingLock&) = delete;
    bool acquired() const { return acquired_; }

private:
    UniqueFd file_;
    bool acquired_ = false;
};

// Sets a rate limit (tbf) on the egress of an interface in a namespace; 0 removes it.
void setRateLimit(const std::string& namespaceName, const std::string& interface, double rateMbit,
                  double queueMs = 50);

// One host's view of what listens: the TCP ports in LISTEN state in the
// namespace at nsFd.
std::vector<int> listeningTcpPorts(int nsFd);

}  // namespace trellon::netlab
