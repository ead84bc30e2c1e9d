#include "nettests/stream_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "lib/socket.h"
#include "lib/timestamp.h"
#include "nettests/stream_packet.h"
#include "nettests/stream_statistics.h"
#include "platform/clock.h"
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
    UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~UdpSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
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
    if (socket.fd() < 0) {
        platform::recordSocketErrorFromErrno();
        TRL_SOCKET_FAILURE("Socket create failed");  // throws
        return;
    }
    int fd = socket.fd();
    bool sendFailed = false;
    bool receiveFailed = false;
    setSocketTimeouts(fd, 3000, &sendFailed, &receiveFailed);
    if (sendFailed) TRL_WARNING("timeout socket SO_SNDTIMEO option failed");
    if (receiveFailed) TRL_WARNING("timeout socket option SO_RCVTIMEO failed");
    Socket::setReceiveBufferSize(fd, kReceiveBufferBytes);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on));
    // No SO_REUSEADDR: two tests sharing a fixed client port would each get
    // part of both streams.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<std::uint16_t>(std::clamp(settings_.localPort, 0, 65535)));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        platform::recordSocketErrorFromErrno();
        TRL_WARNING("stream client bind failed");
        return;
    }
    socklen_t length = sizeof(local);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        platform::recordSocketErrorFromErrno();
        TRL_SOCKET_FAILURE("getsockname failed");  // throws
        return;
    }
    const Clock::time_point end =
        Clock::now() + std::chrono::seconds(std::max(settings_.timeLimit, 0));
    publishPort(ntohs(local.sin_port));

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
        pollfd wait{fd, POLLIN, 0};
        int ready =
            ::poll(&wait, 1,
                   static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
        if (ready > 0) drain(fd, statistics, buffer.data(), buffer.size());
    }
    normalPriority();

    statistics.setRoundTrip(roundTripUs_.load());
    statistics.flush();
    record_->finishStream(statistics.figures());
    record_->setState(TestResult::kFinished);
}

void StreamClient::drain(int fd, StreamStatistics& statistics, std::uint8_t* buffer,
                         std::size_t size) {
    for (int i = 0; i < kDrainBatch; ++i) {
        sockaddr_in from{};
        iovec data{buffer, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof(from);
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        long n = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            platform::recordSocketErrorFromErrno();
            TRL_WARNING("stream client readSocket failed");
            return;
        }
        Timestamp arrival;
        bool stamped = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP &&
                c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
                timeval tv{};
                std::memcpy(&tv, CMSG_DATA(c), sizeof(tv));
                arrival.seconds = static_cast<std::int32_t>(tv.tv_sec);
                arrival.microseconds = static_cast<std::int32_t>(tv.tv_usec);
                stamped = true;
            }
        }
        if (!stamped) arrival = Timestamp::now();

        // Only the stream asked for: from the remote agent, a whole header
        // with the stream's fixed words, and from the one port it sends from.
        bool ours = from.sin_family == AF_INET && message.msg_namelen >= sizeof(from) &&
                    (settings_.sender == 0 || from.sin_addr.s_addr == settings_.sender) &&
                    static_cast<std::size_t>(n) >= StreamPacket::kHeaderBytes &&
                    StreamPacket::hasStreamWords(buffer) &&
                    (!lockedOn_ || from.sin_port == senderPort_);
        if (!ours) {
            ignored_.fetch_add(1);
            continue;
        }
        if (!lockedOn_) {
            lockedOn_ = true;
            senderPort_ = from.sin_port;
            record_->setStreamSendPort(ntohs(from.sin_port));
            // From now on the kernel drops every other sender's datagrams.
            ::connect(fd, reinterpret_cast<const sockaddr*>(&from), sizeof(from));
        }
        statistics.setRoundTrip(roundTripUs_.load(std::memory_order_relaxed));
        statistics.addPacket(StreamPacket::readWord(buffer, StreamPacket::kSequence),
                             StreamPacket::readWord(buffer, StreamPacket::kSenderDelayPrevious),
                             StreamPacket::readWord(buffer, StreamPacket::kSendSeconds),
                             StreamPacket::readWord(buffer, StreamPacket::kSendMicroseconds),
                             arrival);
        if (record_->addStreamReport(statistics.figures())) statistics.resetIntervalCounters();
    }
}

}  // namespace trellon
