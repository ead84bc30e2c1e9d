#include "nettests/stream_client.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "lib/socket.h"
#include "lib/timestamp.h"
#include "nettests/stream_packet.h"
#include "nettests/stream_statistics.h"
#include "platform/clock.h"
#include "platform/datagram_batch.h"
#include "platform/readiness.h"
#include "platform/receive_stamp.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "results/test_result.h"

namespace trellon {

namespace {

using Clock = std::chrono::steady_clock;

// Room for any datagram the stream can carry; longer ones are cut, which
// leaves their header readable.
constexpr std::size_t kReceiveBytes = 2048;
// Datagrams read in one go before the flags are looked at again.
constexpr int kDrainBatch = 256;
// Enough for bursts of the fastest stream while the thread is not running.
constexpr int kReceiveBufferBytes = 1 << 20;

// The socket of one client, closed however Run ends.
class UdpSocket {
public:
    UdpSocket() : fd_(platform::openSocket(true)) {}
    ~UdpSocket() {
        if (fd_ != platform::kNoSocket) platform::closeSocket(fd_);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    platform::NativeSocket fd() const { return fd_; }

private:
    platform::NativeSocket fd_;
};

}  // namespace

StreamClient::StreamClient(const Settings& settings, std::shared_ptr<TestResult> record)
    : Thread("StreamClient", false), settings_(settings), record_(std::move(record)) {
    std::lock_guard<RecordLock> guard(record_->lock());
    record_->setBufferDuration(settings_.bufferDuration);
    record_->setReportInterval(settings_.reportInterval);
    record_->setNextReportTime(platform::nowSeconds() + settings_.reportInterval);
    record_->setTestType(TestResult::kStreamingTest);
}

StreamClient::~StreamClient() {
    stopRequested_.store(true);
    join();
}

void StreamClient::stop() {
    stopBase();
    stopRequested_.store(true);
}

bool StreamClient::shouldStop() const {
    return stopRequested_.load() || isShutdownRequested() ||
           record_->getState() == TestResult::kFinished;
}

void StreamClient::publishPort(int port) {
    {
        std::lock_guard<std::mutex> guard(portLock_);
        port_ = port;
    }
    portChanged_.notify_all();
}

void StreamClient::markEnded() {
    {
        std::lock_guard<std::mutex> guard(portLock_);
        ended_ = true;
    }
    portChanged_.notify_all();
}

int StreamClient::waitForPort(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(portLock_);
    portChanged_.wait_for(lock, limit, [this] { return port_ != 0 || ended_; });
    return port_;
}

bool StreamClient::waitEnded(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(portLock_);
    return portChanged_.wait_for(lock, limit, [this] { return ended_; });
}

void StreamClient::Run() {
    // However Run ends (an exception too), the test thread's wait ends.
    struct Ended {
        StreamClient& client;
        ~Ended() { client.markEnded(); }
    } ended{*this};

    UdpSocket socket;
    if (socket.fd() == platform::kNoSocket) {
        TRL_SOCKET_FAILURE("Socket create failed");  // throws
        return;
    }
    platform::NativeSocket fd = socket.fd();
    bool sendFailed = false;
    bool receiveFailed = false;
    setSocketTimeouts(fd, 3000, &sendFailed, &receiveFailed);
    if (sendFailed) TRL_WARNING("timeout socket SO_SNDTIMEO option failed");
    if (receiveFailed) TRL_WARNING("timeout socket option SO_RCVTIMEO failed");
    Socket::setReceiveBufferSize(fd, kReceiveBufferBytes);
    platform::enableReceiveStamps(fd);
    // No SO_REUSEADDR: two tests sharing a fixed client port would each get
    // part of both streams.
    sockaddr_in local = platform::ipv4Address(
        htonl(INADDR_ANY), static_cast<std::uint16_t>(std::clamp(settings_.localPort, 0, 65535)));
    if (!platform::bindSocket(fd, local)) {
        TRL_WARNING("stream client bind failed");
        return;
    }
    if (!platform::localAddress(fd, local)) {
        TRL_SOCKET_FAILURE("getsockname failed");  // throws
        return;
    }
    const Clock::time_point end =
        Clock::now() + std::chrono::seconds(std::max(settings_.timeLimit, 0));
    publishPort(platform::addressPort(local));

    StreamStatistics statistics(StreamStatistics::capacityFor(
        settings_.flowRate, settings_.packetSize, settings_.bufferDuration));
    std::vector<std::uint8_t> buffer(kReceiveBytes);
    raisePriority();
    while (!shouldStop()) {
        Clock::time_point now = Clock::now();
        if (now >= end) {
            record_->setRanFullPeriod();
            break;
        }
        auto slice = std::min<Clock::duration>(end - now, kSlice);
        int ready = platform::waitFor(
            fd, platform::Readiness::kReadable,
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
        if (ready > 0) drain(fd, statistics, buffer.data(), buffer.size());
    }
    normalPriority();

    statistics.setRoundTrip(roundTripUs_.load());
    statistics.flush();
    record_->finishStream(statistics.figures());
    record_->setState(TestResult::kFinished);
}

void StreamClient::drain(platform::NativeSocket fd, StreamStatistics& statistics,
                         std::uint8_t* buffer, std::size_t size) {
    // Known once the request that started the stream has its answer.
    statistics.setRoundTrip(roundTripUs_.load(std::memory_order_relaxed));
    for (int i = 0; i < kDrainBatch; ++i) {
        sockaddr_in from{};
        platform::Datagram datagram;
        datagram.data = buffer;
        datagram.size = size;
        datagram.peer = &from;
        int got = platform::receiveDatagrams(
            fd, &datagram, 1, platform::kDatagramDontWait | platform::kDatagramStamp);
        if (got == platform::kDatagramWouldBlock) return;
        if (got < 0) {
            TRL_WARNING("stream client readSocket failed");
            return;
        }
        const std::size_t n = datagram.length;
        Timestamp arrival;
        if (datagram.stamped) {
            arrival.seconds = static_cast<std::int32_t>(datagram.stampSeconds);
            arrival.microseconds = datagram.stampMicroseconds;
        } else {
            arrival = Timestamp::now();
        }

        // Only the stream asked for: from the remote agent, a whole header
        // with the stream's fixed words, and from the one port it sends from.
        bool ours = from.sin_family == AF_INET &&
                    (settings_.sender == 0 || from.sin_addr.s_addr == settings_.sender) &&
                    n >= StreamPacket::kHeaderBytes && StreamPacket::hasStreamWords(buffer) &&
                    (!lockedOn_ || from.sin_port == senderPort_);
        if (!ours) {
            ignored_.fetch_add(1);
            continue;
        }
        if (!lockedOn_) {
            lockedOn_ = true;
            senderPort_ = from.sin_port;
            record_->setStreamSendPort(platform::addressPort(from));
            // From now on the kernel drops every other sender's datagrams.
            platform::connectSocket(fd, from);
        }
        statistics.addPacket(StreamPacket::readWord(buffer, StreamPacket::kSequence),
                             StreamPacket::readWord(buffer, StreamPacket::kSenderDelayPrevious),
                             StreamPacket::readWord(buffer, StreamPacket::kSendSeconds),
                             StreamPacket::readWord(buffer, StreamPacket::kSendMicroseconds),
                             arrival);
        if (record_->addStreamReport(statistics.figures())) statistics.resetIntervalCounters();
    }
}

}  // namespace trellon
