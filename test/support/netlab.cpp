#include "support/netlab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace trellon::netlab {

struct HostState {
    std::string name;
    std::unique_ptr<NetNamespace> ns;
    std::vector<std::string> addresses;
    int interfaces = 0;
};

struct LinkState {
    int index = 0;
    HostState* a = nullptr;
    HostState* b = nullptr;
    std::string aInterface, bInterface;
    std::string aAddress, bAddress;
    std::unique_ptr<NetNamespace> middle;    // relayed links only
    std::unique_ptr<ImpairmentRelay> relay;  // relayed links only
    RelayConfig config;
};

namespace {

constexpr const char* kMiddleA = "to-a";
constexpr const char* kMiddleB = "to-b";

std::atomic<int> gLabCount{0};

// Legacy ethtool switches, still honoured by the kernel for every device.
void setOffload(int fd, const std::string& interface, std::uint32_t command, std::uint32_t value) {
    ethtool_value request{};
    request.cmd = command;
    request.data = value;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", interface.c_str());
    ifr.ifr_data = reinterpret_cast<char*>(&request);
    if (::ioctl(fd, SIOCETHTOOL, &ifr) != 0 && errno != EOPNOTSUPP) {
        throw std::runtime_error("ethtool on " + interface + ": " + std::strerror(errno));
    }
}

// The relay copies frames byte for byte, so they must be complete on the wire:
// with transmit checksum offload a veth leaves checksums unfilled (the receiver
// would drop what the relay sends on), and segmentation or receive coalescing
// would hand it 64 KB super-frames instead of the packets a real link carries.
void disableOffloads(int nsFd, const std::string& interface) {
    inNamespace(nsFd, [&] {
        UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!control) throw std::runtime_error("ethtool socket failed");
        setOffload(control.get(), interface, ETHTOOL_STXCSUM, 0);
        setOffload(control.get(), interface, ETHTOOL_SSG, 0);
        setOffload(control.get(), interface, ETHTOOL_STSO, 0);
        setOffload(control.get(), interface, ETHTOOL_SGSO, 0);
        setOffload(control.get(), interface, ETHTOOL_SGRO, 0);
    });
}

bool validHostName(const std::string& name) {
    return !name.empty() && name.size() <= 16 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
}

void printDirection(const char* title, const DirectionStats& s) {
    std::printf(
        "  %s: received %llu forwarded %llu dropped %llu duplicated %llu reordered %llu "
        "queueDropped %llu "
        "inputDropped %llu passedThrough %llu queued %llu late mean %.1f us max %.1f us\n",
        title, static_cast<unsigned long long>(s.received),
        static_cast<unsigned long long>(s.forwarded), static_cast<unsigned long long>(s.dropped),
        static_cast<unsigned long long>(s.duplicated), static_cast<unsigned long long>(s.reordered),
        static_cast<unsigned long long>(s.queueDropped),
        static_cast<unsigned long long>(s.inputDropped),
        static_cast<unsigned long long>(s.passedThrough), static_cast<unsigned long long>(s.queued),
        s.meanLateUs, s.maxLateUs);
}

}  // namespace

// --- UniqueFd -----------------------------------------------------------------

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

// --- Host ---------------------------------------------------------------------

HostState& Host::state() const {
    if (state_ == nullptr) throw std::logic_error("netlab: empty Host handle");
    return *state_;
}

const std::string& Host::name() const {
    return state().name;
}
const std::string& Host::namespaceName() const {
    return state().ns->name();
}
int Host::namespaceFd() const {
    return state().ns->fd();
}

std::string Host::address() const {
    const auto& all = state().addresses;
    return all.empty() ? std::string() : all.front();
}

std::vector<std::string> Host::addresses() const {
    return state().addresses;
}

CommandResult Host::run(const std::string& commandLine, std::chrono::milliseconds timeout) const {
    return runShell(namespaceFd(), commandLine, timeout);
}

Process Host::start(std::vector<std::string> argv, ProcessOptions options) const {
    return Process(namespaceFd(), std::move(argv), std::move(options));
}

