#include "nettests/stream_server.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "lib/socket.h"
#include "lib/timestamp.h"
#include "nettests/filler.h"
#include "nettests/qos_marking.h"
#include "nettests/stream_pacer.h"
#include "nettests/stream_packet.h"
#include "platform/clock.h"
#include "platform/net_address.h"
#include "platform/precise_sleep.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "results/test_result.h"

namespace trellon {

namespace {

constexpr std::uint64_t kNanosecondsPerSecond = 1000000000ULL;

std::string dotted(std::uint32_t address) {
    return platform::addressText(platform::ipv4Address(address, 0));
}

int streamKindOf(int packetSize, int flowRate) {
    if (packetSize == 172 && flowRate == 8600) return TestResult::kVoiceStream;
    if (packetSize == 1000 && flowRate == 250000) return TestResult::kVideoStream;
    return TestResult::kCustomStream;
}

// Sends that did not happen but need not end the stream: a full send queue
// (an interrupted call is repeated below the socket layer). The packet is
// simply not sent (and not counted).
bool transientSendError(long sent) {
    return sent == platform::kIoWouldBlock ||
           (sent == platform::kIoFailed &&
            platform::lastSocketError() == platform::kErrorNoBuffers);
}

}  // namespace

StreamServer::StreamServer(const Settings& settings, std::shared_ptr<TestResult> record,
                           bool deleteSelf)
    : Thread("StreamServer", deleteSelf),
      settings_(settings),
      record_(std::move(record)),
      clock_(&systemPacingClock()) {}

StreamServer::~StreamServer() {
    // An owner that destroys a server it started waits for its Run first.
    stopRequested_.store(true);
    join();
    if (socket_ != platform::kNoSocket) platform::closeSocket(socket_);
}

std::uint64_t StreamServer::periodNanoseconds(int packetSize, int flowRate) {
    if (packetSize < 1 || flowRate < 1) return kNanosecondsPerSecond;
    return static_cast<std::uint64_t>(packetSize) * kNanosecondsPerSecond /
           static_cast<std::uint64_t>(flowRate);
}

bool StreamServer::open(std::string* reason) {
    auto failed = [&](const std::string& what) {
        int code = platform::lastSocketError();
        if (reason != nullptr)
            *reason = what + ": " + socketErrorText(code) + " (" + std::to_string(code) + ")";
        if (socket_ != platform::kNoSocket) platform::closeSocket(socket_);
        socket_ = platform::kNoSocket;
        return false;
    };
    socket_ = platform::openSocket(true);
    if (socket_ == platform::kNoSocket) return failed("socket create failed");
    setSocketTimeouts(socket_, kSendTimeoutMs);
    if (settings_.sourcePort >= 1024 && settings_.sourcePort <= 65535) {
        // No SO_REUSEADDR: a port another socket of this agent holds (its
        // reflector, a stream already running) must not be shared.
        sockaddr_in local = platform::ipv4Address(htonl(INADDR_ANY),
                                                  static_cast<std::uint16_t>(settings_.sourcePort));
        if (!platform::bindSocket(socket_, local))
            return failed("bind of stream source port " + std::to_string(settings_.sourcePort) +
                          " failed");
    }
    sockaddr_in client = platform::ipv4Address(
        settings_.clientAddress, static_cast<std::uint16_t>(settings_.destinationPort));
    if (!platform::connectSocket(socket_, client)) return failed("connect failed");
    sockaddr_in bound{};
    if (!platform::localAddress(socket_, bound)) return failed("getsockname failed");
    sourcePort_ = platform::addressPort(bound);
    return true;
}

void StreamServer::describe() const {
    TestResult& r = *record_;
    const std::string client = dotted(settings_.clientAddress);
    r.setRunningImage("running_streaming.gif");
    r.setStoppedImage("stopped_streaming.gif");
    r.setColumnHeadings(
        {"Report", "Min:Sec", "Packets<br>Sent", "Bytes<br>Sent", "Total<br>Packets"});
    r.setExplanation("Send a simulated media stream to <b>" + client +
                     "</b>, which asked for it: <b>" + std::to_string(settings_.packetSize) +
                     "</b>-byte UDP packets at <b>" + std::to_string(settings_.flowRate) +
                     "</b> bytes per second from port <b>" + std::to_string(sourcePort_) +
                     "</b> to port <b>" + std::to_string(settings_.destinationPort) +
                     "</b>, for <b>" + std::to_string(settings_.timeLimit) + "</b> seconds.  ");
    r.setLocalRole("Media Source");
    r.setRemoteRole("Player or Viewer");
    r.setTitle(kTitle);
    r.setTestType(TestResult::kStreamingTest);
    r.setTypeName("Streaming");
    r.setStreamKind(streamKindOf(settings_.packetSize, settings_.flowRate));
    r.setRefreshInterval(std::clamp(settings_.timeLimit, 1, 10));
    r.setDscp(settings_.dscp);
    r.set8021p(settings_.priority);
    r.setRemoteComputer(client);
    r.setReportInterval(settings_.reportInterval);
    r.setStreamReceivePort(settings_.destinationPort);
    r.setStreamSendPort(sourcePort_);
    r.addXmlText("remoteComputer", client);
    r.addXmlInt("payload", settings_.packetSize);
    r.addXmlInt("rate", settings_.flowRate);
    r.addXmlInt("streamSendPort", sourcePort_);
    r.addXmlInt("streamReceivePort", settings_.destinationPort);
}

void StreamServer::stop() {
    stopBase();
    stopRequested_.store(true);
}

bool StreamServer::shouldStop() const {
    return stopRequested_.load() || isShutdownRequested() || record_->isCancelled() ||
           record_->getState() == TestResult::kFinished;
}

void StreamServer::reportRow(std::int64_t now, std::uint64_t intervalPackets) {
    std::uint64_t total = packetsSent_.load();
    record_->addRow(
        now, {std::to_string(intervalPackets),
              std::to_string(intervalPackets * static_cast<std::uint64_t>(settings_.packetSize)),
              std::to_string(total)});
}

void StreamServer::Run() {
    TestResult& r = *record_;
    std::int64_t started = platform::nowSeconds();
    r.setStartTime(started);
    r.setTimeLimit(settings_.timeLimit);
    r.setState(TestResult::kStarting);
    if (socket_ == platform::kNoSocket) {
        finish("the stream socket was not open.");
        return;
    }

    std::vector<std::uint8_t> packet(StreamPacket::kBufferBytes);
    Filler::fill(packet.data(), packet.size());
    const auto size = static_cast<std::size_t>(std::clamp(
        settings_.packetSize, StreamPacket::kMinPacketSize, StreamPacket::kMaxPacketSize));

    std::unique_ptr<QosMarking> marking;
    if ((settings_.dscp >= 0 && settings_.dscp <= 63) ||
        (settings_.priority >= 0 && settings_.priority <= 7)) {
        marking = std::make_unique<QosMarking>(
            QosMarking::kUdp, static_cast<std::uint16_t>(settings_.destinationPort), settings_.dscp,
            settings_.priority, settings_.clientAddress);
        marking->install();
        marking->markSocket(socket_, settings_.clientAddress,
                            static_cast<std::uint16_t>(settings_.destinationPort));
        reportMarking(r, *marking);
    }

    r.setState(TestResult::kRunning);
    const std::uint64_t period = periodNanoseconds(settings_.packetSize, settings_.flowRate);
    // Real time only for a stream that mostly sleeps: the last stretch before
    // each packet spins, and a fast stream would spin all the time.
    const bool realtime = period >= kRealtimeMinimumPeriod && platform::usePacingPriority();
    if (!realtime) raisePriority();
    platform::useFineTimerSlack();

    PacingClock& clock = *clock_;
    StreamPacer pacer(period, clock);
    const std::uint64_t end =
        clock.ticks() +
        static_cast<std::uint64_t>(std::max(settings_.timeLimit, 0)) * kNanosecondsPerSecond;
    const auto reportEvery = static_cast<std::int64_t>(std::max(settings_.reportInterval, 1));
    std::int64_t nextReport = started + reportEvery;
    std::uint64_t intervalPackets = 0;
    std::uint32_t sequence = 0;
    std::uint32_t previousSendUsec = 0;  // the first packet carries 0
    std::string reason;
    auto stopNow = [&] { return shouldStop() || clock.ticks() >= end; };

    pacer.start();
    for (;;) {
        if (shouldStop()) break;
        if (clock.ticks() >= end) {
            r.setRanFullPeriod();
            break;
        }
        Timestamp now = Timestamp::now();
        StreamPacket::writeHeader(packet.data(), sequence, static_cast<std::uint32_t>(now.seconds),
                                  static_cast<std::uint32_t>(now.microseconds), previousSendUsec);
        std::uint64_t before = clock.ticks();
        long sent = platform::sendSome(socket_, packet.data(), size, false);
        std::uint64_t after = clock.ticks();
        if (sent < 0 && !transientSendError(sent)) {
            int code = platform::lastSocketError();
            std::uint64_t left = end > after ? end - after : 0;
            if (code == platform::kErrorConnectionRefused &&
                left <=
                    static_cast<std::uint64_t>(kReceiverEndGraceSeconds) * kNanosecondsPerSecond) {
                // The receiver's time began before ours (it asked us only
                // once it was ready), so it closes first.
                r.setRanFullPeriod();
                break;
            }
            TRL_WARNING("socket write return < 0");
            reason = code == platform::kErrorConnectionRefused
                         ? "the receiving agent no longer accepts the stream (error " +
                               std::to_string(code) + ")."
                         : std::string("a send failed: ") + socketErrorText(code) + " (error " +
                               std::to_string(code) + ").";
            break;
        }
        if (sent >= 0) {
            ++sequence;
            packetsSent_.fetch_add(1);
            ++intervalPackets;
        }
        previousSendUsec = static_cast<std::uint32_t>(
            std::min<std::uint64_t>((after - before) / 1000, UINT32_MAX));
        pacer.packetSent(after);

        std::int64_t wall = platform::nowSeconds();
        if (wall >= nextReport) {
            reportRow(wall, intervalPackets);
            intervalPackets = 0;
            nextReport += reportEvery;
            if (nextReport <= wall) nextReport = wall + reportEvery;
        }
        pacer.waitUntilDue(stopNow);
    }

    platform::useDefaultTimerSlack();
    if (realtime) {
        platform::endPacingPriority();
    } else {
        normalPriority();
    }
    // The marking goes first: it forgets the socket, whose number the
    // system may give to another socket as soon as it is closed.
    marking.reset();
    platform::closeSocket(socket_);
    socket_ = platform::kNoSocket;
    if (reason.empty() && isShutdownRequested() && !r.isCancelled() && !r.getRanFullPeriod())
        reason = "the agent is stopping.";
    finish(reason);
}

void StreamServer::finish(const std::string& reason) {
    TestResult& r = *record_;
    std::uint64_t packets = packetsSent_.load();
    std::uint64_t bytes = packets * static_cast<std::uint64_t>(std::max(settings_.packetSize, 0));
    std::string text = "Sent <b>" + std::to_string(packets) + "</b> packets of <b>" +
                       std::to_string(settings_.packetSize) + "</b> bytes (<b>" +
                       std::to_string(bytes) + "</b> bytes) to " + dotted(settings_.clientAddress) +
                       ", UDP port " + std::to_string(settings_.destinationPort) + ".";
    if (!reason.empty()) text += "<br>The stream ended early: " + reason;
    std::lock_guard<RecordLock> guard(r.lock());
    r.addXmlInt("packetsSent", static_cast<long long>(packets));
    r.addXmlInt("bytesSent", static_cast<long long>(bytes));
    r.setFinalResults(text);
    r.setState(TestResult::kFinished);
}

}  // namespace trellon
