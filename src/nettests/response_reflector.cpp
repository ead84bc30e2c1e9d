#include "nettests/response_reflector.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "lib/socket_exception.h"
#include "lib/timestamp.h"
#include "nettests/probe_handling.h"
#include "nettests/qos_marking.h"
#include "platform/datagram_batch.h"
#include "platform/receive_stamp.h"
#include "platform/received_tos.h"
#include "platform/socket.h"
#include "platform/socket_error.h"

namespace trellon {

namespace {

// Datagrams taken by one recvmmsg / sent by one sendmmsg. Large enough that a
// burst is moved with a few system calls, small enough that the first reply
// of a batch does not wait long for the last one's stamp.
constexpr std::size_t kBatch = 32;
// A blocked receive returns this often to look at the stop flags, in case the
// socket shutdown could not wake it.
constexpr int kReceiveSliceMs = 200;
// Socket buffers: a burst of probes from several probers must fit while the
// writer catches up (forced past the system limit where we may).
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

std::atomic<ResponseReflector*> gCurrentReflector{nullptr};

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string location(const char* method, int line) {
    return std::string("(") + method + " " + sourceFileName(__FILE__) + " at line " +
           std::to_string(line) + "\n";
}

bool stopRequested(const ReflectedPacketQueue& queue) {
    return isShutdownRequested() || queue.stopping();
}

}  // namespace

// ---------------------------------------------------------------- queue

ReflectedPacketQueue::ReflectedPacketQueue(std::size_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity) {}

ReflectedPacketQueue::~ReflectedPacketQueue() = default;

void ReflectedPacketQueue::refill(std::vector<ReflectedPacketPtr>& slots) {
    std::lock_guard<std::mutex> guard(lock_);
    busy_ = true;
    for (auto& slot : slots) {
        if (slot) continue;
        if (!free_.empty()) {
            slot = std::move(free_.back());
            free_.pop_back();
        } else {
            slot = std::make_unique<ReflectedPacket>();
        }
    }
    busy_ = false;
}

std::size_t ReflectedPacketQueue::pushBatch(std::vector<ReflectedPacketPtr>& batch) {
    if (batch.empty()) return 0;
    std::size_t droppedNow = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        busy_ = true;
        for (auto& packet : batch) {
            if (queue_.size() >= capacity_) {
                // The newest probe goes: the ones already queued are older
                // and their probers have waited longer.
                free_.push_back(std::move(packet));
                ++droppedNow;
            } else {
                queue_.push_front(std::move(packet));
            }
        }
        busy_ = false;
    }
    batch.clear();
    if (droppedNow != 0) dropped_.fetch_add(droppedNow);
    // Notified after the lock is released; the writer's predicate is checked
    // under the lock, so it either saw the packets or is already waiting.
    wake_.notify_all();
    return droppedNow;
}

bool ReflectedPacketQueue::push(ReflectedPacketPtr packet) {
    std::vector<ReflectedPacketPtr> batch;
    batch.push_back(std::move(packet));
    return pushBatch(batch) == 0;
}

bool ReflectedPacketQueue::waitAndTake(std::vector<ReflectedPacketPtr>& out, std::size_t max) {
    std::unique_lock<std::mutex> lock(lock_);
    wake_.wait(lock, [this] { return !queue_.empty() || stopping_ || isShutdownRequested(); });
    if (stopping_ || isShutdownRequested()) return false;
    busy_ = true;
    while (!queue_.empty() && out.size() < max) {
        out.push_back(std::move(queue_.back()));  // the oldest
        queue_.pop_back();
    }
    busy_ = false;
    return true;
}

void ReflectedPacketQueue::recycle(std::vector<ReflectedPacketPtr>& packets) {
    if (packets.empty()) return;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& packet : packets) {
        // A free list above the capacity is memory nobody will use again.
        if (packet && free_.size() < capacity_) free_.push_back(std::move(packet));
    }
    packets.clear();
}

void ReflectedPacketQueue::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
}

bool ReflectedPacketQueue::stopping() const {
    std::lock_guard<std::mutex> guard(lock_);
    return stopping_;
}

void ReflectedPacketQueue::pulse() {
    // Taking the lock orders this wake-up after any predicate check in
    // progress: a flag set before pulse() is seen either by that check or
    // by the wait this notification ends.
    { std::lock_guard<std::mutex> guard(lock_); }
    wake_.notify_all();
}

bool ReflectedPacketQueue::waitForStop(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(lock_);
    return wake_.wait_for(lock, limit, [this] { return stopping_ || isShutdownRequested(); });
}

std::size_t ReflectedPacketQueue::size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

