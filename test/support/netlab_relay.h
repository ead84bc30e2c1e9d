// The impairment relay: one thread that moves Ethernet frames between the two
// links of a lab's middle namespace, applying an Impairment per direction.
//
// Host a ── veth ── [to-a  middle namespace  to-b] ── veth ── host b
//
// The relay reads what arrives on to-a through a packet socket and sends it
// out of to-b after the a-to-b impairment, and back. The middle namespace has
// no addresses, so its own stack drops the frames it also sees. Sitting in the
// middle matters: the sender's kernel has handed the packet off (no TCP
// small-queue limit), and the receiver's kernel stamps it only when it really
// arrives. Each packet's delay counts from the kernel's receive timestamp on
// to-a, so the thread's wake-up latency is absorbed whenever the delay is
// larger than it. Releases use a sleep that ends a little early and a short
// spin up to the planned time; the thread asks for SCHED_FIFO (best effort).
//
// Threads: the relay thread owns the sockets and both ImpairmentQueues. Other
// threads read a published copy of the counts (statsMutex_) and hand over new
// impairments (configMutex_).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "support/netlab_impairment.h"

namespace trellon::netlab {

struct RelayConfig {
    Impairment aToB;
    Impairment bToA;
    std::uint64_t seed = 0;             // 0: a random seed (ImpairmentRelay::seed() tells which)
    bool realtime = true;               // ask for SCHED_FIFO for the relay thread
    std::size_t queueCapacity = 20000;  // packets held per direction at most

    static RelayConfig both(const Impairment& each) {
        RelayConfig config;
        config.aToB = each;
        config.bToA = each;
        return config;
    }
};

struct RelayStats {
    DirectionStats aToB;
    DirectionStats bToA;
    // How late the relay sent on average, both ways together: what its own
    // timing adds to a round trip, which checks of measured delays allow for.
    double roundTripLateUs() const { return aToB.meanLateUs + bToA.meanLateUs; }
};

class ImpairmentRelay {
public:
    // Relays between the interfaces sideA and sideB of the namespace open at nsFd.
    ImpairmentRelay(int nsFd, const std::string& sideA, const std::string& sideB,
                    const RelayConfig& config);
    ~ImpairmentRelay();
    ImpairmentRelay(const ImpairmentRelay&) = delete;
    ImpairmentRelay& operator=(const ImpairmentRelay&) = delete;

    RelayStats stats() const;

    // Waits until done(stats) holds; false at the timeout.
    bool waitFor(const std::function<bool(const RelayStats&)>& done,
                 std::chrono::milliseconds timeout) const;

    // New impairments for packets arriving from now on (the rate is the lab's business).
    void setImpairments(const Impairment& aToB, const Impairment& bToA);

    std::uint64_t seed() const { return seed_; }
    bool realtime() const { return realtime_.load(); }

private:
    struct Side;
    void run(std::promise<void>& started);

    std::uint64_t seed_;
    bool wantRealtime_;
    int socketA_ = -1;
    int socketB_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> realtime_{false};
    ImpairmentQueue aToB_;  // relay thread only
    ImpairmentQueue bToA_;  // relay thread only

    std::mutex configMutex_;  // guards pending_
    std::optional<std::pair<Impairment, Impairment>> pending_;

    mutable std::mutex statsMutex_;  // guards published_
    mutable std::condition_variable statsChanged_;
    RelayStats published_;

    std::thread thread_;
};

}  // namespace trellon::netlab
