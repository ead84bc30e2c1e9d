// TestResult: the record of one test, built-in or plug-in.
//
// A record is shared by the request thread that created it, the test's own
// threads, and any number of request threads that display it; the test log
// may drop it while its test still runs, so it is held through shared_ptr and
// lives until the last holder lets go. Every operation takes the record's own
// lock for its whole duration. The lock is recursive: operations that call
// others on the same record (setFinalResults adding its XML element, the
// results page rendering many fields under one acquisition) take it again.
//
// Lock order: the test log's lock, then a record's lock (findTestResult).
// Never call into the test log while holding a record's lock.
//
// XML: the setters that add an element append it to xmlExtras, which the XML
// document (xmlDocument) emits in the order the elements were added. Values
// passed to addXmlText and to every setter are raw text: they are escaped for
// XML here, exactly once, so callers must not escape them first.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/response_buffer.h"
#include "lib/timestamp.h"
#include "results/json_text.h"
#include "results/response_microseconds.h"

namespace trellon {

class PluginEntry;
class SocketException;
class Thread;

// A record's lock. Unlocking also flushes the console, so the console lines a
// test writes while it holds its record come out before anything that follows.
class RecordLock {
public:
    void lock() { mutex_.lock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock();

private:
    std::recursive_mutex mutex_;
};

// Where the local agent is reached: its host name (shown as localComputer),
// the address put into links, and the control port.
struct LocalEndpoint {
    std::string hostName;
    std::string hostAddress;
    int controlPort = 4044;
};

// One row of the progress table: the time the caller stamped and its cells.
struct ReportRow {
    std::int64_t time = 0;
    std::vector<std::string> cells;

    int cellCount() const { return static_cast<int>(cells.size()); }
};

// What the streaming figures read of the stream receiver's statistics, filled
// by the receiver and handed to addStreamReport and finishStream. Jitter values
// are milliseconds. gapCounts[g - 1] counts the gaps of g packets (1 to the
// buffer size); the interval fields cover the current report interval only.
struct StreamReportFigures {
    int packetCount = 0;
    int outOfOrder = 0;
    int duplicate = 0;
    int dropped = 0;
    int late = 0;
    int jitterSampleCount = 0;
    int jitter = 0;  // average
    long maxJitter = 0;
    int jitterMovingAverage16 = 0;
    int bufferSize = 0;  // jitter buffer, in packets
    std::vector<int> gapCounts;

    int intervalPackets = 0;
    int intervalOutOfOrder = 0;
    int intervalDuplicate = 0;
    int intervalLost = 0;
    std::vector<int> intervalGapCounts;
    int intervalMaxJitter = 0;
    int intervalJitter = 0;  // average
    // Mean one-way network delay of the stream's packets in microseconds,
    // when the receiver can tell it (its clock agrees with the sender's);
    // -1: not known, and the voice quality then counts the jitter buffer's
    // delay alone.
    std::int64_t oneWayDelayUs = -1;
};

class TestResult {
public:
    enum State : int {
        kNotStarted = 1000,
        kStarting = 1001,
        kRunning = 1002,
        kWaitingForFinalData = 1003,
        kFinished = 1004,
    };
    enum Type : int {
        kBandwidthTest = 100,
        kResponseTest = 101,
        kStreamingTest = 103,
        kPluginAction = 104,
    };
    enum StreamKind : int { kVoiceStream = 200, kVideoStream = 201, kCustomStream = 202 };

    static constexpr const char* kStillRunningText = "Test is still running...";

    // Records are made by the test log, which gives the identifier and the
    // local endpoint; tests may make them directly.
    TestResult(int testId, const LocalEndpoint& local);
    virtual ~TestResult();

    TestResult(const TestResult&) = delete;
    TestResult& operator=(const TestResult&) = delete;

    // Held by callers that read or write several fields as one step (the
    // results page, the engines updating counters and their XML together).
    RecordLock& lock() const { return lock_; }

