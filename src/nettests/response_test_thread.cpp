#include "nettests/response_test_thread.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "http/templates.h"
#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "lib/socket.h"
#include "lib/socket_exception.h"
#include "lib/timestamp.h"
#include "nettests/filler.h"
#include "nettests/probe_handling.h"
#include "nettests/probe_packet.h"
#include "nettests/qos_marking.h"
#include "nettests/remote_agent_status.h"
#include "platform/clock.h"
#include "platform/datagram_batch.h"
#include "platform/readiness.h"
#include "platform/receive_stamp.h"
#include "platform/received_tos.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "results/test_result.h"

namespace trellon {

namespace {

using Clock = ResponseTestControl::Clock;

// How often a waiting worker looks at the flags nobody can notify it of
// (the record's cancelled flag, the process-wide shutdown flag).
constexpr std::chrono::milliseconds kSlice{50};
// A probe must hold the header, and one UDP datagram holds at most this.
constexpr int kLargestDatagram = 65507;
// Replies read at most after a cancel, from what has already arrived.
constexpr int kDrainAfterCancel = 1000;

std::atomic<long long> gWriterStartDelayMs{1000};

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string workerExceptionLine(const char* kind, const Thread& thread) {
    return std::string(kind) + ", Thread " + thread.name() + " " + std::to_string(thread.id()) +
           "Run(), state=" + thread.stateText() + "\n";
}

int clampPacketSize(int size) {
    return std::clamp(size, static_cast<int>(ProbePacket::kHeaderBytes), kLargestDatagram);
}

// The socket of one test, closed however runTest ends.
class UdpHandle {
public:
    UdpHandle() : fd_(platform::openSocket(true)) {}
    ~UdpHandle() {
        if (fd_ != platform::kNoSocket) platform::closeSocket(fd_);
    }
    UdpHandle(const UdpHandle&) = delete;
    UdpHandle& operator=(const UdpHandle&) = delete;
    platform::NativeSocket fd() const { return fd_; }

private:
    platform::NativeSocket fd_;
};

bool interrupted(const TestResult& result) {
    return isShutdownRequested() || result.isCancelled();
}

std::string errorText(int code) {
    return "error " + std::to_string(code) + ": " + socketErrorText(code);
}

}  // namespace

// ---------------------------------------------------------------- times

std::optional<ResponseTimes> ResponseTimes::of(ProbePacket::Time sent,
                                               ProbePacket::Time reflectorIn,
                                               ProbePacket::Time reflectorOut,
                                               ProbePacket::Time received) {
    std::optional<std::int64_t> roundTrip = ProbePacket::microsecondsBetween(sent, received);
    if (!roundTrip) return std::nullopt;
    ResponseTimes times;
    times.roundTrip = std::max<std::int64_t>(*roundTrip, 0);
    // The reflector's words are its own business: a hold it reports below
    // zero would otherwise be added to the latency.
    std::optional<std::int64_t> held = ProbePacket::microsecondsBetween(reflectorIn, reflectorOut);
    times.held = held ? std::clamp<std::int64_t>(*held, 0, times.roundTrip) : 0;
    return times;
}

// ---------------------------------------------------------------- control

void ResponseTestControl::startTimeLimit() {
    endTime_.store((Clock::now() + timeLimit_).time_since_epoch().count());
}

void ResponseTestControl::noteSent(std::uint64_t key) {
    std::lock_guard<std::mutex> guard(sentLock_);
    ++outstanding_[key];
    // Keys grow with the send time: the first is the oldest probe.
    if (outstanding_.size() > kRememberedProbes) outstanding_.erase(outstanding_.begin());
}

void ResponseTestControl::forgetSent(std::uint64_t key) {
    takeReply(key);
}

bool ResponseTestControl::takeReply(std::uint64_t key) {
    std::lock_guard<std::mutex> guard(sentLock_);
    auto it = outstanding_.find(key);
    if (it == outstanding_.end()) return false;
    if (--it->second == 0) outstanding_.erase(it);
    return true;
}

void ResponseTestControl::setSendFailure(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    sendFailure_ = text;
}

std::string ResponseTestControl::sendFailure() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sendFailure_;
}

void ResponseTestControl::requestStop() {
    stop_.store(true);
    { std::lock_guard<std::mutex> guard(lock_); }
    wake_.notify_all();
}

