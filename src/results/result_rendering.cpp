// Rendering of a TestResult: the XML result, the progress table, the page
// title, and the final-figure steps the test engines call when a test ends.
// Each operation holds the record's lock for its whole duration, so what it
// renders is one consistent snapshot even while the test thread writes.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "results/test_result.h"
#include "results/voice_quality.h"
#include "results/xml_text.h"

namespace trellon {

namespace {

using Guard = std::lock_guard<RecordLock>;

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[512];
    int n = std::snprintf(buffer, sizeof(buffer), pattern, args...);
    if (n < 0) return "";
    if (static_cast<std::size_t>(n) < sizeof(buffer))
        return std::string(buffer, static_cast<std::size_t>(n));
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), pattern, args...);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// Milliseconds between two timestamps, truncated towards zero. 64 bits: the
// times come from packets, and any pair must give a defined result.
std::int64_t microsecondsBetween(const Timestamp& from, const Timestamp& to);
std::int64_t millisecondsBetween(const Timestamp& from, const Timestamp& to) {
    return microsecondsBetween(from, to) / 1000;
}

std::int64_t microsecondsBetween(const Timestamp& from, const Timestamp& to) {
    return (static_cast<std::int64_t>(to.seconds) - from.seconds) * 1000000 -
           static_cast<std::int64_t>(from.microseconds) + to.microseconds;
}

// "mm:ss" of a row time in local time.
std::string minutesSeconds(std::int64_t seconds) {
    std::tm tm{};
    if (!platform::localCalendarTime(seconds, tm)) return "00:00";
    return format("%02d:%02d", tm.tm_min, tm.tm_sec);
}

long long sum(const std::vector<int>& counts) {
    long long total = 0;
    for (int c : counts) total += c;
    return total;
}

// The highest gap size whose counter is not 0; 0 when there is none.
int largestGap(const std::vector<int>& counts) {
    for (std::size_t i = counts.size(); i > 0; --i) {
        if (counts[i - 1] != 0) return static_cast<int>(i);
    }
    return 0;
}

}  // namespace

std::string TestResult::xmlDocument() const {
    Guard guard(lock_);
    std::string xml;
    xml.reserve(xmlExtras_.size() + 200);
    xml += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n";
    xml += "<Result>\n    <type>";
    xml += escapeXml(typeName_);
    xml += "</type>\n    <id>";
    xml += std::to_string(testId_);
    xml += "</id>\n    <done>";
    xml += state_ == kFinished ? "1" : "0";
    xml += "</done>\n";
    xml += xmlExtras_.str();
    xml += "</Result>";
    return xml;
}

std::string TestResult::jsonDocument() const {
    Guard guard(lock_);
    std::vector<JsonMember> members;
    members.reserve(jsonMembers_.size() + 3);
    members.push_back({"type", typeName_, false});
    members.push_back({"id", std::to_string(testId_), true});
    members.push_back({"done", state_ == kFinished ? "1" : "0", true});
    members.insert(members.end(), jsonMembers_.begin(), jsonMembers_.end());
    return jsonObject(members);
}

std::string TestResult::progressTableHtml() const {
    Guard guard(lock_);
    ResponseBuffer table;
    table.append("<table border=\"1\" style=\"text-align: right\" >\n");
    if (!columnHeadings_.empty()) {
        table.append("<tr>");
        for (const auto& heading : columnHeadings_) {
            table.append("<td><b>");
            table.append(heading);
            table.append("</b></td>");
        }
        table.append("</tr>\n");
    }
    for (std::size_t i = rows_.size(); i > 0; --i) {
        const ReportRow& row = rows_[i - 1];
        table.append("<tr>\n<td>");
        table.appendNumber(static_cast<long long>(i));
        table.append("</td>\n<td>");
        table.append(minutesSeconds(row.time));
        table.append("</td>\n");
        for (const auto& cell : row.cells) {
            table.append("<td>");
            table.append(cell.empty() ? std::string("&nbsp;") : cell);
            table.append("</td>\n");
        }
        table.append("</tr>\n");
    }
    table.append("</table>\n");
    return table.str();
}