    // Identity, kind and state.
    int getTestId() const;
    int getTestType() const;
    void setTestType(int type);
    int getState() const;
    // Moving to kFinished the first time stamps finishTime and adds `finish`
    // and `finishTime` (for a plug-in action also `stdout` and `stderr`).
    void setState(int code);
    std::int64_t getCreatedTime() const;
    std::int64_t getStartTime() const;
    std::int64_t getFinishTime() const;
    void setStartTime(std::int64_t seconds);  // adds `start` and `startTime`
    int getTimeLimit() const;
    void setTimeLimit(int seconds);  // adds `timeLimit`
    // startTime + timeLimit - now once started, else -1.
    int secondsRemaining() const;
    int secondsRemaining(std::int64_t now) const;
    bool isCancelled() const;
    void setCancelled();
    bool getRanFullPeriod() const;
    void setRanFullPeriod();

    // Page and description.
    std::string getResultsUrl() const;
    std::string getResultsPage() const;
    void setResultsPage(const std::string& path);
    std::string getRunningImage() const;
    void setRunningImage(const std::string& name);
    std::string getStoppedImage() const;
    void setStoppedImage(const std::string& name);
    int getRefreshInterval() const;
    void setRefreshInterval(int seconds);
    std::string getTypeName() const;
    void setTypeName(const std::string& text);
    std::string getTitle() const;
    void setTitle(const std::string& text);  // adds `title`
    std::string getLocalRole() const;
    void setLocalRole(const std::string& text);  // adds `localRole`
    std::string getRemoteRole() const;
    void setRemoteRole(const std::string& text);  // adds `remoteRole`
    std::vector<std::string> getColumnHeadings() const;
    void setColumnHeadings(const std::vector<std::string>& headings);
    std::optional<std::string> getExplanation() const;
    void setExplanation(std::optional<std::string> text);  // nullopt clears it
    // Adds a sentence known only once the test runs (a marking that is in
    // place) to the explanation: just before `before` when the explanation
    // holds it, else at the end.
    void addToExplanation(std::string_view text, std::string_view before);
    std::optional<std::string> getPortExplanation() const;
    void setPortExplanation(std::optional<std::string> text);
    std::string getRerunUrl() const;
    void setRerunUrl(const std::string& url);
    std::string getDestination() const;
    void setDestination(const std::string& text);
    std::string getExtraHtml() const;
    void appendExtraHtml(std::string_view html);

    // Endpoints.
    std::string getLocalComputer() const;
    int getLocalPort() const;
    std::string getRemoteComputer() const;
    void setRemoteComputer(const std::string& text);
    int getRemotePort() const;
    void setRemotePort(int port);  // adds `remotePort`

    // Packet marking asked for: -1 none. Out-of-range values are stored and
    // marked by the console line "bug".
    int getDscp() const;
    void setDscp(int code);
    int get8021p() const;
    void set8021p(int priority);

    // Progress rows, oldest first; at most kMaxRows are kept.
    static constexpr std::size_t kMaxRows = 10000;
    void addRow(std::int64_t time, const std::vector<std::string>& cells);
    // Splits at TABs into exactly four cells: missing fields are empty, text
    // after the fourth TAB is dropped.
    void addRowFromLine(std::int64_t time, std::string_view line);
    std::optional<ReportRow> getRow(int index) const;  // 0 = oldest
    int getRowCount() const;

    // Output and error text (HTML).
    bool getStdoutIsHtml() const;
    void setStdoutIsHtml(bool on);
    bool getStderrIsHtml() const;
    void setStderrIsHtml(bool on);
    // Unless the text is already HTML: characters with an HTML entity become
    // it; a carriage return becomes a blank in the output text and stays in
    // the error text.
    void appendStdout(std::string_view text);
    void appendStderr(std::string_view text);
    // The test threads' failure messages: HTML, appended as it is (callers
    // escape the text they quote).
    void addMessage(std::string_view html);
    std::string getOutputText() const;
    std::string getErrorText() const;

    // Exception paragraphs; file and line name the catching handler.
    void recordSocketException(const SocketException& e, const char* file, int line);
    void recordRuntimeException(const std::exception& e, const char* file, int line);
    void recordUnknownException(const char* file, int line);

    // Final figures. The text is HTML; the sentences for a test that ran its
    // whole period and for a cancelled one are appended; adds `finalResults`.
    std::string getFinalResults() const;
    void setFinalResults(const std::string& html);
    // Whether final results were set (the text is no longer the running text).
    bool hasFinalResults() const;
    // Ends a test that could not give its figures: the reason (HTML) becomes
    // the final text unless figures are already in, and the record moves to
    // finished, so its page never says "Test finished." beside the running
    // text.
    void endWithReason(const std::string& html);

