#include "support/netlab_relay.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <random>
#include <stdexcept>
#include <vector>

#include "support/netlab_namespace.h"

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

namespace trellon::netlab {

namespace {

// Sleeps end this long before a planned release and spin the rest: this
// machine's timer wake-ups come 20-70 us late.
constexpr std::int64_t kSpinNs = 60'000;
// Longest sleep, so the socket drop counters and published counts stay fresh.
constexpr std::int64_t kIdleNs = 20'000'000;
constexpr int kReadBatch = 256;
constexpr std::size_t kFrameBuffer = 65536 + 64;

std::int64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t realtimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void setOption(int fd, int level, int name, int value, const char* what) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) {
        throw std::runtime_error(std::string("relay: ") + what + ": " + std::strerror(errno));
    }
}

// A packet socket that sees every frame arriving on one interface (and not
// the relay's own sends on it).
int openPacketSocket(const std::string& interface) {
    // Protocol 0 first: the socket receives nothing until bind names the interface.
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("relay: packet socket: ") + std::strerror(errno));
    try {
        unsigned index = ::if_nametoindex(interface.c_str());
        if (index == 0) throw std::runtime_error("relay: no interface " + interface);
        setOption(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, 1, "PACKET_IGNORE_OUTGOING");
        // Room for a full rate limiter queue and bursts of arrivals; FORCE as root.
        setOption(fd, SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20, "SO_RCVBUFFORCE");
        setOption(fd, SOL_SOCKET, SO_SNDBUFFORCE, 8 << 20, "SO_SNDBUFFORCE");
        setOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1, "SO_TIMESTAMPNS");
        packet_mreq promiscuous{};
        promiscuous.mr_ifindex = static_cast<int>(index);
        promiscuous.mr_type = PACKET_MR_PROMISC;
        if (::setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promiscuous, sizeof promiscuous) !=
            0) {
            throw std::runtime_error(std::string("relay: promiscuous mode: ") +
                                     std::strerror(errno));
        }
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = static_cast<int>(index);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("relay: bind to " + interface + ": " + std::strerror(errno));
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    return fd;
}

bool isIp(const std::uint8_t* frame, std::size_t size) {
    if (size < 14) return false;
    unsigned type = (static_cast<unsigned>(frame[12]) << 8) | frame[13];
    return type == ETHERTYPE_IP || type == ETHERTYPE_IPV6;
}

std::uint64_t randomSeed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

// One interface: frames arriving there enter `queue`; they leave through `out`.
struct ImpairmentRelay::Side {
    int in;
    int out;
    ImpairmentQueue& queue;
};

ImpairmentRelay::ImpairmentRelay(int nsFd, const std::string& sideA, const std::string& sideB,
                                 const RelayConfig& config)
    : seed_(config.seed != 0 ? config.seed : randomSeed()),
      wantRealtime_(config.realtime),
      aToB_(config.aToB, seed_, config.queueCapacity),
      bToA_(config.bToA, seed_ + 1, config.queueCapacity) {
    try {
        inNamespace(nsFd, [&] {
            socketA_ = openPacketSocket(sideA);
            socketB_ = openPacketSocket(sideB);
        });
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0) throw std::runtime_error("relay: eventfd failed");
    } catch (...) {
        if (socketA_ >= 0) ::close(socketA_);
        if (socketB_ >= 0) ::close(socketB_);
        throw;
    }
    std::promise<void> started;
    std::future<void> running = started.get_future();
    thread_ = std::thread([this, &started] { run(started); });
    running.wait();  // so realtime() tells the truth from the start
}

ImpairmentRelay::~ImpairmentRelay() {
    stopping_.store(true);
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(socketA_);
    ::close(socketB_);
    ::close(wakeFd_);
}

RelayStats ImpairmentRelay::stats() const {
    std::lock_guard<std::mutex> guard(statsMutex_);
    return published_;
}

bool ImpairmentRelay::waitFor(const std::function<bool(const RelayStats&)>& done,
                              std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(statsMutex_);
    return statsChanged_.wait_for(lock, timeout, [&] { return done(published_); });
}

void ImpairmentRelay::setImpairments(const Impairment& aToB, const Impairment& bToA) {
    std::lock_guard<std::mutex> guard(configMutex_);
    pending_ = std::make_pair(aToB, bToA);
}