// ---------------------------------------------------------------- writer

ResponseReflectorWriterThread::ResponseReflectorWriterThread(platform::NativeSocket socket,
                                                             ReflectedPacketQueue& queue,
                                                             ReflectorCounters& counters)
    : Thread("ResponseReflectorWriterThread", false),
      socket_(socket),
      queue_(queue),
      counters_(counters) {}

ResponseReflectorWriterThread::~ResponseReflectorWriterThread() {
    // Nothing may stay marked after the reflector is gone; the thread is
    // joined by the owner before destruction, so marking_ is ours alone.
    join();
    if (marking_) marking_->remove();
    marking_.reset();
}

void ResponseReflectorWriterThread::stop() {
    stopBase();
    queue_.stop();
    platform::shutdownSocket(socket_, platform::ShutdownHow::both);
}

void ResponseReflectorWriterThread::Run() {
    Timestamp::now();  // sanity test of the clock only
    raisePriority();
    std::vector<ReflectedPacketPtr> batch;
    batch.reserve(kBatch);
    while (!isShutdownRequested()) {
        try {
            if (!queue_.waitAndTake(batch, kBatch)) break;
            sendBatch(batch);
        } catch (const SocketException& e) {
            printLine(e.description() + location("ResponseReflectorWriterThread::Run()", __LINE__));
        } catch (const std::runtime_error& e) {
            printLine(std::string("std::runtime_error: ") + e.what() + "\n" +
                      location("ResponseReflectorWriterThread::Run()", __LINE__));
        } catch (...) {
            printLine("Unknown exception caught in ResponseReflectorWriterThread::Run\n" +
                      location("ResponseReflectorWriterThread::Run()", __LINE__));
        }
        queue_.recycle(batch);
    }
    normalPriority();
}

namespace {

bool dscpInRange(int dscp) {
    return dscp >= 0 && dscp <= 63;
}
bool priorityInRange(int priority) {
    return priority >= 0 && priority <= 7;
}

// Whether two replies go out with the same marking: unmarked replies all do;
// marked ones when they ask for the same values for the same prober port (the
// flow is for that port).
bool sameMarking(const ReflectedPacket& a, const ReflectedPacket& b) {
    bool aMarked = dscpInRange(a.replyDscp) || priorityInRange(a.replyPriority);
    bool bMarked = dscpInRange(b.replyDscp) || priorityInRange(b.replyPriority);
    if (!aMarked || !bMarked) return aMarked == bMarked;
    return a.replyDscp == b.replyDscp && a.replyPriority == b.replyPriority &&
           a.sender.sin_port == b.sender.sin_port;
}

}  // namespace

void ResponseReflectorWriterThread::sendBatch(std::vector<ReflectedPacketPtr>& batch) {
    // Each run of replies that share a marking goes out with one sendmmsg;
    // the marking changes only between runs.
    std::size_t runStart = 0;
    for (std::size_t i = 1; i <= batch.size(); ++i) {
        if (i < batch.size() && sameMarking(*batch[runStart], *batch[i])) continue;
        sendRun(batch, runStart, i);
        runStart = i;
    }
}

void ResponseReflectorWriterThread::markFor(const ReflectedPacket& packet) {
    bool wanted = dscpInRange(packet.replyDscp) || priorityInRange(packet.replyPriority);
    std::uint16_t port = platform::addressPort(packet.sender);
    // The same marking as the previous run: the flow stays, the socket keeps it.
    if (marking_ && wanted && marking_->dscp() == packet.replyDscp &&
        marking_->priority() == packet.replyPriority && marking_->port() == port)
        return;
    if (marking_) {
        // Deleting the flow puts the socket back to unmarked.
        marking_->remove();
        marking_.reset();
    }
    if (!wanted) return;
    marking_ = std::make_unique<QosMarking>(QosMarking::kUdp, port, packet.replyDscp,
                                            packet.replyPriority, std::nullopt);
    marking_->install();
    // A refused marking leaves the socket unmarked; the reply still goes.
    marking_->markSocket(socket_, packet.sender.sin_addr.s_addr, port);
}