bool ResponseTestControl::waitUntil(Clock::time_point deadline, const TestResult& result) {
    for (;;) {
        if (stop_.load() || interrupted(result)) return false;
        auto now = Clock::now();
        if (now >= deadline) return true;
        auto slice = std::min<Clock::duration>(deadline - now, kSlice);
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait_for(lock, slice, [this] { return stop_.load(); });
    }
}

void ResponseTestControl::setReaderStarted() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        readerStarted_ = true;
    }
    wake_.notify_all();
}

bool ResponseTestControl::waitReaderStarted(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(lock_);
    return wake_.wait_for(lock, limit, [this] { return readerStarted_; });
}

void ResponseTestControl::setWriterFinished(int packetsSent) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto grace = std::max<Clock::duration>(
            kMinimumGrace, std::chrono::microseconds(3 * longestRoundTrip_.load()));
        graceEnd_ = std::min(Clock::now() + grace, endTime());
        finalPacketsSent_.store(packetsSent);
        writerFinished_.store(true);
    }
    wake_.notify_all();
}

Clock::time_point ResponseTestControl::graceEnd() const {
    std::lock_guard<std::mutex> guard(lock_);
    return graceEnd_;
}

void ResponseTestControl::noteRoundTrip(std::int64_t microseconds) {
    std::int64_t longest = longestRoundTrip_.load();
    while (microseconds > longest &&
           !longestRoundTrip_.compare_exchange_weak(longest, microseconds)) {
    }
}

// ---------------------------------------------------------------- writer

ResponseWriterThread::ResponseWriterThread(platform::NativeSocket socket,
                                           const sockaddr_in& destination, int packetSize,
                                           int repeatCount, int pause, int dscp, int priority,
                                           ResponseTestControl& control,
                                           std::shared_ptr<TestResult> result)
    : Thread("ResponseWriterThread", false),
      socket_(socket),
      destination_(destination),
      packetSize_(clampPacketSize(packetSize)),
      repeatCount_(repeatCount),
      pause_(std::max(pause, 0)),
      dscp_(dscp),
      priority_(priority),
      control_(control),
      result_(std::move(result)) {}

ResponseWriterThread::~ResponseWriterThread() {
    control_.requestStop();
    join();
}

void ResponseWriterThread::stop() {
    stopBase();
    control_.requestStop();
}

void ResponseWriterThread::writeProbeHeader(std::uint8_t* probe, int dscp, int priority) {
    ProbePacket::writeWord(probe, ProbePacket::kHeaderWordA, ProbePacket::kHeaderWordValue);
    ProbePacket::writeWord(probe, ProbePacket::kHeaderWordB, ProbePacket::kHeaderWordValue);
    ProbePacket::writeWord(probe, ProbePacket::kReplyDscp, ProbePacket::wordFromMarking(dscp));
    ProbePacket::writeWord(probe, ProbePacket::kReplyPriority,
                           ProbePacket::wordFromMarking(priority));
}

bool ResponseWriterThread::shouldStop() const {
    return control_.stopRequested() || interrupted(*result_) ||
           result_->getState() == TestResult::kFinished;
}

void ResponseWriterThread::reportSendFailure(int code) {
    std::string text =
        "A probe could not be sent to the remote reflector (" + errorText(code) + ")";
    result_->addMessage("<p>" + text + "; no more probes were sent.</p>\n");
    control_.setSendFailure(text);
}

