// ResponseReflector: the far end of the response-time test.
//
// One per agent, for the agent's whole life. A UDP socket, a reader thread
// and a writer thread:
//
//   prober --probe--> [socket] --reader: stamp T2, queue--> [queue]
//   prober <--reply-- [socket] <--writer: stamp T3, mark, send-- [queue]
//
// The reader only receives (in batches, recvmmsg), stamps the receive time
// into bytes 28-35 and pushes the probes at the front of the queue; it never
// waits for a send or a marking. The writer takes the oldest probes from the
// back, stamps the send time into bytes 36-43 just before marking and
// sending, and returns each probe to its sender (one sendmmsg for each run of
// replies that share a marking; the marking changes only between runs).
// Bytes other than 28-43 are echoed unchanged.
//
// What arrives is not trusted: a datagram shorter than the 60-byte header
// or longer than 2000 bytes (seen through MSG_TRUNC) is dropped without a
// reply, and so is one whose reflector times are already filled in: that is
// another reflector's reply (a spoofed source makes two reflectors answer
// each other for ever otherwise). The queue is bounded, so a flood drops
// probes instead of exhausting memory. Packets are recycled through a free list, so the steady
// state allocates nothing per probe.
//
// Threads and locks: the queue lock guards the queue, the free list and the
// stop flag; neither thread holds it while receiving, sending or marking. The
// writer waits on a condition variable whose predicate is "queue not empty,
// or stopping, or shutdown requested", and everybody who changes one of those
// notifies under the lock, so no wake-up can pass unseen. stop() sets the
// stop flag, wakes the writer and shuts the socket down, which returns a
// blocked receive at once (a 200 ms receive time-out is the fallback); the
// destructor joins both threads before it closes the socket, so no thread
// ever uses a closed (or reused) descriptor.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "lib/thread.h"
#include "nettests/probe_packet.h"
#include "platform/net_address.h"

namespace trellon {

class QosMarking;

// One received probe, from the reader to the writer.
struct ReflectedPacket {
    sockaddr_in sender{};
    int replyDscp = -1;      // -1 = none
    int replyPriority = -1;  // -1 = none
    std::size_t length = 0;
    // Received into directly; only the first length bytes are the probe.
    std::array<std::uint8_t, ProbePacket::kMaxReflectedBytes> bytes{};
};

using ReflectedPacketPtr = std::unique_ptr<ReflectedPacket>;

class ReflectedPacketQueue {
public:
    static constexpr std::size_t kDefaultCapacity = 10000;

    explicit ReflectedPacketQueue(std::size_t capacity = kDefaultCapacity);
    ~ReflectedPacketQueue();  // frees every packet still queued or free

    ReflectedPacketQueue(const ReflectedPacketQueue&) = delete;
    ReflectedPacketQueue& operator=(const ReflectedPacketQueue&) = delete;

    // Reader: fills every empty slot with a packet from the free list (or a
    // new one), under one acquisition of the lock.
    void refill(std::vector<ReflectedPacketPtr>& slots);
    // Reader: pushes the packets at the front, oldest first, and wakes the
    // writer; packets beyond the capacity are dropped (recycled). Empties
    // batch. Returns how many were dropped.
    std::size_t pushBatch(std::vector<ReflectedPacketPtr>& batch);
    bool push(ReflectedPacketPtr packet);

    // Writer: waits until a packet is queued, the queue is stopped or the
    // agent's shutdown is requested; then moves up to max of the oldest
    // packets into out. False (and nothing taken) once stopping.
    bool waitAndTake(std::vector<ReflectedPacketPtr>& out, std::size_t max);
    // Writer: returns sent packets to the free list. Empties packets.
    void recycle(std::vector<ReflectedPacketPtr>& packets);

    // Makes waitAndTake return false from now on and wakes the writer.
    void stop();
    bool stopping() const;
    // Wakes the writer so it looks at the shutdown-requested flag.
    void pulse();
    // Waits until stopping (or shutdown) or the limit; true when stopping.
    bool waitForStop(std::chrono::milliseconds limit);

