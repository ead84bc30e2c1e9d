#include "commands/run_response_command.h"

#include "commands/page_support.h"
#include "lib/agent_state.h"
#include "nettests/response_test_thread.h"
#include "results/test_result.h"

namespace trellon {

namespace {

const RunResponseCommand::Request& asResponse(const RunTestRequest& run) {
    return static_cast<const RunResponseCommand::Request&>(run);
}

}  // namespace

RunResponseCommand::RunResponseCommand()
    : RunTestCommand({"response",
                      "responsepage",
                      TestResult::kResponseTest,
                      "running_response.gif",
                      "stopped_response.gif",
                      {"Report", "Min:Sec", "Packets<br>Sent / Received",
                       "Travel time<br>(Each way)", "Delay time<br>at remote reflector",
                       "Average travel time<br>for all packets", "Travel time<br>in microseconds",
                       "Delay time<br>in microseconds", "Average travel time<br>in microseconds"},
                      "Source",
                      "Packet reflector",
                      "Round Trip Response Time Test",
                      "Response"}) {}

std::unique_ptr<RunTestRequest> RunResponseCommand::newRequest() const {
    return std::make_unique<Request>();
}

void RunResponseCommand::readFields(const FormVariables& form, RunTestRequest& run) const {
    auto& response = static_cast<Request&>(run);
    response.testSizeText = form.get("testSize");
    response.pauseText = form.get("pause");
    response.packetSize = readNumber(response.testSizeText);
    response.repeatCount = readNumber(form.get("repeatCount"));
    response.pause = readNumber(response.pauseText);
}

void RunResponseCommand::checkFields(const RunTestRequest& run, Messages& errors) const {
    const Request& response = asResponse(run);
    if (!isNumber(response.testSizeText))
        errors.push_back("<p>Please enter a number for the test packet size.<p>");
    if (response.packetSize < 100 || response.packetSize > 1500)
        errors.push_back("<p>Please enter a test packet size between 100 and 1500.</p>");
    if (!isNumber(response.pauseText))
        errors.push_back("<p>Please enter a number for the pause between packets time.<p>");
    if (response.pause < 50 || response.pause > 10000)
        errors.push_back(
            "<p>Please enter a pause between packets time between 50 and 10,000 milliseconds.</p>");
    if (!isNumber(run.timeLimitText))
        errors.push_back("<p>Please enter number for the time limit.</p>");
    if (run.timeLimit < 1 || run.timeLimit > maximumTimeLimit())
        errors.push_back(timeLimitMessage(maximumTimeLimit()));
    if (!isNumber(run.refreshIntervalText))
        errors.push_back(
            "<p>Please enter a number for the time to wait before refreshing the screen.</p>");
    if (run.refreshInterval < 1 || run.refreshInterval > 60)
        errors.push_back(
            "<p>Please enter time to wait before refreshing the screen between 1 and 60 "
            "seconds.</p>");
}

std::string RunResponseCommand::explanationHead(const RunTestRequest& run) const {
    const Request& response = asResponse(run);
    return "Send <b>" + std::to_string(response.packetSize) + "</b> byte packets from <b>" +
           escapeUserText(run.hostName) + "</b> to a packet reflector running on <b>" +
           escapeUserText(run.remoteComputer) +
           "</b> which will send them back.  Compute latency as the round trip time divided by 2. "
           " " +
           "<br>Repeat this <b>" + std::to_string(response.repeatCount) + "</b> times.  " +
           "Spend no more than <b>" + std::to_string(run.timeLimit) + "</b> seconds.  ";
}

void RunResponseCommand::addXmlElements(const RunTestRequest& run, TestResult& record) const {
    const Request& response = asResponse(run);
    record.addXmlText("localComputer", run.hostName);
    record.addXmlInt("localControlPort", run.controlPort);
    record.addXmlText("remoteComputer", run.remoteComputer);
    record.addXmlInt("remoteControlPort", run.remoteControlPort);
    record.addXmlInt("payload", response.packetSize);
    record.addXmlInt("repeat", response.repeatCount);
    record.addXmlInt("pause", response.pause);
    record.addXmlInt("timeLimit", run.timeLimit);
}

std::unique_ptr<TestThread> RunResponseCommand::createThread(const RunTestRequest& run,
                                                             std::shared_ptr<TestResult> record,
                                                             bool deleteSelf) const {
    const Request& response = asResponse(run);
    AgentState* agent = AgentState::current();
    int localPort = agent != nullptr ? agent->responseTimePort.load() : 0;
    return std::make_unique<ResponseTestThread>(std::move(record), run.remoteComputer,
                                                run.remoteControlPort, response.packetSize,
                                                response.repeatCount, response.pause, run.timeLimit,
                                                run.dscp, run.priority, localPort, deleteSelf);
}

int RunResponseCommand::maximumTimeLimit() const {
    AgentState* agent = AgentState::current();
    return agent != nullptr ? agent->responseTimeLimit.load() : 60;
}

}  // namespace trellon