std::string TestResult::pageTitle() const {
    Guard guard(lock_);
    const char* label;
    switch (testType_) {
        case kBandwidthTest:
            label = "Bandwidth test ";
            break;
        case kResponseTest:
            label = "Response test ";
            break;
        case kStreamingTest:
            switch (streamKind_) {
                case kVoiceStream:
                    label = "VoIP streaming test ";
                    break;
                case kVideoStream:
                    label = "Video streaming test ";
                    break;
                case kCustomStream:
                    label = "Custom streaming test ";
                    break;
                default:
                    label = "Streaming test ";
                    break;
            }
            break;
        case kPluginAction:
            label = "Plug-in action ";
            break;
        default:
            label = "Test ";
            break;
    }
    return std::string(label) + "from " + localComputer_ + " to " + remoteComputer_;
}

// --- Response-time test ---

void TestResult::addResponseSample(const Timestamp& sent, const Timestamp& reflectorIn,
                                   const Timestamp& reflectorOut, const Timestamp& received) {
    Guard guard(lock_);
    ++sampleCount_;
    std::int64_t roundTrip = millisecondsBetween(sent, received);
    std::int64_t held = millisecondsBetween(reflectorIn, reflectorOut);
    // A reflector cannot hold a probe longer than its whole trip, nor less
    // than nothing; a clock step or a hostile peer must not bend the latency.
    if (roundTrip < 0) roundTrip = 0;
    if (held < 0) held = 0;
    if (held > roundTrip) held = roundTrip;
    std::int64_t latency = (roundTrip - held) / 2;
    latencySumMs_ += latency;
    double average = static_cast<double>(latencySumMs_) / sampleCount_;
    std::vector<std::string> cells{format("%d / %d", packetsSent_, packetsReceived_),
                                   format("%lld ms", static_cast<long long>(latency)),
                                   format("%lld ms", static_cast<long long>(held)),
                                   format("%5.3f ms", average)};
    for (auto& cell : addResponseMicroseconds(microsecondsBetween(sent, received),
                                              microsecondsBetween(reflectorIn, reflectorOut)))
        cells.push_back(std::move(cell));
    addRow(received.seconds, cells);
}

namespace {

// "46", "unknown", or each value with its count when the replies differed:
// "46 (97 packets), 0 (3 packets)".
std::string markingText(const std::map<int, int>& counts) {
    auto name = [](int dscp) { return dscp < 0 ? std::string("unknown") : std::to_string(dscp); };
    if (counts.empty()) return "unknown";
    if (counts.size() == 1) return name(counts.begin()->first);
    std::string text;
    for (auto it = counts.rbegin(); it != counts.rend(); ++it) {
        if (!text.empty()) text += ", ";
        text += name(it->first) + " (" + std::to_string(it->second) + " packets)";
    }
    return text;
}

}  // namespace

void TestResult::addResponseMarking(int seenAtReflector, int cameBack) {
    Guard guard(lock_);
    // Code points are 0 to 63; anything else from the wire is "not known".
    auto clean = [](int dscp) { return dscp >= 0 && dscp <= 63 ? dscp : -1; };
    ++dscpSeenAtReflector_[clean(seenAtReflector)];
    ++dscpCameBack_[clean(cameBack)];
}

