#include "support/netlab_impairment.h"

#include <algorithm>

namespace trellon::netlab {

namespace {
std::int64_t nanoseconds(double milliseconds) {
    return static_cast<std::int64_t>(milliseconds * 1e6);
}
}  // namespace

ImpairmentQueue::ImpairmentQueue(const Impairment& impairment, std::uint64_t seed,
                                 std::size_t capacity)
    : impairment_(impairment),
      capacity_(capacity),
      // One stream per knob, so a seed's loss pattern stays the same whatever
      // jitter, duplicates or reordering do.
      lossRandom_(seed),
      jitterRandom_(seed ^ 0x9e3779b97f4a7c15ULL),
      reorderRandom_(seed ^ 0xbf58476d1ce4e5b9ULL),
      duplicateRandom_(seed ^ 0x94d049bb133111ebULL) {}

bool ImpairmentQueue::draw(std::mt19937_64& random, double probability) {
    if (probability <= 0) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(random) < probability;
}

void ImpairmentQueue::admit(std::vector<std::uint8_t> data, std::int64_t arrivalNs) {
    ++stats_.received;
    std::uint64_t sequence = nextSequence_++;
    if (draw(lossRandom_, impairment_.loss)) {
        ++stats_.dropped;
        return;
    }
    if (queue_.size() + (held_ ? 1 : 0) >= capacity_) {
        ++stats_.queueDropped;
        return;
    }
    double extraMs = 0;
    if (impairment_.jitterMs > 0) {
        extraMs = std::uniform_real_distribution<double>(0.0, impairment_.jitterMs)(jitterRandom_);
    }
    std::int64_t due = arrivalNs + nanoseconds(impairment_.delayMs + extraMs);
    if (!impairment_.jitterReorders) due = std::max(due, lastDueNs_);
    lastDueNs_ = std::max(lastDueNs_, due);
    queue_.push(Held{std::move(data), sequence, due});
}

std::optional<std::int64_t> ImpairmentQueue::nextDueNs() const {
    std::optional<std::int64_t> next;
    if (!queue_.empty()) next = queue_.top().dueNs;
    if (held_) next = next ? std::min(*next, heldUntilNs_) : heldUntilNs_;
    return next;
}

void ImpairmentQueue::emit(Held packet, std::int64_t plannedNs, std::vector<OutgoingPacket>& out) {
    if (highestSent_ && packet.sequence < *highestSent_) {
        ++stats_.reordered;
    } else {
        highestSent_ = packet.sequence;
    }
    int copies = 1;
    if (draw(duplicateRandom_, impairment_.duplicate)) {
        copies = 2;
        ++stats_.duplicated;
    }
    out.push_back(OutgoingPacket{std::move(packet.data), packet.sequence, plannedNs, copies});
}

void ImpairmentQueue::release(std::int64_t nowNs, std::vector<OutgoingPacket>& out) {
    while (!queue_.empty() && queue_.top().dueNs <= nowNs) {
        // priority_queue::top is const; the element is moved out just before pop.
        Held packet = std::move(const_cast<Held&>(queue_.top()));
        queue_.pop();
        if (!held_ && draw(reorderRandom_, impairment_.reorder)) {
            heldUntilNs_ = packet.dueNs + nanoseconds(impairment_.reorderHoldMs);
            held_ = std::move(packet);
            continue;
        }
        std::int64_t planned = packet.dueNs;
        emit(std::move(packet), planned, out);
        if (held_) {
            emit(std::move(*held_), planned, out);
            held_.reset();
        }
    }
    if (held_ && heldUntilNs_ <= nowNs) {
        emit(std::move(*held_), heldUntilNs_, out);
        held_.reset();
    }
}

void ImpairmentQueue::recordSend(bool sent, std::int64_t lateNs) {
    if (!sent) {
        ++stats_.queueDropped;
        return;
    }
    ++stats_.forwarded;
    double lateUs = static_cast<double>(std::max<std::int64_t>(lateNs, 0)) / 1e3;
    ++lateCount_;
    lateSumUs_ += lateUs;
    stats_.maxLateUs = std::max(stats_.maxLateUs, lateUs);
}

DirectionStats ImpairmentQueue::stats() const {
    DirectionStats result = stats_;
    result.queued = queue_.size() + (held_ ? 1 : 0);
    result.meanLateUs = lateCount_ == 0 ? 0.0 : lateSumUs_ / static_cast<double>(lateCount_);
    return result;
}

}  // namespace trellon::netlab
