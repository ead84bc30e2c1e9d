#include "results/test_result.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "http/templates.h"
#include "lib/error_report.h"
#include "lib/socket_exception.h"
#include "platform/clock.h"
#include "results/test_metrics.h"
#include "results/xml_text.h"

namespace trellon {

namespace {

using Guard = std::lock_guard<RecordLock>;

void printConsole(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Characters with an HTML entity become it; a carriage return without one
// becomes crReplacement (a blank for the output text, itself for errors).
void appendAsHtml(ResponseBuffer& buffer, std::string_view text, bool isHtml, char crReplacement) {
    if (isHtml) {
        buffer.append(text);
        return;
    }
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const char* entity = htmlEntity(static_cast<unsigned char>(ch));
        if (entity != nullptr)
            out += entity;
        else if (ch == '\r')
            out += crReplacement;
        else
            out += ch;
    }
    buffer.append(out);
}

std::string location(const char* file, int line) {
    return std::string(" (File: ") + sourceFileName(file != nullptr ? file : "") + " line " +
           std::to_string(line) + ")</p>\n";
}

}  // namespace

void RecordLock::unlock() {
    mutex_.unlock();
    std::fflush(stdout);
}

std::string localTimeText(std::int64_t seconds) {
    std::tm tm{};
    if (!platform::localCalendarTime(seconds, tm)) return "";
    // asctime's layout: "%.3s %.3s%3d %.2d:%.2d:%.2d %d". The day is
    // formatted here: not every C runtime's strftime knows "%e".
    char names[32];
    if (std::strftime(names, sizeof(names), "%a %b", &tm) == 0) return "";
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%s%3d %.2d:%.2d:%.2d %d", names, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    return buffer;
}

TestResult::TestResult(int testId, const LocalEndpoint& local)
    : createdTime_(platform::nowSeconds()),
      testId_(testId),
      localComputer_(local.hostName),
      localPort_(local.controlPort) {
    Guard guard(lock_);
    addXmlText("localName", localComputer_);
    addXmlInt("localPort", localPort_);
    char url[512];
    std::snprintf(url, sizeof(url), "http://%s:%d/results?id=%d&format=html",
                  local.hostAddress.c_str(), local.controlPort, testId_);
    resultsUrl_ = url;
}

TestResult::~TestResult() = default;

// --- Identity, kind and state ---

int TestResult::getTestId() const {
    Guard guard(lock_);
    return testId_;
}

int TestResult::getTestType() const {
    Guard guard(lock_);
    return testType_;
}

void TestResult::setTestType(int type) {
    Guard guard(lock_);
    testType_ = type;
}

int TestResult::getState() const {
    Guard guard(lock_);
    return state_;
}

void TestResult::setState(int code) {
    Guard guard(lock_);
    state_ = code;
    if (code != kFinished || finishTime_ != 0) return;
    finishTime_ = platform::nowSeconds();
    addXmlText("finish", localTimeText(finishTime_));
    addXmlInt("finishTime", finishTime_);
    if (testType_ == kPluginAction) pluginCompletion();
    if (testType_ == kBandwidthTest)
        metricFigures_.emplace_back("bandwidth_bytes_per_second", bandwidth_);
    if (testType_ == kBandwidthTest || testType_ == kResponseTest || testType_ == kStreamingTest)
        TestMetrics::instance().noteFinished(typeName_, remoteComputer_, finishTime_,
                                             metricFigures_);
}

std::int64_t TestResult::getCreatedTime() const {
    Guard guard(lock_);
    return createdTime_;
}

std::int64_t TestResult::getStartTime() const {
    Guard guard(lock_);
    return startTime_;
}

std::int64_t TestResult::getFinishTime() const {
    Guard guard(lock_);
    return finishTime_;
}

void TestResult::setStartTime(std::int64_t seconds) {
    Guard guard(lock_);
    startTime_ = seconds;
    addXmlText("start", localTimeText(seconds));
    addXmlInt("startTime", seconds);
}

int TestResult::getTimeLimit() const {
    Guard guard(lock_);
    return timeLimit_;
}

void TestResult::setTimeLimit(int seconds) {
    Guard guard(lock_);
    timeLimit_ = seconds;
    addXmlInt("timeLimit", seconds);
}

int TestResult::secondsRemaining() const {
    return secondsRemaining(platform::nowSeconds());
}

int TestResult::secondsRemaining(std::int64_t now) const {
    Guard guard(lock_);
    if (startTime_ <= 0) return -1;
    return static_cast<int>(startTime_ + timeLimit_ - now);
}

bool TestResult::isCancelled() const {
    Guard guard(lock_);
    return cancelled_;
}

void TestResult::setCancelled() {
    Guard guard(lock_);
    cancelled_ = true;
}

bool TestResult::getRanFullPeriod() const {
    Guard guard(lock_);
    return ranFullPeriod_;
}

void TestResult::setRanFullPeriod() {
    Guard guard(lock_);
    ranFullPeriod_ = true;
}

// --- Page and description ---

#define TRL_TEXT_FIELD(getter, setter, member)          \
    std::string TestResult::getter() const {            \
        Guard guard(lock_);                             \
        return member;                                  \
    }                                                   \
    void TestResult::setter(const std::string& value) { \
        Guard guard(lock_);                             \
        member = value;                                 \
    }

#define TRL_INT_FIELD(getter, setter, member) \
    int TestResult::getter() const {          \
        Guard guard(lock_);                   \
        return member;                        \
    }                                         \
    void TestResult::setter(int value) {      \
        Guard guard(lock_);                   \
        member = value;                       \
    }

// An integer field that is recorded in the XML result under its own name.
#define TRL_INT_FIELD_XML(getter, setter, member, xmlName) \
    int TestResult::getter() const {                       \
        Guard guard(lock_);                                \
        return member;                                     \
    }                                                      \
    void TestResult::setter(int value) {                   \
        Guard guard(lock_);                                \
        member = value;                                    \
        addXmlInt(xmlName, value);                         \
    }

TRL_TEXT_FIELD(getResultsPage, setResultsPage, resultsPage_)
TRL_TEXT_FIELD(getRunningImage, setRunningImage, runningImage_)
TRL_TEXT_FIELD(getStoppedImage, setStoppedImage, stoppedImage_)
TRL_TEXT_FIELD(getTypeName, setTypeName, typeName_)
TRL_TEXT_FIELD(getRerunUrl, setRerunUrl, rerunUrl_)
TRL_TEXT_FIELD(getDestination, setDestination, destination_)
TRL_TEXT_FIELD(getRemoteComputer, setRemoteComputer, remoteComputer_)
TRL_INT_FIELD(getRefreshInterval, setRefreshInterval, refreshInterval_)
TRL_INT_FIELD(getStreamKind, setStreamKind, streamKind_)
TRL_INT_FIELD(getReportInterval, setReportInterval, reportInterval_)
TRL_INT_FIELD(getBufferDuration, setBufferDuration, bufferDuration_)
TRL_INT_FIELD(getStreamReceivePort, setStreamReceivePort, streamReceivePort_)
TRL_INT_FIELD(getStreamSendPort, setStreamSendPort, streamSendPort_)
TRL_INT_FIELD_XML(getRemotePort, setRemotePort, remotePort_, "remotePort")
TRL_INT_FIELD_XML(getBytesSent, setBytesSent, bytesSent_, "bytesSent")
TRL_INT_FIELD_XML(getBandwidth, setBandwidth, bandwidth_, "bandwidth")
TRL_INT_FIELD_XML(getLocalBandwidthPort, setLocalBandwidthPort, localBandwidthPort_,
                  "localBandwidthPort")
TRL_INT_FIELD_XML(getRemoteBandwidthPort, setRemoteBandwidthPort, remoteBandwidthPort_,
                  "remoteBandwidthPort")
TRL_INT_FIELD_XML(getRemoteReflectorPort, setRemoteReflectorPort, remoteReflectorPort_,
                  "remoteReflectorPort")
TRL_INT_FIELD_XML(getLocalResponsePort, setLocalResponsePort, localResponsePort_,
                  "localResponsePort")

#undef TRL_TEXT_FIELD
#undef TRL_INT_FIELD
#undef TRL_INT_FIELD_XML

std::string TestResult::getResultsUrl() const {
    Guard guard(lock_);
    return resultsUrl_;
}

std::string TestResult::getTitle() const {
    Guard guard(lock_);
    return title_;
}

void TestResult::setTitle(const std::string& text) {
    Guard guard(lock_);
    title_ = text;
    addXmlText("title", text);
}

std::string TestResult::getLocalRole() const {
    Guard guard(lock_);
    return localRole_;
}

void TestResult::setLocalRole(const std::string& text) {
    Guard guard(lock_);
    localRole_ = text;
    addXmlText("localRole", text);
}

std::string TestResult::getRemoteRole() const {
    Guard guard(lock_);
    return remoteRole_;
}

void TestResult::setRemoteRole(const std::string& text) {
    Guard guard(lock_);
    remoteRole_ = text;
    addXmlText("remoteRole", text);
}

std::vector<std::string> TestResult::getColumnHeadings() const {
    Guard guard(lock_);
    return columnHeadings_;
}

void TestResult::setColumnHeadings(const std::vector<std::string>& headings) {
    Guard guard(lock_);
    columnHeadings_ = headings;
}

std::optional<std::string> TestResult::getExplanation() const {
    Guard guard(lock_);
    return explanation_;
}

void TestResult::setExplanation(std::optional<std::string> text) {
    Guard guard(lock_);
    explanation_ = std::move(text);
}

void TestResult::addToExplanation(std::string_view text, std::string_view before) {
    Guard guard(lock_);
    if (!explanation_) explanation_.emplace();
    std::size_t at = before.empty() ? std::string::npos : explanation_->find(before);
    if (at == std::string::npos) at = explanation_->size();
    explanation_->insert(at, text);
}

std::optional<std::string> TestResult::getPortExplanation() const {
    Guard guard(lock_);
    return portExplanation_;
}

void TestResult::setPortExplanation(std::optional<std::string> text) {
    Guard guard(lock_);
    portExplanation_ = std::move(text);
}

std::string TestResult::getExtraHtml() const {
    Guard guard(lock_);
    return extraHtml_.str();
}

void TestResult::appendExtraHtml(std::string_view html) {
    Guard guard(lock_);
    extraHtml_.append(html);
}

// --- Endpoints and marking ---

std::string TestResult::getLocalComputer() const {
    Guard guard(lock_);
    return localComputer_;
}

int TestResult::getLocalPort() const {
    Guard guard(lock_);
    return localPort_;
}

int TestResult::getDscp() const {
    Guard guard(lock_);
    return dscp_;
}

void TestResult::setDscp(int code) {
    Guard guard(lock_);
    if (code > 63) printConsole("bug\n");
    dscp_ = code;
}

int TestResult::get8021p() const {
    Guard guard(lock_);
    return priority8021p_;
}

void TestResult::set8021p(int priority) {
    Guard guard(lock_);
    if (priority > 7) printConsole("bug\n");
    priority8021p_ = priority;
}

// --- Rows ---

void TestResult::addRow(std::int64_t time, const std::vector<std::string>& cells) {
    Guard guard(lock_);
    // A request from a program skips the form checks, so a test may run with
    // no pause for a long time: the table stops growing at its bound, while
    // the figures, kept in counters, still count every sample.
    if (rows_.size() >= kMaxRows) return;
    rows_.push_back(ReportRow{time, cells});
}

void TestResult::addRowFromLine(std::int64_t time, std::string_view line) {
    std::vector<std::string> cells(4);
    std::size_t start = 0;
    for (std::size_t field = 0; field < 4; ++field) {
        std::size_t tab = line.find('\t', start);
        cells[field] = std::string(line.substr(
            start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    addRow(time, cells);
}

std::optional<ReportRow> TestResult::getRow(int index) const {
    Guard guard(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= rows_.size()) return std::nullopt;
    return rows_[static_cast<std::size_t>(index)];
}

int TestResult::getRowCount() const {
    Guard guard(lock_);
    return static_cast<int>(rows_.size());
}

// --- Output and error text ---

bool TestResult::getStdoutIsHtml() const {
    Guard guard(lock_);
    return stdoutIsHtml_;
}

void TestResult::setStdoutIsHtml(bool on) {
    Guard guard(lock_);
    stdoutIsHtml_ = on;
}

bool TestResult::getStderrIsHtml() const {
    Guard guard(lock_);
    return stderrIsHtml_;
}

void TestResult::setStderrIsHtml(bool on) {
    Guard guard(lock_);
    stderrIsHtml_ = on;
}

void TestResult::appendStdout(std::string_view text) {
    Guard guard(lock_);
    appendAsHtml(outputText_, text, stdoutIsHtml_, ' ');
}

void TestResult::appendStderr(std::string_view text) {
    Guard guard(lock_);
    appendAsHtml(errorText_, text, stderrIsHtml_, '\r');
}

// The test threads' messages are HTML built by the agent (a paragraph with
// the reason), so they are kept as HTML; their callers escape what they quote.
void TestResult::addMessage(std::string_view html) {
    Guard guard(lock_);
    outputText_.append(html);
}

std::string TestResult::getOutputText() const {
    Guard guard(lock_);
    return outputText_.str();
}

std::string TestResult::getErrorText() const {
    Guard guard(lock_);
    return errorText_.str();
}

// The messages are escaped: they can carry a host name the user typed, and
// the output text is shown as HTML.
void TestResult::recordSocketException(const SocketException& e, const char* file, int line) {
    Guard guard(lock_);
    outputText_.append("<h4>Socket exception recorded</h4><p>\n" + escapeHtml(e.message()) +
                       ", code=" + std::to_string(e.code()) +
                       ", severity=" + std::to_string(e.severity()) + location(file, line));
}

void TestResult::recordRuntimeException(const std::exception& e, const char* file, int line) {
    Guard guard(lock_);
    outputText_.append("<h4>Runtime exception recorded</h4><p>\n" + escapeHtml(e.what()) +
                       location(file, line));
}

void TestResult::recordUnknownException(const char* file, int line) {
    Guard guard(lock_);
    outputText_.append("<h4>Unidentified runtime exception recorded</h4><p>\n" +
                       location(file, line));
}

// --- Final figures ---

std::string TestResult::getFinalResults() const {
    Guard guard(lock_);
    return finalResults_;
}

void TestResult::setFinalResults(const std::string& html) {
    Guard guard(lock_);
    finalResults_ = html;
    if (ranFullPeriod_) finalResults_ += "<br>Test ran entire time period you asked for.";
    if (cancelled_) finalResults_ += "<br>This test was cancelled by the user.";
    addXmlText("finalResults", finalResults_);
}

bool TestResult::hasFinalResults() const {
    Guard guard(lock_);
    return finalResults_ != kStillRunningText;
}

void TestResult::endWithReason(const std::string& html) {
    Guard guard(lock_);
    if (finalResults_ == kStillRunningText) setFinalResults(html);
    setState(kFinished);
}

// --- Response-time counters ---

void TestResult::addResponseFigures(std::int64_t roundTripMicroseconds,
                                    std::int64_t heldMicroseconds, std::int64_t rowTime) {
    Guard guard(lock_);
    ++sampleCount_;
    std::int64_t roundTrip = std::max<std::int64_t>(roundTripMicroseconds, 0) / 1000;
    std::int64_t held = std::clamp<std::int64_t>(heldMicroseconds / 1000, 0, roundTrip);
    std::int64_t latency = (roundTrip - held) / 2;
    latencySumMs_ += latency;
    double average = static_cast<double>(latencySumMs_) / sampleCount_;
    // The writer counts a probe once its send returned; on a fast path the
    // reply can be read first, and the row must not say "0 / 1".
    int sent = std::max(packetsSent_, packetsReceived_);
    char averageText[64];
    std::snprintf(averageText, sizeof(averageText), "%5.3f ms", average);
    std::vector<std::string> cells{std::to_string(sent) + " / " + std::to_string(packetsReceived_),
                                   std::to_string(latency) + " ms", std::to_string(held) + " ms",
                                   averageText};
    for (auto& cell : addResponseMicroseconds(roundTripMicroseconds, heldMicroseconds))
        cells.push_back(std::move(cell));
    addRow(rowTime, cells);
}

std::vector<std::string> TestResult::addResponseMicroseconds(std::int64_t roundTrip,
                                                             std::int64_t held) {
    responseMicroseconds_.add(roundTrip, held);
    auto asMs = [](double microseconds) {
        char text[64];
        std::snprintf(text, sizeof(text), "%.3f ms", microseconds / 1000.0);
        return std::string(text);
    };
    return {asMs(static_cast<double>(responseMicroseconds_.lastLatency())),
            asMs(static_cast<double>(responseMicroseconds_.lastHeld())),
            asMs(responseMicroseconds_.meanLatency())};
}

ResponseMicroseconds TestResult::getResponseMicroseconds() const {
    Guard guard(lock_);
    return responseMicroseconds_;
}

void TestResult::addPacketSent() {
    Guard guard(lock_);
    ++packetsSent_;
}

void TestResult::addPacketReceived() {
    Guard guard(lock_);
    ++packetsReceived_;
}

int TestResult::getPacketsSent() const {
    Guard guard(lock_);
    return packetsSent_;
}

int TestResult::getPacketsReceived() const {
    Guard guard(lock_);
    return packetsReceived_;
}

int TestResult::getSampleCount() const {
    Guard guard(lock_);
    return sampleCount_;
}

std::int64_t TestResult::getLatencySumMs() const {
    Guard guard(lock_);
    return latencySumMs_;
}

double TestResult::getAverageLatencyMs() const {
    Guard guard(lock_);
    return averageLatencyMs_;
}

double TestResult::getLossPercent() const {
    Guard guard(lock_);
    return lossPercent_;
}

// --- Streaming ---

std::int64_t TestResult::getNextReportTime() const {
    Guard guard(lock_);
    return nextReportTime_;
}

void TestResult::setNextReportTime(std::int64_t seconds) {
    Guard guard(lock_);
    nextReportTime_ = seconds;
}

Timestamp TestResult::getFirstPacketTime() const {
    Guard guard(lock_);
    return firstPacketTime_;
}

Timestamp TestResult::getLastPacketTime() const {
    Guard guard(lock_);
    return lastPacketTime_;
}

// --- Plug-in actions ---

std::shared_ptr<PluginEntry> TestResult::getPlugin() const {
    Guard guard(lock_);
    return plugin_;
}

void TestResult::setPlugin(std::shared_ptr<PluginEntry> plugin) {
    Guard guard(lock_);
    plugin_ = std::move(plugin);
}

std::map<std::string, std::string> TestResult::getFormValues() const {
    Guard guard(lock_);
    return formValues_;
}

void TestResult::setFormValue(const std::string& name, const std::string& value) {
    Guard guard(lock_);
    formValues_[name] = value;
}

void TestResult::addFormValuesToXml() {
    Guard guard(lock_);
    for (const auto& [name, value] : formValues_) addXmlText(name, value);
}

Thread* TestResult::getActionThread() const {
    Guard guard(lock_);
    return actionThread_;
}

void TestResult::setActionThread(Thread* thread) {
    Guard guard(lock_);
    actionThread_ = thread;
}

// --- XML extras ---

void TestResult::appendXmlElement(std::string_view name, std::string_view escapedValue) {
    std::string element;
    element.reserve(name.size() * 2 + escapedValue.size() + 10);
    element += "    <";
    element += name;
    element += '>';
    element += escapedValue;
    element += "</";
    element += name;
    element += ">\n";
    xmlExtras_.append(element);
}

void TestResult::addXmlText(std::string_view name, std::string_view text) {
    Guard guard(lock_);
    std::string element = xmlElementName(name);
    appendXmlElement(element, escapeXml(text));
    jsonMembers_.push_back({std::move(element), std::string(text), false});
}

void TestResult::addXmlInt(std::string_view name, long long value) {
    Guard guard(lock_);
    std::string element = xmlElementName(name);
    appendXmlElement(element, std::to_string(value));
    jsonMembers_.push_back({std::move(element), std::to_string(value), true});
}

void TestResult::addXmlLatency(double milliseconds) {
    if (!(milliseconds <= 99999.99 && milliseconds >= -99999.99)) milliseconds = 0.0;  // also NaN
    char text[32];
    std::snprintf(text, sizeof(text), "%8.3f", milliseconds);
    Guard guard(lock_);
    appendXmlElement("latency", text);
    std::snprintf(text, sizeof(text), "%.3f", milliseconds);
    jsonMembers_.push_back({"latency", text, true});
}

void TestResult::addXmlNumber(std::string_view name, double value, int decimals) {
    if (!std::isfinite(value)) value = 0.0;
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", std::clamp(decimals, 0, 9), value);
    if (std::strlen(text) >= sizeof(text) - 1) std::snprintf(text, sizeof(text), "0");
    Guard guard(lock_);
    std::string element = xmlElementName(name);
    appendXmlElement(element, text);
    jsonMembers_.push_back({std::move(element), text, true});
}

std::string TestResult::getXmlExtras() const {
    Guard guard(lock_);
    return xmlExtras_.str();
}

}  // namespace trellon