void ResponseWriterThread::Run() {
    std::unique_ptr<QosMarking> marking;
    try {
        if (dscp_ >= 0 || priority_ >= 0) {
            marking =
                std::make_unique<QosMarking>(QosMarking::kUdp, platform::addressPort(destination_),
                                             dscp_, priority_, destination_.sin_addr.s_addr);
            marking->install();
            marking->markSocket(socket_, destination_.sin_addr.s_addr,
                                platform::addressPort(destination_));
            // The page tells of the marking only now that it is in place (or
            // that the system refused it).
            reportMarking(*result_, *marking);
        }
        std::vector<std::uint8_t> probe(static_cast<std::size_t>(packetSize_));
        Filler::fill(probe.data(), probe.size());
        writeProbeHeader(probe.data(), dscp_, priority_);
        raisePriority();
        // Probes go on a fixed schedule, so the time a send takes does not
        // stretch the pause.
        auto nextSend = Clock::now();
        for (int i = 0; i < repeatCount_; ++i) {
            if (shouldStop()) break;
            if (control_.pastEndTime()) {
                control_.setTimeLimitReached();
                break;
            }
            std::memset(probe.data() + ProbePacket::kReflectorReceiveSeconds, 0,
                        24);  // offsets 28-51
            ProbePacket::Time sentAt = ProbePacket::probeTime(Timestamp::now());
            ProbePacket::writeProbeTime(probe.data(), ProbePacket::kSendSeconds, sentAt);
            writeProbeHeader(probe.data(), dscp_, priority_);
            std::uint64_t key = ProbePacket::timeKey(sentAt);
            control_.noteSent(key);
            long sent = platform::sendTo(socket_, probe.data(), probe.size(), destination_);
            if (sent < 0) {
                // Not sent, so not counted: it would show as a lost probe.
                int code = platform::lastSocketError();
                control_.forgetSent(key);
                TRL_WARNING("socket send return < 0");
                reportSendFailure(code);
                break;
            }
            result_->addPacketSent();
            // No pause after the last probe: the reader's wait for the
            // replies in flight takes its place.
            if (i + 1 == repeatCount_) break;
            nextSend += std::chrono::milliseconds(pause_);
            Clock::time_point end = control_.endTime();
            if (end != Clock::time_point::max()) end += std::chrono::milliseconds(1);
            control_.waitUntil(std::min(nextSend, end), *result_);
        }
        normalPriority();
    } catch (const SocketException& e) {
        printLine(workerExceptionLine("SocketException", *this) + e.description());
    } catch (const std::runtime_error& e) {
        printLine(workerExceptionLine("std::runtime_error", *this) + e.what() + "\n");
    } catch (...) {
        printLine(workerExceptionLine("unknown exception", *this));
    }
    try {
        marking.reset();
    } catch (...) {
        printLine("delete tc failed\n");
    }
}

// ---------------------------------------------------------------- reader

ResponseReaderThread::ResponseReaderThread(platform::NativeSocket socket, int packetSize,
                                           int repeatCount, ResponseTestControl& control,
                                           std::shared_ptr<TestResult> result)
    : Thread("ResponseReaderThread", false),
      socket_(socket),
      packetSize_(clampPacketSize(packetSize)),
      repeatCount_(repeatCount),
      control_(control),
      result_(std::move(result)) {}

ResponseReaderThread::~ResponseReaderThread() {
    control_.requestStop();
    join();
}

void ResponseReaderThread::stop() {
    stopBase();
    control_.requestStop();
}

void ResponseReaderThread::Run() {
    control_.setReaderStarted();
    try {
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(packetSize_));
        Filler::fill(buffer.data(), buffer.size());
        Timestamp::now();  // sanity test of the clock only
        raisePriority();
        int attempts = 0;
        while (attempts < repeatCount_) {
            if (isShutdownRequested() || control_.stopRequested()) break;
            if (result_->isCancelled()) {
                // At once: the replies still on their way are not waited for,
                // those already here still count.
                for (int i = 0; i < kDrainAfterCancel && attempts < repeatCount_; ++i) {
                    if (!takeReply(buffer.data(), buffer.size(), attempts)) break;
                }
                break;
            }
            if (control_.pastEndTime()) {
                control_.setTimeLimitReached();
                break;
            }
            if (!receiveOne(buffer.data(), buffer.size(), attempts)) break;
        }
        normalPriority();
    } catch (const SocketException& e) {
        printLine(workerExceptionLine("SocketException", *this) + e.description());
    } catch (const std::runtime_error& e) {
        printLine(workerExceptionLine("std::runtime_error", *this) + e.what() + "\n");
    } catch (...) {
        printLine(workerExceptionLine("unknown exception", *this));
    }
}

