#include "commands/run_test_command.h"

#include <climits>

#include "commands/page_support.h"
#include "commands/qos_choices.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "lib/address.h"
#include "lib/agent_state.h"
#include "nettests/remote_agent_status.h"
#include "nettests/test_thread.h"
#include "results/json_text.h"
#include "results/running_test_slots.h"
#include "results/test_log.h"
#include "results/test_result.h"
#include "results/xml_text.h"

namespace trellon {

namespace {

// How long past its time limit a waiting request may wait for its test's
// end before it is answered anyway (the last replies, the final figures).
constexpr int kWaitBeyondTimeLimitSeconds = 60;

bool blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

RunTestCommand::RunTestCommand(Description description)
    : HttpCommand(description.name), description_(std::move(description)) {}

bool RunTestCommand::isNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && blank(text[i])) ++i;
    std::size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == digits) return false;
    while (i < text.size() && blank(text[i])) ++i;
    return i == text.size();
}

int RunTestCommand::readNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && blank(text[i])) ++i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
}

bool RunTestCommand::waitingRequested(const std::string& refresh) {
    return refresh == "off" || refresh == "false" || refresh == "OFF" || refresh == "FALSE";
}

std::string RunTestCommand::timeLimitMessage(int maximum) {
    return "<p>Please enter a time limit between 1 and " + std::to_string(maximum) +
           " seconds.</p>";
}

std::string RunTestCommand::busyMessage() {
    return "<p>Trellon is already running " + std::to_string(RunningTestSlots::kMaxRunningTests) +
           " tests; try again when one has finished.</p>";
}

std::string RunTestCommand::refusalJson(const std::string& typeName, const Messages& messages) {
    std::string json = "{\n    \"type\": " + jsonString(typeName) + ",\n    \"refused\": 1";
    json += ",\n    \"messages\": [";
    for (std::size_t i = 0; i < messages.size(); ++i)
        json += (i == 0 ? "" : ", ") + jsonString(messages[i]);
    json += "]\n}";
    return json;
}

std::string RunTestCommand::refusalXml(const std::string& typeName, const Messages& messages) {
    // The messages stay the HTML the input page shows, escaped as text.
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n";
    xml += "<Refused>\n    <type>" + escapeXml(typeName) + "</type>\n";
    for (const std::string& message : messages)
        xml += "    <message>" + escapeXml(message) + "</message>\n";
    xml += "</Refused>";
    return xml;
}

std::string RunTestCommand::refusalText(const Messages& messages) {
    // One line per message, its markup left out (user text in it stays escaped).
    std::string text;
    for (const std::string& message : messages) {
        std::string line;
        bool inTag = false;
        for (char c : message) {
            if (c == '<')
                inTag = true;
            else if (c == '>')
                inTag = false;
            else if (!inTag && c != '\r' && c != '\n')
                line += c;
        }
        while (!line.empty() && blank(line.back())) line.pop_back();
        text += line + "\r\n";
    }
    return text;
}

void RunTestCommand::checkRemoteComputer(const RunTestRequest& run, Messages& errors) const {
    if (!hostResolves(run.remoteComputer))
        errors.push_back("The remote computer " + escapeUserText(run.remoteComputer) +
                         " could not be found.");
}

void RunTestCommand::readCommonFields(HttpRequest& request, const FormVariables& form,
                                      RunTestRequest& run) const {
    run.format = form.get("format");
    run.remoteComputer = form.get("remoteComputer");
    run.portNumber = form.get("portNumber");
    run.verify = form.get("verifyComputer") == "ON";
    run.waiting = waitingRequested(form.get("refresh"));
    run.dscpChoice =
        form.has("diffservcodepoint") ? form.get("diffservcodepoint") : kNoMarkingChoice;
    run.priorityChoice = form.has("l2priority") ? form.get("l2priority") : kNoMarkingChoice;
    run.timeLimitText = form.get("timeLimit");
    run.refreshIntervalText = form.get("refreshInterval");
    run.timeLimit = readNumber(run.timeLimitText);
    run.refreshInterval = readNumber(run.refreshIntervalText);
    run.dscp = dscpFromChoice(run.dscpChoice);
    run.priority = priorityFromChoice(run.priorityChoice);
    run.hostName = trellon::hostName();
    run.controlPort = request.controlPort();
}