void TestResult::finishResponse() {
    Guard guard(lock_);
    if (state_ != kRunning) return;
    // Nothing sent is no loss rather than a division by zero.
    lossPercent_ =
        packetsSent_ > 0 ? (packetsSent_ - packetsReceived_) * 100.0 / packetsSent_ : 0.0;
    if (sampleCount_ != 0) averageLatencyMs_ = static_cast<double>(latencySumMs_ / sampleCount_);
    setFinalResults(format(
        "Network response time, or latency, is <b>%5.1f</b> milliseconds.  Lost <b>%2.1f</b> "
        "percent of the packets.",
        averageLatencyMs_, lossPercent_));
    addXmlLatency(averageLatencyMs_);
    addXmlInt("sent", packetsSent_);
    addXmlInt("received", packetsReceived_);
    if (responseMicroseconds_.count() > 0) {
        const ResponseMicroseconds& us = responseMicroseconds_;
        addXmlInt("latencyMicroseconds", std::llround(us.meanLatency()));
        addXmlInt("minLatencyMicroseconds", us.minLatency());
        addXmlInt("maxLatencyMicroseconds", us.maxLatency());
        addXmlInt("latencySpreadMicroseconds", std::llround(us.spread()));
        addXmlInt("heldMicroseconds", std::llround(us.meanHeld()));
        extraHtml_.append(format(
            "<p>Travel time (each way) in microseconds: average <b>%.3f</b> ms, minimum "
            "<b>%.3f</b> ms, maximum <b>%.3f</b> ms, spread <b>%.3f</b> ms.  Delay time at remote "
            "reflector: average <b>%.3f</b> ms.</p>\n",
            us.meanLatency() / 1000.0, static_cast<double>(us.minLatency()) / 1000.0,
            static_cast<double>(us.maxLatency()) / 1000.0, us.spread() / 1000.0,
            us.meanHeld() / 1000.0));
        // A call over this path would see its delay and its loss; it would
        // also need a jitter buffer, which the estimate leaves out.
        addVoiceQuality(us.meanLatency() / 1000.0, lossPercent_, "Estimated voice quality");
        metricFigures_.emplace_back("latency_milliseconds", us.meanLatency() / 1000.0);
        metricFigures_.emplace_back("latency_spread_milliseconds", us.spread() / 1000.0);
    }
    metricFigures_.emplace_back("loss_percent", lossPercent_);
    if (!dscpSeenAtReflector_.empty()) {
        const std::string asked = dscp_ < 0 ? std::string("none") : std::to_string(dscp_);
        const std::string seen = markingText(dscpSeenAtReflector_);
        const std::string back = markingText(dscpCameBack_);
        addXmlInt("dscpAsked", dscp_);
        addXmlText("dscpSeenAtReflector", seen);
        addXmlText("dscpCameBack", back);
        extraHtml_.append("<p>Packet marking (DSCP): asked <b>" + asked +
                          "</b>, seen at the remote reflector <b>" + seen + "</b>, came back <b>" +
                          back + "</b>.</p>\n");
    }
    setPortExplanationWithXml("<br>Sent UDP packets from port " +
                              std::to_string(localResponsePort_) + " to remote reflector on port " +
                              std::to_string(remoteReflectorPort_));
}

// --- Streaming test ---

bool TestResult::addStreamReport(const StreamReportFigures& figures, const Timestamp& now) {
    Guard guard(lock_);
    ++sampleCount_;
    if (firstPacketTime_.isZero()) {
        firstPacketTime_ = now;
        nextReportTime_ = static_cast<std::int64_t>(now.seconds) + reportInterval_;
    }
    if (nextReportTime_ > now.seconds) return false;
    nextReportTime_ += reportInterval_;
    // Max Gap is the largest gap size of the interval, as in the final figures.
    addRow(now.seconds,
           {std::to_string(figures.intervalPackets), std::to_string(figures.intervalOutOfOrder),
            std::to_string(figures.intervalDuplicate), std::to_string(figures.intervalLost),
            std::to_string(sum(figures.intervalGapCounts)),
            std::to_string(largestGap(figures.intervalGapCounts)),
            std::to_string(figures.intervalMaxJitter),
            std::to_string(figures.jitterMovingAverage16), std::to_string(figures.intervalJitter)});
    return true;
}