UniqueFd Host::openSocket(int domain, int type, int protocol) const {
    UniqueFd result;
    inNamespace(namespaceFd(), [&] {
        result = UniqueFd(::socket(domain, type | SOCK_CLOEXEC, protocol));
        if (!result)
            throw std::runtime_error(std::string("socket failed: ") + std::strerror(errno));
    });
    return result;
}

std::vector<int> listeningTcpPorts(int nsFd) {
    std::vector<int> ports;
    inNamespace(nsFd, [&] {
        for (const char* table : {"/proc/thread-self/net/tcp", "/proc/thread-self/net/tcp6"}) {
            std::ifstream in(table);
            std::string line;
            std::getline(in, line);  // the column titles
            while (std::getline(in, line)) {
                // "  0: 00000000:0FC4 00000000:0000 0A ...": local address:port, remote, state.
                std::istringstream fields(line);
                std::string slot, local, remote, state;
                if (!(fields >> slot >> local >> remote >> state) || state != "0A") continue;
                auto colon = local.rfind(':');
                if (colon == std::string::npos) continue;
                ports.push_back(
                    static_cast<int>(std::strtol(local.c_str() + colon + 1, nullptr, 16)));
            }
        }
    });
    return ports;
}

bool Host::isListening(int port) const {
    auto ports = listeningTcpPorts(namespaceFd());
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

bool Host::waitListening(int port, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    // No event tells when another process starts listening; a bounded poll.
    while (!isListening(port)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string Host::tcpExchange(const std::string& address, int port, const std::string& request,
                              std::chrono::milliseconds timeout, std::string* error) const {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return std::string();
    };
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1)
        return fail("bad address " + address);
    UniqueFd socket = openSocket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto waitFor = [&](short events) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd wait{socket.get(), events, 0};
        return ::poll(&wait, 1, static_cast<int>(left.count())) > 0;
    };
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS) return fail(std::string("connect: ") + std::strerror(errno));
        if (!waitFor(POLLOUT)) return fail("connect timed out");
        int result = 0;
        socklen_t length = sizeof result;
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &result, &length);
        if (result != 0) return fail(std::string("connect: ") + std::strerror(result));
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n =
            ::send(socket.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            if (!waitFor(POLLOUT)) return fail("send timed out");
        } else {
            return fail(std::string("send: ") + std::strerror(errno));
        }
    }
    std::string reply;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            reply.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return reply;
        } else if (errno == EAGAIN) {
            if (!waitFor(POLLIN)) {
                if (error != nullptr) *error = "no end of reply before the timeout";
                return reply;
            }
        } else {
            if (error != nullptr) *error = std::string("recv: ") + std::strerror(errno);
            return reply;
        }
    }
}

// --- Link ---------------------------------------------------------------------

LinkState& Link::state() const {
    if (state_ == nullptr) throw std::logic_error("netlab: empty Link handle");
    return *state_;
}

Host Link::a() const {
    return Host(state().a);
}
Host Link::b() const {
    return Host(state().b);
}

std::string Link::addressOf(const Host& host) const {
    if (host == a()) return state().aAddress;
    if (host == b()) return state().bAddress;
    throw std::logic_error("netlab: " + host.name() + " is not on this link");
}

const std::string& Link::interfaceOf(const Host& host) const {
    if (host == a()) return state().aInterface;
    if (host == b()) return state().bInterface;
    throw std::logic_error("netlab: " + host.name() + " is not on this link");
}

RelayStats RelayLink::stats() const {
    return state().relay->stats();
}

bool RelayLink::waitFor(const std::function<bool(const RelayStats&)>& done,
                        std::chrono::milliseconds timeout) const {
    return state().relay->waitFor(done, timeout);
}

void RelayLink::setConfig(const RelayConfig& config) const {
    LinkState& link = state();
    if (config.aToB.rateMbit != link.config.aToB.rateMbit ||
        config.aToB.rateQueueMs != link.config.aToB.rateQueueMs) {
        setRateLimit(link.middle->name(), kMiddleB, config.aToB.rateMbit, config.aToB.rateQueueMs);
    }
    if (config.bToA.rateMbit != link.config.bToA.rateMbit ||
        config.bToA.rateQueueMs != link.config.bToA.rateQueueMs) {
        setRateLimit(link.middle->name(), kMiddleA, config.bToA.rateMbit, config.bToA.rateQueueMs);
    }
    link.relay->setImpairments(config.aToB, config.bToA);
    std::uint64_t seed = link.config.seed;
    link.config = config;
    link.config.seed = seed;
}

