#include "nettests/perf_socket.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "lib/error_report.h"
#include "lib/shutdown.h"
#include "lib/units.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/socket_error.h"
#include "results/test_result.h"

namespace trellon {

namespace {

std::string formatted(const char* pattern, double value) {
    char text[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(text, sizeof(text), pattern, value);
#pragma GCC diagnostic pop
    return text;
}

std::string quantityText(double bytes, char format) {
    char text[64];
    formatQuantity(text, sizeof(text), bytes, format);
    return text;
}

std::string errorText(int code) {
    return "error " + std::to_string(code) + ": " + socketErrorText(code);
}

std::int64_t monotonicMicroseconds() {
    return static_cast<std::int64_t>(platform::monotonicTicks() / 1000);
}

std::uint64_t freshSeed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

// The record's figures are 64-bit in the XML; its own fields take what fits.
void recordBytesSent(TestResult& record, std::int64_t bytes) {
    if (bytes <= INT_MAX)
        record.setBytesSent(static_cast<int>(bytes));
    else
        record.addXmlInt("bytesSent", bytes);
}

void recordBandwidth(TestResult& record, std::int64_t rate) {
    if (rate <= INT_MAX)
        record.setBandwidth(static_cast<int>(rate));
    else
        record.addXmlInt("bandwidth", rate);
}

// "3" for whole seconds, "0.3" otherwise.
std::string secondsText(std::int64_t milliseconds) {
    if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000);
    return formatted("%.1f", static_cast<double>(milliseconds) / 1000.0);
}

}  // namespace

std::mutex& bandwidthReportLock() {
    static std::mutex lock;  // guards nothing but the order of report rows
    return lock;
}

bool PerfSocketSettings::setOption(char letter, const std::string& value) {
    const char* text = value.c_str();
    char* end = nullptr;
    switch (letter) {
        case 'n': {
            // The byte-count reading ("2M", "1.5k"), in 64 bits: a test may
            // be asked for more than 2 GiB, which loopback moves in a second.
            double bytes = std::strtod(text, &end);
            if (end == text || std::isnan(bytes)) return false;
            switch (*end) {
                case 'G':
                    bytes *= 1073741824.0;
                    break;
                case 'M':
                    bytes *= 1048576.0;
                    break;
                case 'K':
                    bytes *= 1024.0;
                    break;
                case 'g':
                    bytes *= 1e9;
                    break;
                case 'm':
                    bytes *= 1e6;
                    break;
                case 'k':
                    bytes *= 1e3;
                    break;
                default:
                    break;
            }
            if (!(bytes < 9.2e18)) return false;
            amount = bytes > 0 ? static_cast<std::int64_t>(bytes) : 0;
            return true;
        }
        case 'i': {
            double seconds = std::strtod(text, &end);
            if (end == text || std::isnan(seconds)) return false;
            reportInterval = std::clamp(seconds, 0.5, static_cast<double>(kMaxSeconds));
            return true;
        }
        case 't': {
            double seconds = std::strtod(text, &end);
            if (end == text || std::isnan(seconds)) return false;
            time = static_cast<int>(
                std::clamp(std::trunc(seconds), 0.0, static_cast<double>(kMaxSeconds)));
            return true;
        }
        default:
            return false;
    }
}

PerfSocket::PerfSocket(SocketHandle handle, std::shared_ptr<TestResult> result, Role role,
                       Clock clock)
    : handle_(handle),
      filler_(freshSeed()),
      result_(std::move(result)),
      role_(role),
      clock_(clock ? std::move(clock) : Clock(monotonicMicroseconds)) {
    buffer_.assign(static_cast<std::size_t>(settings_.blockLength), 0);
}

std::int64_t PerfSocket::rateOf(std::int64_t bytes, double seconds) {
    if (!(seconds > 0.0) || bytes <= 0) return 0;
    double rate = static_cast<double>(bytes) / seconds;
    if (rate >= 9.2e18) return INT64_MAX;
    return static_cast<std::int64_t>(rate);
}

std::string PerfSocket::bandwidthSentence(std::int64_t rate, char format) {
    if (rate == 0) return kUnknownBandwidthText;
    return "<br>Bandwidth is <b>" + quantityText(static_cast<double>(rate), format) +
           " per second</b>.";
}

void PerfSocket::startReporting() {
    if (handle_ == kInvalidSocket || buffer_.empty() || settings_.blockLength <= 0) return;
    total_ = 0;
    progress_.store(0, std::memory_order_relaxed);
    lastReportTotal_ = 0;
    // Reports run on whole seconds.
    auto seconds = static_cast<std::int64_t>(settings_.reportInterval);
    intervalUs_ = seconds * 1000000;
    reportFlag_ = seconds >= 1;
    now_ = now();
    start_ = now_;
    lastReport_ = now_;
    nextReport_ = start_ + intervalUs_;
    lastRecordCheck_ = now_;
    amountLimit_ = settings_.amount;
    timeLimit_ = settings_.time;
}

void PerfSocket::account(std::int64_t bytes) {
    now_ = now();
    total_ += bytes;
    progress_.store(total_, std::memory_order_relaxed);
    reportIfDue();
}

void PerfSocket::reportIfDue() {
    if (!reportFlag_ || now_ <= nextReport_) return;
    double from = static_cast<double>(lastReport_ - start_) / 1e6;
    double to = static_cast<double>(nextReport_ - start_) / 1e6;
    {
        std::lock_guard<std::mutex> guard(bandwidthReportLock());
        report(total_ - lastReportTotal_, total_, false, from, to);
    }
    lastReport_ = nextReport_;
    nextReport_ += intervalUs_;
    lastReportTotal_ = total_;
    // Intervals missed altogether (a stalled send) give no rows of their own.
    while (now_ > nextReport_) nextReport_ += intervalUs_;
}

void PerfSocket::report(std::int64_t intervalBytes, std::int64_t total, bool final, double t0,
                        double t1) {
    if (!result_) return;
    std::int64_t rate = rateOf(intervalBytes, t1 - t0);
    if (!final) {
        const char upper =
            static_cast<char>(std::toupper(static_cast<unsigned char>(settings_.format)));
        std::string line = formatted("%4.1f\t", t1) +
                           quantityText(static_cast<double>(intervalBytes), upper) + "\t" +
                           std::to_string(total) + "\t" +
                           quantityText(static_cast<double>(rate), settings_.format);
        result_->addRowFromLine(platform::nowSeconds(), line);
        return;
    }
    std::lock_guard<RecordLock> record(result_->lock());
    recordBytesSent(*result_, total);
    recordBandwidth(*result_, rate);
    result_->setFinalResults(bandwidthSentence(rate, settings_.format) + finalExtra_);
    result_->addXmlInt("bytesPerSecond", rate);
    result_->addXmlInt("totalBytesSent", total);
    result_->addXmlText("time", formatted("%7.3f", t1 - t0));
}

void PerfSocket::finalReport(const std::string& extra) {
    end_ = now();
    finalExtra_ = extra;
    std::lock_guard<std::mutex> guard(bandwidthReportLock());
    report(total_, total_, true, 0.0, static_cast<double>(end_ - start_) / 1e6);
}

bool PerfSocket::recordSaysStop() {
    if (recordStop_) return true;
    if (!result_ || now_ - lastRecordCheck_ < kRecordCheckUs) return false;
    lastRecordCheck_ = now_;
    recordStop_ = result_->isCancelled() || result_->getState() == TestResult::kFinished;
    return recordStop_;
}

bool PerfSocket::shouldStop() const {
    return isShutdownRequested() || stopRequested_.load();
}

PerfSocket::Outcome PerfSocket::sendBlock(std::int64_t& sent) {
    const auto length = static_cast<std::size_t>(settings_.blockLength);
    std::size_t done = 0;
    std::int64_t lastProgress = now_;
    while (done < length) {
        long n = platform::sendSome(handle_, buffer_.data() + done, length - done, false);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            lastProgress = now();
            continue;
        }
        if (n == platform::kIoWouldBlock) {
            // A slice passed with the socket's buffer full.
            now_ = now();
            if (shouldStop() || recordSaysStop()) {
                sent = static_cast<std::int64_t>(done);
                return Outcome::stopped;
            }
            if (stallLimitMs_ > 0 && now_ - lastProgress > std::int64_t{stallLimitMs_} * 1000) {
                platform::setLastSocketError(platform::kErrorTimedOut);
                lastError_ = platform::kErrorTimedOut;
                sent = static_cast<std::int64_t>(done);
                return Outcome::failed;
            }
            continue;
        }
        // Nothing sent and no error: the connection is shut down under us.
        if (n == 0) platform::setLastSocketError(platform::kErrorShutDown);
        lastError_ = platform::lastSocketError();
        sent = static_cast<std::int64_t>(done);
        return Outcome::failed;
    }
    sent = static_cast<std::int64_t>(done);
    return Outcome::sent;
}

