#include "commands/run_bandwidth_command.h"

#include "commands/page_support.h"
#include "http/form_variables.h"
#include "lib/agent_state.h"
#include "nettests/bandwidth_test_thread.h"
#include "results/test_result.h"

namespace trellon {

namespace {

const RunBandwidthCommand::Request& asBandwidth(const RunTestRequest& run) {
    return static_cast<const RunBandwidthCommand::Request&>(run);
}

struct Unit {
    const char* name;
    std::int64_t factor;
    const char* mark;  // the page's selection mark of this unit
};

constexpr Unit kUnits[] = {
    {"Bytes", 1, "$bytesselected"},          {"K Bits", 125, "$kbitselected"},
    {"K Bytes", 1000, "$kbytesselected"},    {"M Bits", 125000, "$mbitsselected"},
    {"M Bytes", 1000000, "$mbytesselected"},
};

constexpr std::int64_t kMaxTestBytes = 1000000000;

}  // namespace

RunBandwidthCommand::RunBandwidthCommand()
    : RunTestCommand({"bandwidth", "bandwidthpage", TestResult::kBandwidthTest,
                      "running_bandwidth.gif", "stopped_bandwidth.gif",
                      BandwidthTestThread::columnHeadings(), "Source", "Destination",
                      "Bandwidth Test", "Bandwidth"}) {}

std::int64_t RunBandwidthCommand::unitFactor(const std::string& units) {
    for (const Unit& unit : kUnits)
        if (units == unit.name) return unit.factor;
    return 0;
}

std::int64_t RunBandwidthCommand::testBytes(int testSize, const std::string& units) {
    std::int64_t factor = unitFactor(units);
    if (factor == 0) return -1;
    // readNumber stops at INT_MAX, so the product stays far inside 64 bits.
    return std::int64_t{testSize} * factor;
}

std::unique_ptr<RunTestRequest> RunBandwidthCommand::newRequest() const {
    return std::make_unique<Request>();
}

bool RunBandwidthCommand::answersWithoutPage(const std::string& format) const {
    return format == "xml" || format == "json" || format == "text";
}

void RunBandwidthCommand::readFields(const FormVariables& form, RunTestRequest& run) const {
    auto& bandwidth = static_cast<Request&>(run);
    bandwidth.testSizeText = form.get("testSize");
    bandwidth.testSizeUnits = form.get("testSizeUnits");
    bandwidth.reportIntervalText = form.get("reportInterval");
    if (answersWithoutPage(run.format) && bandwidth.reportIntervalText.empty())
        bandwidth.reportIntervalText = std::to_string(kProgramReportInterval);
    // A size that is not a number ("12a") is no size at all, so it gets the
    // size message too rather than running with its leading digits.
    bandwidth.testBytes =
        isNumber(bandwidth.testSizeText)
            ? testBytes(readNumber(bandwidth.testSizeText), bandwidth.testSizeUnits)
            : -1;
    bandwidth.reportInterval = readNumber(bandwidth.reportIntervalText);
}

void RunBandwidthCommand::checkFields(const RunTestRequest& run, Messages& errors) const {
    const Request& bandwidth = asBandwidth(run);
    if (!isNumber(bandwidth.testSizeText))
        errors.push_back("<p>Please enter a number for the test file size.<p>");
    if (bandwidth.testBytes < 1 || bandwidth.testBytes > kMaxTestBytes)
        errors.push_back("<p>Please enter a test size between 1 byte and  1 gigabyte.</p>");
    if (!isNumber(run.timeLimitText))
        errors.push_back("<p>Please enter number for the time limit.</p>");
    if (run.timeLimit < 1 || run.timeLimit > maximumTimeLimit())
        errors.push_back(timeLimitMessage(maximumTimeLimit()));
    if (!isNumber(bandwidth.reportIntervalText))
        errors.push_back("<p>Please enter number for the list progress interval.</p>");
    if (run.reportInterval < 1 || run.reportInterval > 60)
        errors.push_back("<p>Please enter a list progress interval between 1 and 60 seconds.</p>");
    if (!isNumber(run.refreshIntervalText))
        errors.push_back(
            "<p>Please enter number for the time to wait before refreshing the screen.</p>");
    if (run.refreshInterval < 1 || run.refreshInterval > 60)
        errors.push_back(
            "<p>Please enter time to wait before refreshing the screen between 1 and 60 "
            "seconds.</p>");
}

void RunBandwidthCommand::setSelectionMarks(const RunTestRequest& run, FormVariables& form) const {
    const Request& bandwidth = asBandwidth(run);
    for (const Unit& unit : kUnits)
        form.set(unit.mark, bandwidth.testSizeUnits == unit.name ? "SELECTED" : "");
}

std::string RunBandwidthCommand::explanationHead(const RunTestRequest& run) const {
    const Request& bandwidth = asBandwidth(run);
    return "Copy data from <b>" + escapeUserText(run.hostName) + "</b> to <b>" +
           escapeUserText(run.remoteComputer) +
           "</b> and calculate how many bytes can be sent per second." + "  Copy <b>" +
           std::to_string(bandwidth.testBytes) + "</b> bytes.  " + "Spend no more than <b>" +
           std::to_string(run.timeLimit) + "</b> seconds.  ";
}

void RunBandwidthCommand::addXmlElements(const RunTestRequest& run, TestResult& record) const {
    const Request& bandwidth = asBandwidth(run);
    record.addXmlText("localComputer", run.hostName);
    record.addXmlInt("localControlPort", run.controlPort);
    record.addXmlText("remoteComputer", run.remoteComputer);
    record.addXmlInt("remoteControlPort", run.remoteControlPort);
    record.addXmlInt("testFileSize", bandwidth.testBytes);
}

std::unique_ptr<TestThread> RunBandwidthCommand::createThread(const RunTestRequest& run,
                                                              std::shared_ptr<TestResult> record,
                                                              bool deleteSelf) const {
    const Request& bandwidth = asBandwidth(run);
    AgentState* agent = AgentState::current();
    int localPort = agent != nullptr ? agent->bandwidthPort.load() : 0;
    return std::make_unique<BandwidthTestThread>(
        std::move(record), run.remoteComputer, run.remoteControlPort, bandwidth.testBytes,
        run.reportInterval, run.timeLimit, run.dscp, run.priority, localPort, deleteSelf);
}

int RunBandwidthCommand::maximumTimeLimit() const {
    AgentState* agent = AgentState::current();
    return agent != nullptr ? agent->bandwidthTimeLimit.load() : 60;
}

}  // namespace trellon