    // Bandwidth test.
    int getBytesSent() const;
    void setBytesSent(int bytes);  // adds `bytesSent`
    int getBandwidth() const;
    void setBandwidth(int rate);  // adds `bandwidth`
    int getLocalBandwidthPort() const;
    void setLocalBandwidthPort(int port);  // adds `localBandwidthPort`
    int getRemoteBandwidthPort() const;
    void setRemoteBandwidthPort(int port);  // adds `remoteBandwidthPort`

    // Response-time test.
    void addPacketSent();
    void addPacketReceived();
    int getPacketsSent() const;
    int getPacketsReceived() const;
    int getSampleCount() const;
    std::int64_t getLatencySumMs() const;
    double getAverageLatencyMs() const;
    double getLossPercent() const;
    // The same figures in microseconds (a copy, taken under the lock).
    ResponseMicroseconds getResponseMicroseconds() const;
    int getRemoteReflectorPort() const;
    void setRemoteReflectorPort(int port);  // adds `remoteReflectorPort`
    int getLocalResponsePort() const;
    void setLocalResponsePort(int port);  // adds `localResponsePort`

    // Streaming test.
    int getStreamKind() const;
    void setStreamKind(int kind);
    int getReportInterval() const;
    void setReportInterval(int seconds);
    int getBufferDuration() const;
    void setBufferDuration(int milliseconds);
    std::int64_t getNextReportTime() const;
    void setNextReportTime(std::int64_t seconds);
    Timestamp getFirstPacketTime() const;
    Timestamp getLastPacketTime() const;
    int getStreamReceivePort() const;
    void setStreamReceivePort(int port);
    int getStreamSendPort() const;
    void setStreamSendPort(int port);

    // Plug-in actions.
    std::shared_ptr<PluginEntry> getPlugin() const;
    void setPlugin(std::shared_ptr<PluginEntry> plugin);
    std::map<std::string, std::string> getFormValues() const;
    void setFormValue(const std::string& name, const std::string& value);
    void addFormValuesToXml();  // one element per form value
    // The plug-in's child-process thread; not owned.
    Thread* getActionThread() const;
    void setActionThread(Thread* thread);

    // XML extras. Names that XML would refuse are mended (form field names);
    // values are escaped. addXmlLatency adds `latency` as "%8.3f", or 0.000
    // when the value lies outside +-99999.99.
    void addXmlText(std::string_view name, std::string_view text);
    void addXmlInt(std::string_view name, long long value);
    void addXmlLatency(double milliseconds);
    // A figure with decimals: "%.*f" in both the XML and the JSON, 0 when it
    // is not finite.
    void addXmlNumber(std::string_view name, double value, int decimals);
    std::string getXmlExtras() const;

    // --- Rendering (result_rendering.cpp) ---

    // The whole XML result; `done` is 1 once finished.
    std::string xmlDocument() const;
    // The same record as one JSON object: `type`, `id`, `done`, then every
    // element of the XML result with its raw value, numbers as numbers.
    std::string jsonDocument() const;
    // The HTML progress table, newest row first.
    std::string progressTableHtml() const;
    // "<label>from <local> to <remote>".
    std::string pageTitle() const;

    // One probe received back, its round trip and the reflector's hold worked
    // out from the probe's times by the caller (in microseconds); rowTime
    // stamps its progress row. Both are truncated to milliseconds first; a
    // round trip below 0 counts as 0, a hold below 0 as 0 and one longer than
    // the trip as the trip, so no sample can be negative or inflated. The
    // microsecond figures are kept beside them, untruncated, and the row
    // ends with three more cells: travel time, hold and average as "0.034 ms".
    void addResponseFigures(std::int64_t roundTripMicroseconds, std::int64_t heldMicroseconds,
                            std::int64_t rowTime);
    // One probe received back: sent (T1), reflector in (T2) and out (T3), and
    // received (T4, which also stamps the row). Adds a progress row.
    void addResponseSample(const Timestamp& sent, const Timestamp& reflectorIn,
                           const Timestamp& reflectorOut, const Timestamp& received);
    // The marking one reply tells of: the DSCP its probe had at the remote
    // reflector and the DSCP the reply came back with (-1: not known, as
    // with a reflector that does not report it).
    void addResponseMarking(int seenAtReflector, int cameBack);
    // Loss, average latency, final sentence and port sentence; only while running.
    void finishResponse();