void PerfSocket::abortConnection() {
    // The owner's close then resets the connection instead of ending it, so
    // the sink can tell a transfer broken off from one that is complete.
    platform::setResetOnClose(handle_);
}

void PerfSocket::waitForSinkClose() {
    // The sink sends nothing: the end of its stream is its close, which comes
    // once it has read every byte we sent.
    std::int64_t deadline = now() + std::int64_t{std::max(timeLimit_, 1)} * 1000000;
    for (;;) {
        long n = platform::receiveSome(handle_, buffer_.data(), buffer_.size(), false);
        if (n == 0) return;
        if (n > 0 || n == platform::kIoWouldBlock) {
            now_ = now();
            if (shouldStop() || recordSaysStop()) return;
            if (now_ > deadline) {
                finalExtra_ = "<br>The data sink did not confirm the end of the data within " +
                              std::to_string(std::max(timeLimit_, 1)) + " seconds.";
                return;
            }
            continue;
        }
        return;  // reset or failed: the sink is gone either way
    }
}

void PerfSocket::sendTestData() {
    if (done_ || !result_) return;
    startReporting();
    const std::int64_t endTime = start_ + std::int64_t{timeLimit_} * 1000000;
    setSocketTimeouts(handle_, kSliceMs);

    bool early = false;
    bool failed = false;
    while (!isShutdownRequested()) {
        if (recordSaysStop() || stopRequested_.load()) {
            early = true;
            break;
        }
        // The amount is checked before each send, not against the block:
        // a test smaller than a block still sends one whole block.
        if (total_ >= amountLimit_) break;
        if (now_ > endTime) {
            result_->setRanFullPeriod();
            break;
        }
        filler_.fill(buffer_.data(), buffer_.size());
        std::int64_t sent = 0;
        Outcome outcome = sendBlock(sent);
        account(sent);
        if (outcome == Outcome::failed) {
            TRL_WARNING("socket write return < 0");
            result_->addMessage("<p>The data could not be sent to the remote data sink (" +
                                errorText(lastError_) + "); sending stopped.</p>\n");
            failed = true;
            break;
        }
        if (outcome == Outcome::stopped) {
            early = true;
            break;
        }
    }
    done_ = true;
    if (isShutdownRequested()) {
        // The agent is stopping: no final report.
        abortConnection();
        return;
    }
    finalExtra_.clear();
    if (early) {
        abortConnection();
    } else if (failed) {
        finalExtra_ =
            "<br>Sending stopped early: the connection failed (" + errorText(lastError_) + ").";
    } else {
        platform::shutdownSocket(handle_, platform::ShutdownHow::send);
        waitForSinkClose();
    }
    finalReport(finalExtra_);
}