void ImpairmentRelay::run(std::promise<void>& started) {
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    if (wantRealtime_) {
        sched_param priority{};
        priority.sched_priority = 20;
        if (::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) == 0) {
            realtime_.store(true);
        } else {
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -10);
        }
    }
    started.set_value();

    Side sides[2] = {{socketA_, socketB_, aToB_}, {socketB_, socketA_, bToA_}};
    std::vector<std::uint8_t> buffer(kFrameBuffer);
    std::vector<OutgoingPacket> outgoing;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    std::int64_t nextCountersNs = 0;

    auto nextDue = [&]() -> std::optional<std::int64_t> {
        auto a = aToB_.nextDueNs();
        auto b = bToA_.nextDueNs();
        if (a && b) return std::min(*a, *b);
        return a ? a : b;
    };

    while (!stopping_.load()) {
        {
            std::lock_guard<std::mutex> guard(configMutex_);
            if (pending_) {
                aToB_.setImpairment(pending_->first);
                bToA_.setImpairment(pending_->second);
                pending_.reset();
            }
        }

        std::int64_t now = monotonicNs();
        auto due = nextDue();
        if (!due || *due - now > kSpinNs) {
            std::int64_t sleepNs = due ? std::min(*due - now - kSpinNs, kIdleNs) : kIdleNs;
            timespec timeout{static_cast<time_t>(sleepNs / 1'000'000'000),
                             static_cast<long>(sleepNs % 1'000'000'000)};
            pollfd wait[3] = {{socketA_, POLLIN, 0}, {socketB_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            ::ppoll(wait, 3, &timeout, nullptr);
        }

        bool changed = false;
        for (Side& side : sides) {
            for (int i = 0; i < kReadBatch; ++i) {
                iovec part{buffer.data(), buffer.size()};
                msghdr message{};
                message.msg_iov = &part;
                message.msg_iovlen = 1;
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                ssize_t size = ::recvmsg(side.in, &message, MSG_DONTWAIT | MSG_TRUNC);
                if (size < 0) break;
                changed = true;
                auto length = static_cast<std::size_t>(size);
                if (length > buffer.size()) {  // a frame larger than any link here carries
                    side.queue.recordSend(false, 0);
                    continue;
                }
                if (!isIp(buffer.data(), length)) {
                    // ARP and the like go on at once: impairing them would only
                    // make address resolution, not the test traffic, suffer.
                    ::send(side.out, buffer.data(), length, MSG_DONTWAIT);
                    side.queue.addPassedThrough();
                    continue;
                }
                // The kernel's receive stamp is on the wall clock; its age moves
                // it onto the monotonic clock the schedule runs on.
                std::int64_t arrival = monotonicNs();
                for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
                     c = CMSG_NXTHDR(&message, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                        timespec stamp{};
                        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                        std::int64_t age = realtimeNs() - (static_cast<std::int64_t>(stamp.tv_sec) *
                                                               1'000'000'000 +
                                                           stamp.tv_nsec);
                        if (age > 0 && age < 1'000'000'000) arrival -= age;
                    }
                }
                side.queue.admit(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + size),
                                 arrival);
            }
        }

        now = monotonicNs();
        due = nextDue();
        if (due && *due > now && *due - now <= kSpinNs) {
            while (monotonicNs() < *due) {
            }
        }

        now = monotonicNs();
        for (Side& side : sides) {
            outgoing.clear();
            side.queue.release(now, outgoing);
            for (auto& packet : outgoing) {
                for (int copy = 0; copy < packet.copies; ++copy) {
                    std::int64_t late = monotonicNs() - packet.plannedNs;
                    ssize_t sent =
                        ::send(side.out, packet.data.data(), packet.data.size(), MSG_DONTWAIT);
                    side.queue.recordSend(sent == static_cast<ssize_t>(packet.data.size()), late);
                }
                changed = true;
            }
        }

        if (now >= nextCountersNs) {
            nextCountersNs = now + kIdleNs;
            for (Side& side : sides) {
                tpacket_stats counters{};
                socklen_t length = sizeof counters;
                // Reading the counters resets them, so they add up here.
                if (::getsockopt(side.in, SOL_PACKET, PACKET_STATISTICS, &counters, &length) == 0 &&
                    counters.tp_drops > 0) {
                    side.queue.addInputDrops(counters.tp_drops);
                    changed = true;
                }
            }
        }

        if (changed) {
            {
                std::lock_guard<std::mutex> guard(statsMutex_);
                published_.aToB = aToB_.stats();
                published_.bToA = bToA_.stats();
            }
            statsChanged_.notify_all();
        }
    }
}

}  // namespace trellon::netlab