void ResponseReflectorWriterThread::sendRun(std::vector<ReflectedPacketPtr>& batch,
                                            std::size_t first, std::size_t end) {
    if (first >= end) return;
    platform::Datagram datagrams[kBatch];
    std::size_t count = end - first;
    // The send time is read once for the run, before the marking work, so
    // setting up a flow does not count as time spent in the reflector.
    Timestamp sendTime = Timestamp::now();
    for (std::size_t k = 0; k < count; ++k) {
        ReflectedPacket& packet = *batch[first + k];
        ProbePacket::writeTime(packet.bytes.data(), ProbePacket::kReflectorSendSeconds, sendTime);
        datagrams[k].data = packet.bytes.data();
        datagrams[k].size = packet.length;
        datagrams[k].peer = &packet.sender;
    }
    markFor(*batch[first]);
    std::size_t next = 0;
    while (next < count) {
        int sent =
            platform::sendDatagrams(socket_, &datagrams[next], static_cast<int>(count - next));
        if (sent < 0) {
            // This reply cannot be sent (a failed send is not reported); the
            // rest of the run still goes.
            countSend(-1, *batch[first + next]);
            ++next;
            continue;
        }
        if (sent == 0) break;
        for (int k = 0; k < sent; ++k)
            countSend(static_cast<long>(datagrams[next + k].length), *batch[first + next + k]);
        next += static_cast<std::size_t>(sent);
    }
}

void ResponseReflectorWriterThread::countSend(long result, const ReflectedPacket&) {
    if (result < 0) {
        counters_.sendFailed.fetch_add(1, std::memory_order_relaxed);
    } else if (result == 0) {
        TRL_WARNING("sendto return 0 bytes sent");
        counters_.sendFailed.fetch_add(1, std::memory_order_relaxed);
    } else {
        counters_.sent.fetch_add(1, std::memory_order_relaxed);
    }
}

// ---------------------------------------------------------------- reader

ResponseReflectorReaderThread::ResponseReflectorReaderThread(platform::NativeSocket socket,
                                                             ResponseReflectorWriterThread& writer,
                                                             ReflectedPacketQueue& queue,
                                                             ReflectorCounters& counters)
    : Thread("ResponseReflectorReaderThread", false),
      socket_(socket),
      writer_(writer),
      queue_(queue),
      counters_(counters) {}

void ResponseReflectorReaderThread::stop() {
    stopBase();
    queue_.stop();
    // Returns a receive blocked on this socket at once (Linux wakes the
    // waiter and later receives return 0), also on an unconnected UDP socket.
    platform::shutdownSocket(socket_, platform::ShutdownHow::both);
}

void ResponseReflectorReaderThread::Run() {
    Timestamp::now();  // sanity test of the clock only
    raisePriority();
    std::vector<ReflectedPacketPtr> slots(kBatch);
    std::vector<ReflectedPacketPtr> batch;
    batch.reserve(kBatch);
    while (!stopRequested(queue_)) {
        try {
            receiveBatch(slots, batch);
        } catch (const SocketException& e) {
            printLine(e.description() + location("ResponseReflectorReaderThread::Run()", __LINE__));
        } catch (const std::runtime_error& e) {
            printLine(std::string("std::runtime_error: ") + e.what() + "\n" +
                      location("ResponseReflectorReaderThread::Run()", __LINE__));
        } catch (...) {
            printLine("Unknown exception caught in ResponseReflectorReaderThread::Run\n" +
                      location("ResponseReflectorReaderThread::Run()", __LINE__));
        }
    }
    queue_.pulse();
    normalPriority();
}