void PerfSocket::receiveTestData() {
    if (done_ || !result_) return;
    sockaddr_in peer{};
    if (!platform::peerAddress(handle_, peer)) {
        TRL_SOCKET_FAILURE("Call to get remote address (getpeername) failed.");
    }
    startReporting();
    setSocketTimeouts(handle_, kSliceMs);

    std::string extra;
    std::int64_t lastProgress = now_;
    while (!shouldStop() && !recordSaysStop()) {
        if (totalLimitMs_ > 0 && now_ - start_ > totalLimitMs_ * 1000) {
            extra = "<br>The data sink closed the connection at its limit of " +
                    secondsText(totalLimitMs_) + " seconds.";
            break;
        }
        long n = platform::receiveSome(handle_, buffer_.data(), buffer_.size(), false);
        if (n > 0) {
            account(n);
            lastProgress = now_;
            continue;
        }
        if (n == 0) break;  // the sender's end of data
        if (n == platform::kIoWouldBlock) {
            now_ = now();
            if (stallLimitMs_ > 0 && now_ - lastProgress > std::int64_t{stallLimitMs_} * 1000) {
                extra = "<br>No data came for " + secondsText(stallLimitMs_) +
                        " seconds; the data sink closed the connection.";
                break;
            }
            continue;
        }
        const int code = platform::lastSocketError();
        if (code == platform::kErrorConnectionReset) {
            extra = kBrokenOffText;
        } else {
            extra = "<br>The connection failed (" + errorText(code) + ").";
        }
        break;
    }
    if (extra.empty() && shouldStop()) extra = "<br>The agent stopped before the end of the data.";
    done_ = true;
    finalReport(extra);
}

}  // namespace trellon