int RunTestCommand::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    std::unique_ptr<RunTestRequest> run = newRequest();
    readCommonFields(request, form, *run);
    readFields(form, *run);
    // Programs do not refresh pages and usually leave the interval out; any
    // value they do give is checked like the form's.
    if (answersWithoutPage(run->format) && run->refreshIntervalText.empty()) {
        run->refreshIntervalText = std::to_string(kProgramRefreshInterval);
        run->refreshInterval = kProgramRefreshInterval;
    }

    Messages errors;
    if (run->verify) {
        int port = 0;
        std::string verified = checkRemoteAgentForRunCommand(run->remoteComputer, port);
        if (!verified.empty()) errors.push_back(verified);
    }
    std::shared_ptr<RemoteAgentStatus> known = findRemoteAgentStatus(run->remoteComputer);
    run->remoteControlPort = known ? known->controlPort() : kAgentControlPort;

    // The same bounds for everyone: a program's request is a browser's
    // without the page, not a way around the limits.
    checkRemoteComputer(*run, errors);
    form.set("portNumber", std::to_string(run->remoteControlPort));
    checkFields(*run, errors);
    if (!errors.empty()) {
        refuse(request, form, out, *run, errors);
        return 0;
    }

    // Taken before the record, so a refused request leaves none behind.
    RunningTestSlot slot = RunningTestSlots::tryAcquire();
    if (!slot) {
        refuse(request, form, out, *run, {busyMessage()});
        return 0;
    }

    TestLog* log = TestLog::instance();
    std::shared_ptr<TestResult> record = log != nullptr ? log->newTestResult() : nullptr;
    if (!record) return 0;
    record->setRunningImage(description_.runningImage);
    record->setStoppedImage(description_.stoppedImage);
    if (run->reportInterval > run->timeLimit) run->reportInterval = run->timeLimit;
    if (run->refreshInterval > run->timeLimit) run->refreshInterval = run->timeLimit;
    describe(request, *run, *record);
    int testId = record->getTestId();

    // The thread's record pointer carries the slot: it goes back when the
    // thread object is gone, however the test ends (or if it is never made).
    std::shared_ptr<TestResult> held = RunningTestSlots::holdWhileRunning(record, std::move(slot));
    // A request that waits for its test's end gives its request thread back
    // meanwhile (ten such requests would otherwise hold every page); only
    // without the connection loop (a command called directly) does it join.
    const bool waitDetached = run->waiting && request.canFinishLater();
    std::weak_ptr<TestResult> running = held;
    std::unique_ptr<TestThread> thread =
        createThread(*run, std::move(held), !run->waiting || waitDetached);
    if (run->waiting && !waitDetached) {
        thread->start();
        thread->join();
        thread.reset();
    } else {
        // It frees itself when its test ends, and is not touched after start().
        thread.release()->start();
    }
    if (waitDetached) {
        // The thread's copy of the record pointer goes with the thread: once
        // none is left, the test has ended, as a join would have told.
        std::shared_ptr<const RunTestRequest> finished = std::move(run);
        request.finishLater([running] { return running.expired(); },
                            (finished->timeLimit + kWaitBeyondTimeLimitSeconds) * 1000,
                            [this, &request, finished, testId](ResponseBuffer& later) {
                                answer(request, *finished, testId, later);
                            });
        return 0;
    }
    answer(request, *run, testId, out);
    return 0;
}

void RunTestCommand::refuse(HttpRequest& request, FormVariables& form, ResponseBuffer& out,
                            const RunTestRequest& run, const Messages& errors) const {
    if (!answersWithoutPage(run.format)) {
        std::string html;
        for (const std::string& message : errors) html += message;
        sendBack(request, form, out, run, html);
    } else if (run.format == "xml") {
        out.append(refusalXml(description_.typeName, errors));
        out.appendCrLf();
        request.setXmlOutput(true);
    } else if (run.format == "json") {
        out.append(refusalJson(description_.typeName, errors));
        out.appendCrLf();
        request.setJsonOutput(true);
    } else {
        out.append(refusalText(errors));
    }
}

void RunTestCommand::sendBack(HttpRequest& request, FormVariables& form, ResponseBuffer& out,
                              const RunTestRequest& run, const std::string& errors) const {
    form.copyAsDollarNames();
    form.set("messages", errors);
    setSelectionMarks(run, form);
    markChoices(form, run.dscpChoice, run.priorityChoice);
    if (HttpServer* server = serverOf(request))
        server->runCommand(request, description_.inputPage, form, out);
}

std::string RunTestCommand::explanation(const RunTestRequest& run) const {
    std::string text = explanationHead(run);
    // No word of the DSCP or 802.1p marking here: the test adds it to the
    // explanation once the marking is in place, and says so when the system
    // refuses it, so the page never claims a marking the traffic lacks.
    if (run.verify) text += "<br>Verify that the remote computer is running Trellon first.";
    return text;
}

void RunTestCommand::describe(HttpRequest& request, const RunTestRequest& run,
                              TestResult& record) const {
    record.setColumnHeadings(description_.columnHeadings);
    record.setExplanation(explanation(run));
    record.setLocalRole(description_.localRole);
    record.setRemoteRole(description_.remoteRole);
    record.setTitle(description_.title);
    record.setTestType(description_.testType);
    record.setTypeName(description_.typeName);
    record.setRefreshInterval(run.refreshInterval);
    record.setDscp(run.dscp);
    record.set8021p(run.priority);
    fillRecord(run, record);
    auto addUrl = [&] {
        record.setRerunUrl(request.record().fullUrl);
        record.addXmlText("URL", request.record().fullUrl);
    };
    if (!urlAfterElements()) addUrl();
    if (AgentState* agent = AgentState::current()) agent->setLastRemoteComputer(run.remoteComputer);
    addXmlElements(run, record);
    if (urlAfterElements()) addUrl();
}

void RunTestCommand::answer(HttpRequest& request, const RunTestRequest& run, int testId,
                            ResponseBuffer& out) const {
    if (run.format == "html") {
        redirectToResultsPage(request, testId, out);
    } else if (run.format == "xml") {
        out.append(request.baseUrlByName() + "/results?id=" + std::to_string(testId) +
                   "&format=xml");
        out.appendCrLf();
    } else if (run.format == "json") {
        // The record itself, final when the request waited for the end; its
        // id fetches it again from /results with format=json.
        TestLog* log = TestLog::instance();
        std::shared_ptr<TestResult> record = log != nullptr ? log->findTestResult(testId) : nullptr;
        out.append(record ? record->jsonDocument()
                          : jsonObject({{"id", std::to_string(testId), true}}));
        out.appendCrLf();
        request.setJsonOutput(true);
    }
}

}  // namespace trellon