void TestResult::finishStream(const StreamReportFigures& figures, const Timestamp& now) {
    Guard guard(lock_);
    if (state_ != kRunning) return;
    lastPacketTime_ = now;
    std::string text;
    if (figures.jitterSampleCount > 0) {
        text += format(
            "Jitter (MS) average <b>%d</b> , maximum <b>%ld</b> milliseconds, 16 sample average "
            "<b>%d</b>",
            figures.jitter, figures.maxJitter, figures.jitterMovingAverage16);
    } else {
        text +=
            "No useful jitter data possible due to excessive packet drops and packets that arrived "
            "outside the "
            "jitter buffer window.";
    }
    if (figures.dropped != 0) {
        // Of the whole stream: the packets that came once, in time, and those
        // missing (dividing by the arrivals alone would call half a stream
        // lost 100 percent). No packet at all is shown as 0.0 percent.
        long long total = static_cast<long long>(figures.packetCount) - figures.duplicate -
                          figures.late + figures.dropped;
        double percent =
            figures.packetCount > 0 && total > 0 ? figures.dropped * 100.0 / total : 0.0;
        text += format(
            "<br>There were <b>%d</b> packets missing from the stream, amounting to <b>%5.1f</b> "
            "percent of the "
            "total. ",
            figures.dropped, percent);
    }
    if (figures.late > 0) {
        text += format("<br><b>%d</b> packets arrived too late to be used and were ignored. ",
                       figures.late);
    }
    if (figures.outOfOrder > 0) {
        text += format("<br><b>%d</b> packets were delivered out of order by network. ",
                       figures.outOfOrder);
    }
    text += format("<br>Jitter buffer size is <b>%d</b> packets.  ", figures.bufferSize);

    long long gapCount = sum(figures.gapCounts);
    int maxGap = largestGap(figures.gapCounts);
    setFinalResults(text);
    if (gapCount != 0) {
        std::string gaps =
            format("<p>There were <b>%lld</b> gaps in the stream, the largest was <b>%d</b>.</p>",
                   gapCount, maxGap);
        gaps += "<br><table border=\"1\" cellpadding=\"0\" cellspacing=\"0\" >\n";
        gaps += "<tr><td><b>Gap Size</b></td><td><b>Count</b></td></tr>\n";
        for (std::size_t i = 0; i < figures.gapCounts.size(); ++i) {
            if (figures.gapCounts[i] > 0) {
                gaps += format("<tr><td>%d</td><td>%d</td></tr>\n", static_cast<int>(i + 1),
                               figures.gapCounts[i]);
            }
        }
        gaps += "</table>\n";
        extraHtml_.append(gaps);
    }
    addXmlInt("packetCount", figures.packetCount);
    addXmlInt("outOfOrder", figures.outOfOrder);
    addXmlInt("duplicate", figures.duplicate);
    addXmlInt("dropped", figures.dropped);
    addXmlInt("gapCount", gapCount);
    addXmlInt("maxGap", maxGap);
    addXmlInt("maxJitter", figures.maxJitter);
    addXmlInt("jitterMovingAverage16", figures.jitterMovingAverage16);
    addXmlInt("jitter", figures.jitter);
    if (streamKind_ == kVoiceStream) {
        // The player's delay is the network's plus the jitter buffer's; the
        // loss is the figure above, packets too late for the buffer included
        // (their slots left it empty).
        double delay = bufferDuration_ > 0 ? bufferDuration_ : 0;
        if (figures.oneWayDelayUs >= 0) delay += static_cast<double>(figures.oneWayDelayUs) / 1000;
        long long total = static_cast<long long>(figures.packetCount) - figures.duplicate -
                          figures.late + figures.dropped;
        double loss = figures.dropped > 0 && total > 0 ? figures.dropped * 100.0 / total : 0.0;
        addVoiceQuality(delay, loss, "Voice quality");
    }
    {
        long long total = static_cast<long long>(figures.packetCount) - figures.duplicate -
                          figures.late + figures.dropped;
        metricFigures_.emplace_back("loss_percent", figures.dropped > 0 && total > 0
                                                        ? figures.dropped * 100.0 / total
                                                        : 0.0);
        metricFigures_.emplace_back("jitter_milliseconds", figures.jitter);
    }
    setPortExplanationWithXml(
        "<br>Local machine received UDP packets on port " + std::to_string(streamReceivePort_) +
        ".<br>Remote server sent UDP packets on port " + std::to_string(streamSendPort_) + ".");
}

// --- Bandwidth test ---

void TestResult::finishBandwidthPorts() {
    Guard guard(lock_);
    setPortExplanationWithXml("<br>Sent TCP packets from port " +
                              std::to_string(localBandwidthPort_) + " to remote port " +
                              std::to_string(remoteBandwidthPort_) + ".</p>");
}

// --- Shared steps ---

void TestResult::addVoiceQuality(double delayMs, double lossPercent, const char* label) {
    VoiceQuality quality = VoiceQuality::of(delayMs, lossPercent);
    addXmlNumber("eModelDelay", delayMs, 3);
    addXmlNumber("eModelLoss", lossPercent, 3);
    addXmlNumber("rFactor", quality.rating, 1);
    addXmlNumber("mos", quality.mos, 2);
    metricFigures_.emplace_back("r_factor", quality.rating);
    metricFigures_.emplace_back("mos", quality.mos);
    extraHtml_.append(
        format("<p>%s (ITU-T G.107 E-model, G.711): R <b>%.1f</b>, MOS <b>%.2f</b>, from a one-way "
               "delay of %.3f ms and %.2f percent of the packets lost.</p>\n",
               label, quality.rating, quality.mos, delayMs, lossPercent));
}

void TestResult::setPortExplanationWithXml(const std::string& html) {
    portExplanation_ = html;
    addXmlText("portExplanation", html);
}

// The output and error text are HTML; the XML carries them escaped once more.
void TestResult::pluginCompletion() {
    addXmlText("stdout", outputText_.str());
    addXmlText("stderr", errorText_.str());
}

}  // namespace trellon