const RelayConfig& RelayLink::config() const {
    return state().config;
}
std::uint64_t RelayLink::seed() const {
    return state().relay->seed();
}
bool RelayLink::realtime() const {
    return state().relay->realtime();
}
const std::string& RelayLink::middleNamespaceName() const {
    return state().middle->name();
}

// --- TimingLock ---------------------------------------------------------------

TimingLock::TimingLock(std::chrono::milliseconds patience)
    : file_(::open("/tmp/trellon-netlab-timing.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    if (!file_) return;
    auto deadline = std::chrono::steady_clock::now() + patience;
    // flock has no timeout of its own; a bounded retry.
    for (;;) {
        if (::flock(file_.get(), LOCK_EX | LOCK_NB) == 0) {
            acquired_ = true;
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TimingLock::~TimingLock() {
    if (acquired_) ::flock(file_.get(), LOCK_UN);
}

// --- Lab ----------------------------------------------------------------------

void setRateLimit(const std::string& namespaceName, const std::string& interface, double rateMbit,
                  double queueMs) {
    if (rateMbit <= 0) {
        try {
            runTool("tc -n " + namespaceName + " qdisc del dev " + interface + " root");
        } catch (const std::runtime_error&) {
            // There was none.
        }
        return;
    }
    auto bitsPerSecond = static_cast<long long>(rateMbit * 1e6);
    // Two milliseconds of tokens (two frames at least): enough that a late
    // qdisc timer loses no rate, small enough not to matter as a burst.
    long long burst = std::max<long long>(2 * 1514, bitsPerSecond / 8 / 500);
    runTool("tc -n " + namespaceName + " qdisc replace dev " + interface + " root tbf rate " +
            std::to_string(bitsPerSecond) + "bit burst " + std::to_string(burst) + " latency " +
            std::to_string(static_cast<long long>(queueMs * 1000)) + "us");
}

Lab::Lab() {
    std::string why = unavailableReason();
    if (!why.empty()) throw std::runtime_error("network lab unavailable: " + why);
    sweepLeftovers();
    prefix_ = processPrefix() + std::to_string(++gLabCount) + "-";
}

Lab::~Lab() {
    if (::testing::Test::HasFailure()) printRelayStats();
    for (auto& link : links_) link->relay.reset();
    for (auto& host : hosts_) host->ns->killProcesses();
    links_.clear();
    hosts_.clear();
}

Host Lab::addHost(const std::string& name) {
    if (!validHostName(name))
        throw std::invalid_argument("netlab: host names are 1-16 of [a-z0-9]: " + name);
    for (const auto& host : hosts_) {
        if (host->name == name) throw std::invalid_argument("netlab: host " + name + " exists");
    }
    auto host = std::make_unique<HostState>();
    host->name = name;
    host->ns = std::make_unique<NetNamespace>(prefix_ + "h" + name);
    hosts_.push_back(std::move(host));
    return Host(hosts_.back().get());
}

std::pair<std::string, std::string> Lab::subnetAddresses(int index) const {
    if (index > 250) throw std::runtime_error("netlab: at most 250 links per lab");
    std::string subnet = "10.77." + std::to_string(index) + ".";
    return {subnet + "1", subnet + "2"};
}

void Lab::prepareHostSide(HostState& host, const std::string& interface,
                          const std::string& address) {
    // Before the link comes up, so it never sends router or listener queries.
    writeSysctl(host.ns->fd(), "ipv6/conf/" + interface + "/disable_ipv6", "1");
    disableOffloads(host.ns->fd(), interface);
    runTool("ip -n " + host.ns->name() + " addr add " + address + "/24 dev " + interface);
    runTool("ip -n " + host.ns->name() + " link set " + interface + " up");
    host.addresses.push_back(address);
}

Link Lab::connect(const Host& a, const Host& b, const LinkOptions& options) {
    if (a == b) throw std::invalid_argument("netlab: a link needs two hosts");
    auto link = std::make_unique<LinkState>();
    link->index = static_cast<int>(links_.size()) + 1;
    link->a = &a.state();
    link->b = &b.state();
    std::tie(link->aAddress, link->bAddress) = subnetAddresses(link->index);
    link->aInterface = "eth" + std::to_string(link->a->interfaces++);
    link->bInterface = "eth" + std::to_string(link->b->interfaces++);
    runTool("ip link add name " + link->aInterface + " netns " + a.namespaceName() +
            " type veth peer name " + link->bInterface + " netns " + b.namespaceName());
    prepareHostSide(*link->a, link->aInterface, link->aAddress);
    prepareHostSide(*link->b, link->bInterface, link->bAddress);
    if (options.rateMbit > 0) {
        setRateLimit(a.namespaceName(), link->aInterface, options.rateMbit);
        setRateLimit(b.namespaceName(), link->bInterface, options.rateMbit);
    }
    links_.push_back(std::move(link));
    return Link(links_.back().get());
}

RelayLink Lab::connectThroughRelay(const Host& a, const Host& b, const RelayConfig& config) {
    if (a == b) throw std::invalid_argument("netlab: a link needs two hosts");
    auto link = std::make_unique<LinkState>();
    link->index = static_cast<int>(links_.size()) + 1;
    link->a = &a.state();
    link->b = &b.state();
    link->config = config;
    std::tie(link->aAddress, link->bAddress) = subnetAddresses(link->index);
    link->aInterface = "eth" + std::to_string(link->a->interfaces++);
    link->bInterface = "eth" + std::to_string(link->b->interfaces++);

    link->middle = std::make_unique<NetNamespace>(prefix_ + "m" + std::to_string(link->index));
    const std::string& middle = link->middle->name();
    writeSysctl(link->middle->fd(), "ipv6/conf/all/disable_ipv6", "1");
    writeSysctl(link->middle->fd(), "ipv6/conf/default/disable_ipv6", "1");
    runTool("ip link add name " + link->aInterface + " netns " + a.namespaceName() +
            " type veth peer name " + kMiddleA + " netns " + middle);
    runTool("ip link add name " + link->bInterface + " netns " + b.namespaceName() +
            " type veth peer name " + kMiddleB + " netns " + middle);
    for (const char* side : {kMiddleA, kMiddleB}) {
        disableOffloads(link->middle->fd(), side);
        runTool("ip -n " + middle + " link set " + side + " up");
    }
    prepareHostSide(*link->a, link->aInterface, link->aAddress);
    prepareHostSide(*link->b, link->bInterface, link->bAddress);
    // The limiter sits where the relay's output leaves the middle, as a
    // router's output queue would.
    if (config.aToB.rateMbit > 0)
        setRateLimit(middle, kMiddleB, config.aToB.rateMbit, config.aToB.rateQueueMs);
    if (config.bToA.rateMbit > 0)
        setRateLimit(middle, kMiddleA, config.bToA.rateMbit, config.bToA.rateQueueMs);
    link->relay = std::make_unique<ImpairmentRelay>(link->middle->fd(), kMiddleA, kMiddleB, config);
    link->config.seed = link->relay->seed();
    links_.push_back(std::move(link));
    return RelayLink(links_.back().get());
}

std::vector<std::string> Lab::namespaceNames() const {
    std::vector<std::string> names;
    for (const auto& host : hosts_) names.push_back(host->ns->name());
    for (const auto& link : links_) {
        if (link->middle) names.push_back(link->middle->name());
    }
    return names;
}

void Lab::printRelayStats() const {
    for (const auto& link : links_) {
        if (!link->relay) continue;
        std::printf("netlab relay %s <-> %s (seed %llu, %s):\n", link->a->name.c_str(),
                    link->b->name.c_str(), static_cast<unsigned long long>(link->relay->seed()),
                    link->relay->realtime() ? "SCHED_FIFO" : "normal priority");
        RelayStats stats = link->relay->stats();
        printDirection((link->a->name + " to " + link->b->name).c_str(), stats.aToB);
        printDirection((link->b->name + " to " + link->a->name).c_str(), stats.bToA);
    }
    std::fflush(stdout);
}

}  // namespace trellon::netlab