bool ResponseReaderThread::receiveOne(std::uint8_t* buffer, std::size_t size, int& attempts) {
    auto now = Clock::now();
    if (control_.writerFinished()) {
        int received = result_->getPacketsReceived();
        if (received >= control_.finalPacketsSent() || now >= control_.graceEnd()) return false;
    }
    auto deadline = control_.endTime();
    if (control_.writerFinished()) deadline = std::min(deadline, control_.graceEnd());
    auto slice = std::clamp<Clock::duration>(deadline - now, std::chrono::milliseconds(1), kSlice);
    int ready = platform::waitFor(
        socket_, platform::Readiness::kReadable,
        static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
    if (ready <= 0) return true;  // a slice passed (or EINTR): look at the flags again
    takeReply(buffer, size, attempts);
    return !isShutdownRequested();
}

bool ResponseReaderThread::takeReply(std::uint8_t* buffer, std::size_t size, int& attempts) {
    sockaddr_in from{};
    platform::Datagram reply;
    reply.data = buffer;
    reply.size = size;
    reply.peer = &from;
    int got = platform::receiveDatagrams(
        socket_, &reply, 1,
        platform::kDatagramDontWait | platform::kDatagramStamp | platform::kDatagramTos);
    if (got == platform::kDatagramWouldBlock) return false;
    if (got < 0) {
        TRL_WARNING("Failed to recvfrom incoming response packet");
        ++attempts;
        return true;
    }
    if (isShutdownRequested()) return true;
    // T4: when the kernel had the reply, not when this thread woke for it.
    Timestamp arrival = Timestamp::now();
    if (reply.stamped) {
        arrival.seconds = static_cast<std::int32_t>(reply.stampSeconds);
        arrival.microseconds = reply.stampMicroseconds;
    }
    ProbePacket::Time received = ProbePacket::probeTime(arrival);
    std::optional<ResponseTimes> times = takeProbeReply(buffer, reply.length, received, control_);
    if (!times) return true;
    control_.noteRoundTrip(times->roundTrip);
    ++attempts;
    result_->addPacketReceived();
    result_->addResponseFigures(times->roundTrip, times->held, platform::nowSeconds());
    // The marking the probe had at the reflector (word 44) and the reply's own.
    int backTos = reply.tos;
    result_->addResponseMarking(
        ProbePacket::seenDscpFromWord(ProbePacket::readWord(buffer, ProbePacket::kSeenDscp)),
        backTos < 0 ? -1 : backTos >> 2);
    return true;
}

// ---------------------------------------------------------------- test thread

ResponseTestThread::ResponseTestThread(std::shared_ptr<TestResult> result,
                                       std::string remoteComputer, int remotePort, int packetSize,
                                       int repeatCount, int pause, int timeLimit, int dscp,
                                       int priority8021p, int localPort, bool deleteSelf)
    : PerformanceTestThread("ResponseTestThread", std::move(result), std::move(remoteComputer),
                            remotePort, timeLimit, packetSize, dscp, priority8021p, 1, deleteSelf),
      packetSize_(packetSize),
      repeatCount_(repeatCount),
      pause_(pause),
      localPort_(localPort) {}

ResponseTestThread::~ResponseTestThread() = default;

void ResponseTestThread::setWriterStartDelayForTests(std::chrono::milliseconds delay) {
    gWriterStartDelayMs.store(delay.count());
}

void ResponseTestThread::stop() {
    PerformanceTestThread::stop();
    stopped_.store(true);
    std::lock_guard<std::mutex> guard(controlLock_);
    if (control_ != nullptr) control_->requestStop();
}

void ResponseTestThread::runTest() {
    try {
        // Answered from the remote-agent cache, which Run has just filled.
        std::string reason;
        std::shared_ptr<RemoteAgentStatus> remote = remoteCheck(&reason);
        if (!remote) {
            result_->endWithReason(reason);
            return;
        }
        // Port 0 (a status reply without the line) would make every send fail
        // and the test report all probes lost.
        int port = remote->reflectorPort();
        if (port < 1 || port > 65535) {
            std::string text = "The remote agent at " + escapeHtml(remoteComputer_) +
                               " did not name its response reflector port, so no probes were sent.";
            result_->addMessage("<p>" + text + "</p>\n");
            result_->endWithReason(text);
            return;
        }
        auto reflectorPort = static_cast<std::uint16_t>(port);
        result_->setRemoteReflectorPort(reflectorPort);

        UdpHandle socket;
        if (socket.fd() == platform::kNoSocket) {
            int code = platform::lastSocketError();
            TRL_FAILURE("socket( AF_INET, SOCK_DGRAM, 0 )");
            std::string text =
                "Could not open a UDP socket for the response test (" + errorText(code) + ")";
            result_->addMessage("<p>" + text + "</p>\n");
            result_->endWithReason(text + ".");
            return;
        }
        // The workers poll in short slices; the time-outs only bound a send
        // that the system would block.
        int timeoutMs =
            static_cast<int>(std::min<long long>(std::max(timeLimit_, 1), 2000000) * 1000);
        if (!setSocketTimeouts(socket.fd(), timeoutMs)) printLine("timeout set failed\n");
        // Without it every reply's marking reads "unknown"; the test runs anyway.
        platform::enableReceivedTos(socket.fd());
        platform::enableReceiveStamps(socket.fd());

        sockaddr_in destination = platform::ipv4Address(remote->address(), reflectorPort);

        sockaddr_in local =
            platform::ipv4Address(htonl(INADDR_ANY), static_cast<std::uint16_t>(localPort_));
        if (!platform::bindSocket(socket.fd(), local)) {
            int code = platform::lastSocketError();
            std::string text = "Could not bind local UDP port " + std::to_string(localPort_) +
                               " for the response test: " + socketErrorText(code) + " (" +
                               std::to_string(code) + ")";
            result_->addMessage("<p>" + text + "</p>\n");
            result_->endWithReason(text + ".");
            return;
        }
        // The port really used, also when the setting let the system choose.
        int boundPort = platform::localPort(socket.fd());
        result_->setLocalResponsePort(boundPort >= 0 ? boundPort : localPort_);

        runWorkers(socket.fd(), destination, remote);
    } catch (...) {
        printLine("Unknown exception in ResponseTestThread\n");
        printLine(std::string("(ResponseTestThread::runTest() ") + sourceFileName(__FILE__) +
                  " at line " + std::to_string(__LINE__) + ")\n");
        if (result_->getState() == TestResult::kRunning && result_->getPacketsSent() > 0)
            result_->finishResponse();
        // Run records the exception and ends the record with it as the reason.
        throw;
    }
}

void ResponseTestThread::runWorkers(platform::NativeSocket socket, const sockaddr_in& destination,
                                    const std::shared_ptr<RemoteAgentStatus>& remote) {
    ResponseTestControl control(std::chrono::seconds(std::max(timeLimit_, 0)));
    // Published for stop(); withdrawn before control goes out of scope.
    struct Publish {
        ResponseTestThread& self;
        Publish(ResponseTestThread& thread, ResponseTestControl& c) : self(thread) {
            std::lock_guard<std::mutex> guard(self.controlLock_);
            self.control_ = &c;
        }
        ~Publish() {
            std::lock_guard<std::mutex> guard(self.controlLock_);
            self.control_ = nullptr;
        }
    } publish(*this, control);
    if (stopped_.load()) control.requestStop();

    // Destroyed in reverse order: each worker's destructor asks both to stop
    // and joins its own thread, so an exception here leaves none running.
    auto writer =
        std::make_unique<ResponseWriterThread>(socket, destination, packetSize_, repeatCount_,
                                               pause_, dscp_, priority8021p_, control, result_);
    auto reader =
        std::make_unique<ResponseReaderThread>(socket, packetSize_, repeatCount_, control, result_);

    reader->start();
    if (!control.waitReaderStarted(std::chrono::seconds(10))) {
        printLine("reader thread failed\n");
        result_->addMessage("<p>reader thread failed</p>\n");
        result_->endWithReason("reader thread failed");
        return;
    }
    // The reader is receiving before the first probe leaves.
    bool go = control.waitUntil(
        Clock::now() + std::chrono::milliseconds(gWriterStartDelayMs.load()), *result_);
    result_->setState(TestResult::kRunning);
    if (go) {
        control.startTimeLimit();
        writer->start();
        writer->join();
    }
    control.setWriterFinished(result_->getPacketsSent());
    reader->join();

    // The final figures, once, while the state is still 1002.
    if (control.timeLimitReached()) result_->setRanFullPeriod();
    if (result_->getPacketsSent() > 0) {
        if (result_->getPacketsReceived() == 0) {
            // Most likely the remote agent answered a status request long ago
            // and has since restarted elsewhere; the next test asks it again.
            result_->addMessage(std::string("<p>") + kNoRepliesText + "</p>\n");
            forgetRemoteAgentStatus(remote);
        }
        result_->finishResponse();
    } else {
        std::string failure = control.sendFailure();
        result_->setFinalResults(failure.empty() ? "No probes were sent."
                                                 : "No probes were sent. " + failure + ".");
    }
    result_->setState(TestResult::kWaitingForFinalData);
    result_->setState(TestResult::kFinished);
}

}  // namespace trellon
