// What the impairment relay does to one direction of traffic, apart from any
// I/O: decides losses and duplicates, schedules each packet's release, and
// counts what it did. The relay thread is its only user (tests feed it exact
// times), so it has no lock.
//
// Per packet, in this order: the loss draw (a lost packet is only counted);
// the release time = arrival + delay + jitter, jitter uniform in [0, jitterMs];
// without jitterReorders the release is never earlier than the previous
// packet's, so order is kept. At release time a packet may be picked for
// reordering (probability `reorder`): it is held back until the next packet of
// this direction has gone, then follows it (at most reorderHoldMs later than
// planned). A duplicate is a second copy sent right after the original.
// "Reordered" counts packets sent after a packet that arrived later than they
// did, whatever the cause, which is what a receiver numbering them sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <queue>
#include <random>
#include <vector>

namespace trellon::netlab {

// One direction's impairment. Fractions are probabilities from 0 to 1.
struct Impairment {
    double delayMs = 0;
    double jitterMs = 0;          // extra delay, uniform in [0, jitterMs]
    bool jitterReorders = false;  // whether jitter may let a packet overtake an earlier one
    double loss = 0;
    double duplicate = 0;
    double reorder = 0;         // fraction of packets swapped with the packet after them
    double reorderHoldMs = 10;  // longest a packet picked for reordering waits for its follower
    double rateMbit = 0;        // Ethernet frame rate leaving the relay (tbf); 0: unlimited
    double rateQueueMs = 50;    // how much the rate limiter may queue before it drops
};

// Counts for one direction. Only IP packets are impaired and counted; other
// frames (ARP) are passed on at once and show up only in passedThrough.
struct DirectionStats {
    std::uint64_t received = 0;       // packets that reached the relay
    std::uint64_t forwarded = 0;      // copies sent on, duplicates included
    std::uint64_t dropped = 0;        // lost on purpose (loss)
    std::uint64_t duplicated = 0;     // extra copies
    std::uint64_t reordered = 0;      // sent after a packet that arrived after them
    std::uint64_t queueDropped = 0;   // refused: the relay's queue or the rate limiter was full
    std::uint64_t inputDropped = 0;   // lost before the relay read them (its socket overflowed)
    std::uint64_t passedThrough = 0;  // non-IP frames, not impaired
    std::uint64_t queued = 0;         // held right now
    double meanLateUs = 0;            // how late sends were against their planned time
    double maxLateUs = 0;
};

// A packet on its way out: copies is 1, or 2 for a duplicate.
struct OutgoingPacket {
    std::vector<std::uint8_t> data;
    std::uint64_t sequence = 0;
    std::int64_t plannedNs = 0;
    int copies = 1;
};

class ImpairmentQueue {
public:
    ImpairmentQueue(const Impairment& impairment, std::uint64_t seed, std::size_t capacity = 20000);

    // Applies to packets admitted from now on.
    void setImpairment(const Impairment& impairment) { impairment_ = impairment; }
    const Impairment& impairment() const { return impairment_; }

    // A packet arrived at arrivalNs (steady clock).
    void admit(std::vector<std::uint8_t> data, std::int64_t arrivalNs);

    // When release() next has something to do, if anything is held.
    std::optional<std::int64_t> nextDueNs() const;

    // Appends every packet due at nowNs to out, in sending order.
    void release(std::int64_t nowNs, std::vector<OutgoingPacket>& out);

    // The relay reports each copy it tried to send and how late it was.
    void recordSend(bool sent, std::int64_t lateNs);
    void addInputDrops(std::uint64_t count) { stats_.inputDropped += count; }
    void addPassedThrough() { ++stats_.passedThrough; }

    DirectionStats stats() const;

private:
    struct Held {
        std::vector<std::uint8_t> data;
        std::uint64_t sequence;
        std::int64_t dueNs;
    };
    struct LaterFirst {
        bool operator()(const Held& a, const Held& b) const {
            return a.dueNs != b.dueNs ? a.dueNs > b.dueNs : a.sequence > b.sequence;
        }
    };

    static bool draw(std::mt19937_64& random, double probability);
    void emit(Held packet, std::int64_t plannedNs, std::vector<OutgoingPacket>& out);

    Impairment impairment_;
    std::size_t capacity_;
    std::mt19937_64 lossRandom_;
    std::mt19937_64 jitterRandom_;
    std::mt19937_64 reorderRandom_;
    std::mt19937_64 duplicateRandom_;
    std::priority_queue<Held, std::vector<Held>, LaterFirst> queue_;
    std::optional<Held> held_;  // picked for reordering, waiting for its follower
    std::int64_t heldUntilNs_ = 0;
    std::uint64_t nextSequence_ = 0;
    std::int64_t lastDueNs_ = INT64_MIN;
    std::optional<std::uint64_t> highestSent_;
    DirectionStats stats_;
    std::uint64_t lateCount_ = 0;
    double lateSumUs_ = 0;
};

}  // namespace trellon::netlab