    std::size_t size() const;
    std::size_t capacity() const { return capacity_; }
    std::uint64_t dropped() const { return dropped_.load(); }

private:
    mutable std::mutex lock_;  // guards queue_, free_, stopping_, busy_
    std::condition_variable wake_;
    std::deque<ReflectedPacketPtr> queue_;  // newest at the front
    std::vector<ReflectedPacketPtr> free_;
    bool stopping_ = false;
    bool busy_ = false;  // diagnostic: a thread is inside the lock
    const std::size_t capacity_;
    std::atomic<std::uint64_t> dropped_{0};
};

// What the reflector has seen, for the status of tests and the benchmark.
struct ReflectorCounters {
    std::atomic<std::uint64_t> received{0};    // datagrams accepted as probes
    std::atomic<std::uint64_t> tooShort{0};    // dropped: shorter than the header
    std::atomic<std::uint64_t> tooLong{0};     // dropped: longer than 2000 bytes
    std::atomic<std::uint64_t> notProbes{0};   // dropped: already stamped, a reply
    std::atomic<std::uint64_t> sent{0};        // replies handed to the socket
    std::atomic<std::uint64_t> sendFailed{0};  // replies the socket refused
};

class ResponseReflectorWriterThread : public Thread {
public:
    ResponseReflectorWriterThread(platform::NativeSocket socket, ReflectedPacketQueue& queue,
                                  ReflectorCounters& counters);
    ~ResponseReflectorWriterThread() override;  // removes the current marking first

    void stop() override;
    void Run() override;

private:
    void sendBatch(std::vector<ReflectedPacketPtr>& batch);
    // Sends batch[first, end), replies that share one marking, after putting
    // that marking (or none) on the socket.
    void sendRun(std::vector<ReflectedPacketPtr>& batch, std::size_t first, std::size_t end);
    void markFor(const ReflectedPacket& packet);
    void countSend(long result, const ReflectedPacket& packet);

    platform::NativeSocket socket_;
    ReflectedPacketQueue& queue_;
    ReflectorCounters& counters_;
    std::unique_ptr<QosMarking> marking_;  // the current reply marking, or none
};

class ResponseReflectorReaderThread : public Thread {
public:
    ResponseReflectorReaderThread(platform::NativeSocket socket,
                                  ResponseReflectorWriterThread& writer,
                                  ReflectedPacketQueue& queue, ReflectorCounters& counters);

    void stop() override;
    void Run() override;

private:
    void receiveBatch(std::vector<ReflectedPacketPtr>& slots,
                      std::vector<ReflectedPacketPtr>& batch);

    platform::NativeSocket socket_;
    ResponseReflectorWriterThread& writer_;
    ReflectedPacketQueue& queue_;
    ReflectorCounters& counters_;
};

class ResponseReflector {
public:
    explicit ResponseReflector(int port,
                               std::size_t queueCapacity = ReflectedPacketQueue::kDefaultCapacity);
    // Stops and joins both threads, then closes the socket.
    ~ResponseReflector();

    ResponseReflector(const ResponseReflector&) = delete;
    ResponseReflector& operator=(const ResponseReflector&) = delete;

    // The reflector the agent runs, or null.
    static ResponseReflector* current();

    // Opens and binds the socket and starts both threads. A failed bind is
    // printed and the threads run anyway (they receive nothing).
    void openSocketRunThreads();

    // The port asked for, or once bound the port the socket is bound to.
    int port() const { return port_.load(); }

    // Wakes the writer so it sees the shutdown-requested flag.
    void pulse();
    // Makes both threads end promptly; does not wait for them.
    void stop();

    const ReflectorCounters& counters() const { return counters_; }
    const ReflectedPacketQueue& queue() const { return *queue_; }

private:
    std::atomic<int> port_;
    platform::NativeSocket socket_ = platform::kNoSocket;
    std::unique_ptr<ResponseReflectorReaderThread> reader_;
    std::unique_ptr<ResponseReflectorWriterThread> writer_;
    std::unique_ptr<ReflectedPacketQueue> queue_;
    ReflectorCounters counters_;
};

}  // namespace trellon