    // Per packet received: a progress row once the report interval has passed.
    // True when a row was added, so the receiver starts a new interval.
    bool addStreamReport(const StreamReportFigures& figures, const Timestamp& now);
    bool addStreamReport(const StreamReportFigures& figures) {
        return addStreamReport(figures, Timestamp::now());
    }
    // Final sentences, gap table and figures; only while running.
    void finishStream(const StreamReportFigures& figures, const Timestamp& now);
    void finishStream(const StreamReportFigures& figures) {
        finishStream(figures, Timestamp::now());
    }

    // The bandwidth test's port sentence.
    void finishBandwidthPorts();

private:
    // Feeds the microsecond figures; the row's three microsecond cells.
    std::vector<std::string> addResponseMicroseconds(std::int64_t roundTrip, std::int64_t held);
    void appendXmlElement(std::string_view name, std::string_view escapedValue);
    void setPortExplanationWithXml(const std::string& html);
    // R and MOS for a call with that delay and loss: XML elements and a sentence.
    void addVoiceQuality(double delayMs, double lossPercent, const char* label);
    void pluginCompletion();

    ResponseBuffer extraHtml_;
    int testType_ = 0;
    std::string resultsPage_;
    int state_ = kNotStarted;
    std::int64_t createdTime_;
    std::int64_t nextReportTime_ = 0;
    std::int64_t startTime_ = -1;
    std::int64_t finishTime_ = 0;
    int timeLimit_ = 0;
    const int testId_;
    bool cancelled_ = false;
    bool ranFullPeriod_ = false;
    std::string resultsUrl_;
    std::string runningImage_ = "running.gif";
    std::string stoppedImage_ = "stopped.gif";
    int refreshInterval_ = 10;
    std::string typeName_;
    std::string title_;
    std::string localRole_;
    std::string remoteRole_;
    std::vector<std::string> columnHeadings_;
    std::optional<std::string> explanation_;
    std::optional<std::string> portExplanation_;
    std::string localComputer_;
    int localPort_;
    std::string remoteComputer_;
    int remotePort_ = 0;
    std::string rerunUrl_;
    std::string destination_;
    mutable RecordLock lock_;  // guards every field of the record
    std::vector<ReportRow> rows_;
    ResponseBuffer outputText_;
    ResponseBuffer errorText_;
    ResponseBuffer xmlExtras_;
    std::vector<JsonMember> jsonMembers_;  // the elements of xmlExtras_, unescaped
    std::string finalResults_ = kStillRunningText;
    int bytesSent_ = 0;
    int bandwidth_ = 0;
    // 64 bits: the latencies derive from times the remote reflector echoes,
    // and a hostile one must not make the sum overflow.
    std::int64_t latencySumMs_ = 0;
    ResponseMicroseconds responseMicroseconds_;
    // Replies by the DSCP seen at the reflector and on the way back (-1: not known).
    std::map<int, int> dscpSeenAtReflector_;
    std::map<int, int> dscpCameBack_;
    // The figures /metrics shows once the test has finished, as the finishing
    // steps work them out.
    std::vector<std::pair<std::string, double>> metricFigures_;
    int sampleCount_ = 0;
    int packetsSent_ = 0;
    int packetsReceived_ = 0;
    double averageLatencyMs_ = 0.0;
    double lossPercent_ = 0.0;
    Timestamp firstPacketTime_;
    Timestamp lastPacketTime_;
    int streamKind_ = 0;
    int remoteReflectorPort_ = 0;
    int localResponsePort_ = 0;
    int localBandwidthPort_ = 0;
    int remoteBandwidthPort_ = 0;
    int streamReceivePort_ = 0;
    int streamSendPort_ = 0;
    int reportInterval_ = 0;
    int bufferDuration_ = 0;
    int dscp_ = -1;
    int priority8021p_ = -1;
    bool stdoutIsHtml_ = false;
    bool stderrIsHtml_ = false;
    std::shared_ptr<PluginEntry> plugin_;
    std::map<std::string, std::string> formValues_;
    Thread* actionThread_ = nullptr;
};

// The local date and time in the C library's 24-character form
// ("Tue Mar 14 10:05:00 1995"), without a line end.
std::string localTimeText(std::int64_t seconds);

}  // namespace trellon