void ResponseReflectorReaderThread::receiveBatch(std::vector<ReflectedPacketPtr>& slots,
                                                 std::vector<ReflectedPacketPtr>& batch) {
    queue_.refill(slots);
    // Each datagram's receive time and TOS byte come with it, within the
    // same batch receive: seeing the marking costs no extra call.
    platform::Datagram datagrams[kBatch];
    for (std::size_t i = 0; i < kBatch; ++i) {
        ReflectedPacket& packet = *slots[i];
        datagrams[i].data = packet.bytes.data();
        datagrams[i].size = packet.bytes.size();
        datagrams[i].peer = &packet.sender;
    }
    // Waits for the first datagram (at most the receive slice), then takes
    // whatever else is already queued without waiting.
    int received = platform::receiveDatagrams(socket_, datagrams, static_cast<int>(kBatch),
                                              platform::kDatagramStamp | platform::kDatagramTos);
    if (received <= 0) {
        // Time-out slice, a shut-down socket, or an error (such as the one a
        // port-unreachable answer to an earlier reply leaves): receive again.
        // An unusable descriptor would fail at once for ever; wait out a
        // slice instead of spinning.
        if (received == platform::kDatagramFailed &&
            platform::lastSocketError() == platform::kErrorNotSocket)
            queue_.waitForStop(std::chrono::milliseconds(kReceiveSliceMs));
        return;
    }
    // The reflector receive time, read immediately after the receive.
    Timestamp receiveTime = Timestamp::now();
    for (int i = 0; i < received; ++i) {
        std::size_t length = datagrams[i].length;
        bool truncated = datagrams[i].truncated;
        ReflectedPacket& slot = *slots[i];
        // The kernel's arrival time where it gives one: the time this thread
        // took to wake then counts in the hold, which the prober takes off.
        Timestamp arrival = receiveTime;
        if (datagrams[i].stamped) {
            arrival.seconds = static_cast<std::int32_t>(datagrams[i].stampSeconds);
            arrival.microseconds = datagrams[i].stampMicroseconds;
        }
        // A refused datagram leaves its slot to the next receive.
        switch (acceptProbe(slot.bytes.data(), length, truncated, arrival, slot.replyDscp,
                            slot.replyPriority)) {
            case ProbeVerdict::tooLong:
                counters_.tooLong.fetch_add(1, std::memory_order_relaxed);
                continue;
            case ProbeVerdict::tooShort:
                counters_.tooShort.fetch_add(1, std::memory_order_relaxed);
                continue;
            case ProbeVerdict::notProbe:
                counters_.notProbes.fetch_add(1, std::memory_order_relaxed);
                continue;
            case ProbeVerdict::accepted:
                break;
        }
        // What the probe carried on arrival goes back in word 44, so the
        // prober sees re-marking on the way out.
        int tos = datagrams[i].tos;
        ProbePacket::writeWord(slot.bytes.data(), ProbePacket::kSeenDscp,
                               ProbePacket::seenDscpWord(tos < 0 ? -1 : tos >> 2));
        slot.length = length;
        batch.push_back(std::move(slots[i]));
    }
    counters_.received.fetch_add(batch.size(), std::memory_order_relaxed);
    queue_.pushBatch(batch);
}

// ---------------------------------------------------------------- reflector

ResponseReflector::ResponseReflector(int port, std::size_t queueCapacity)
    : port_(port), queue_(std::make_unique<ReflectedPacketQueue>(queueCapacity)) {
    gCurrentReflector.store(this);
}

ResponseReflector::~ResponseReflector() {
    stop();
    if (reader_) reader_->join();
    if (writer_) writer_->join();
    reader_.reset();
    writer_.reset();
    if (socket_ != platform::kNoSocket) platform::closeSocket(socket_);
    socket_ = platform::kNoSocket;
    ResponseReflector* self = this;
    gCurrentReflector.compare_exchange_strong(self, nullptr);
}

ResponseReflector* ResponseReflector::current() {
    return gCurrentReflector.load();
}

void ResponseReflector::openSocketRunThreads() {
    if (writer_ || reader_) return;
    socket_ = platform::openSocket(true);
    if (socket_ == platform::kNoSocket) {
        int code = platform::lastSocketError();
        std::printf("ResponseReflector::openSocketRunThreads() socket failed\n");
        std::printf("WSAGetLastError returned %d\n", code);
        std::printf("Error: %s\n", socketErrorText(code));
        std::fflush(stdout);
    } else {
        platform::forceReceiveBufferSize(socket_, kSocketBufferBytes);
        platform::enableReceiveStamps(socket_);
        if (!platform::enableReceivedTos(socket_))
            std::printf("ResponseReflector: the probes' marking cannot be read (IP_RECVTOS)\n");
        platform::forceSendBufferSize(socket_, kSocketBufferBytes);
        platform::setReceiveTimeout(socket_, kReceiveSliceMs);
        sockaddr_in local =
            platform::ipv4Address(htonl(INADDR_ANY), static_cast<std::uint16_t>(port_.load()));
        if (!platform::bindSocket(socket_, local)) {
            int code = platform::lastSocketError();
            std::printf("ResponseReflector::openSocketRunThreads() bind on port %d failed\n",
                        port_.load());
            std::printf("WSAGetLastError returned %d\n", code);
            std::printf("Error: %s\n", socketErrorText(code));
            std::fflush(stdout);
        } else {
            int bound = platform::localPort(socket_);
            if (bound >= 0) port_.store(bound);
        }
    }
    // Started even when the bind failed: the reflector then answers nothing,
    // and shutdown ends the threads as usual.
    writer_ = std::make_unique<ResponseReflectorWriterThread>(socket_, *queue_, counters_);
    writer_->start();
    reader_ =
        std::make_unique<ResponseReflectorReaderThread>(socket_, *writer_, *queue_, counters_);
    reader_->start();
}

void ResponseReflector::pulse() {
    queue_->pulse();
}

void ResponseReflector::stop() {
    queue_->stop();
    if (socket_ != platform::kNoSocket)
        platform::shutdownSocket(socket_, platform::ShutdownHow::both);
}

}  // namespace trellon
