#include "plugins/action_form_runner.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "http/http_request.h"
#include "http/http_server.h"
#include "lib/agent_state.h"
#include "nettests/remote_agent_status.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "plugins/action_thread.h"
#include "plugins/plugin_pages.h"
#include "results/running_test_slots.h"
#include "results/test_log.h"
#include "results/test_result.h"
#include "results/xml_text.h"

namespace trellon {

namespace {

// Where a request answered on its own thread waits for the start.
constexpr std::chrono::milliseconds kStartPoll{100};

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool waitingRequested(const std::string& refresh) {
    return refresh == "off" || refresh == "false" || refresh == "OFF" || refresh == "FALSE";
}

// A form's number: its digits, else none (an empty or hostile text keeps
// the definition's value).
bool readDigits(const std::string& text, int& value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    value = std::stoi(text);
    return true;
}

// The messages as lines of HTML (they end in line feeds).
std::string htmlLines(const std::string& messages) {
    std::string html;
    for (char c : messages) {
        if (c == '\n')
            html += "<br>\n";
        else
            html += c;
    }
    return html;
}

std::string defaultAgentCheck(const std::string& computer) {
    int port = 0;
    return checkRemoteAgentForRunCommand(computer, port);
}

}  // namespace

void ActionFormRunner::Environment::set(const std::string& name, const std::string& value) {
    const std::string prefix = name + "=";
    for (std::string& entry : entries_) {
        if (entry.compare(0, prefix.size(), prefix) == 0) {
            entry = prefix + value;
            return;
        }
    }
    entries_.push_back(prefix + value);
}

void ActionFormRunner::Environment::add(const std::string& entry) {
    const std::size_t equals = entry.find('=');
    // Entries without a name are nothing a program can read.
    if (equals == std::string::npos || equals == 0) return;
    set(entry.substr(0, equals), entry.substr(equals + 1));
}

std::string ActionFormRunner::Environment::get(const std::string& name) const {
    const std::string prefix = name + "=";
    for (const std::string& entry : entries_) {
        if (entry.compare(0, prefix.size(), prefix) == 0) return entry.substr(prefix.size());
    }
    return "";
}

ActionFormRunner::ActionFormRunner(std::shared_ptr<PluginDefinition> definition,
                                   PluginDefinition::AgentCheck agentCheck)
    : HttpCommand(definition->runnerName()),
      definition_(std::move(definition)),
      agentCheck_(agentCheck ? std::move(agentCheck)
                             : PluginDefinition::AgentCheck(defaultAgentCheck)) {}

std::string ActionFormRunner::substitute(const std::string& text, const FormVariables& form,
                                         bool forHtml) {
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '$') {
            result += text[i++];
            continue;
        }
        std::size_t end = i + 1;
        while (end < text.size() && isNameCharacter(text[end])) ++end;
        const std::string name = text.substr(i + 1, end - i - 1);
        if (name.size() >= 2 && form.has(name)) {
            const std::string value = form.get(name);
            result += forHtml ? pluginPageText(value) : value;
        } else {
            result.append(text, i, end - i);
        }
        i = end;
    }
    return result;
}

std::vector<std::string> ActionFormRunner::commandArguments(const std::string& commandLine,
                                                            const FormVariables& form) {
    std::vector<std::string> arguments = platform::splitCommandLine(commandLine);
    for (std::string& argument : arguments) argument = substitute(argument, form, false);
    return arguments;
}

std::string ActionFormRunner::busyMessage() {
    return "<p>Trellon is already running " + std::to_string(RunningTestSlots::kMaxRunningTests) +
           " tests; try again when one has finished.</p>";
}

void ActionFormRunner::sendBack(HttpRequest& request, FormVariables& form, ResponseBuffer& out,
                                const std::string& format, const std::string& messages) const {
    if (format == "xml") {
        // A program gets the messages, not a page.
        out.append("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n<Refused>\n");
        out.append("    <type>" + escapeXml(definition_->menu()) + "</type>\n");
        out.append("    <message>" + escapeXml(messages) + "</message>\n</Refused>");
        out.appendCrLf();
        request.setXmlOutput(true);
        return;
    }
    form.copyAsDollarNames();
    form.set("messages", "<font size=\"4\" color=\"#FF0000\">" + htmlLines(messages) + "</font>");
    if (HttpServer* server = pluginServerOf(request))
        server->runCommand(request, definition_->pluginName(), form, out);
}

void ActionFormRunner::answer(HttpRequest& request, int testId, const std::string& format,
                              ResponseBuffer& out) const {
    if (format == "xml") {
        out.append(request.baseUrlByName() + "/results?id=" + std::to_string(testId) +
                   "&format=xml");
        out.appendCrLf();
        return;
    }
    redirectToPluginResults(request, testId, out);
}

int ActionFormRunner::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    try {
        const PluginDefinition& definition = *definition_;
        const bool waiting = waitingRequested(form.get("refresh"));
        const std::string format = form.get("format");
        const std::string& query = request.record().query;
        const std::string& fullUrl = request.record().fullUrl;

        Environment environment;
        if (definition.parentEnvVars()) {
            for (const std::string& entry : platform::processEnvironment()) environment.add(entry);
        }
        for (const ActionField& field : definition.fields()) {
            if (!field.environmentVariable.empty())
                environment.set(field.environmentVariable, form.get(field.name));
        }
        const std::string localComputer = hostName();
        form.set("localComputer", localComputer);
        form.set("localControlPort", std::to_string(request.controlPort()));
        environment.set("TRELLON_LOCAL_COMPUTER", localComputer);
        form.set("query", query);
        environment.set("TRELLON_QUERY", query);
        environment.set("TRELLON_RUN_AGAIN_URL", fullUrl);

        const std::string messages = definition.checkValues(form, agentCheck_);
        if (!messages.empty()) {
            sendBack(request, form, out, format, messages);
            return 0;
        }

        // The form may shorten the run and its intervals, never lengthen them
        // beyond what the definition allows.
        int timeLimit = definition.timeLimit();
        int asked = 0;
        if (readDigits(form.get("timeLimit"), asked) && asked < timeLimit) timeLimit = asked;
        int reportInterval = definition.reportInterval();
        if (readDigits(form.get("reportInterval"), asked)) reportInterval = asked;
        int refreshInterval = definition.refreshInterval();
        if (readDigits(form.get("refreshInterval"), asked)) refreshInterval = asked;
        if (reportInterval > timeLimit) reportInterval = timeLimit;
        if (refreshInterval > timeLimit) refreshInterval = timeLimit;
        environment.set("TRELLON_TIME_LIMIT", std::to_string(timeLimit));
        environment.set("TRELLON_REPORT_INTERVAL", std::to_string(reportInterval));

        // Taken before the record, so a refused run leaves none behind.
        RunningTestSlot slot = RunningTestSlots::tryAcquire();
        if (!slot) {
            sendBack(request, form, out, format, busyMessage());
            return 0;
        }
        TestLog* log = TestLog::instance();
        std::shared_ptr<TestResult> record = log != nullptr ? log->newTestResult() : nullptr;
        if (!record) {
            sendBack(request, form, out, format, "The test could not be recorded.\n");
            return 0;
        }
        const int testId = record->getTestId();
        form.set("testID", std::to_string(testId));
        environment.set("TRELLON_TEST_ID", std::to_string(testId));
        record->setTimeLimit(timeLimit);
        record->setRerunUrl(fullUrl);
        record->addXmlText("URL", fullUrl);
        const std::string resultsUrl = record->getResultsUrl();
        environment.set("TRELLON_RESULTS_URL", resultsUrl);
        form.set("refreshUrl", resultsUrl);

        const std::string explanation = substitute(definition.explanation(), form, true);
        const std::string bookmarkTitle = substitute(definition.bookmarkTitle(), form, false);
        const std::string commandLine = substitute(definition.commandLine(), form, false);
        std::vector<std::string> arguments = commandArguments(definition.commandLine(), form);
        std::string destination;
        std::string remoteComputer;
        for (const ActionField& field : definition.fields()) {
            if (field.isDestination && destination.empty()) destination = form.get(field.name);
            if (field.isTrellonComputer && remoteComputer.empty())
                remoteComputer = form.get(field.name);
        }
        const std::int64_t started = platform::nowSeconds();
        {
            std::lock_guard<RecordLock> hold(record->lock());
            record->setResultsPage(definition.outputPagePath());
            record->setExplanation(explanation);
            record->setLocalRole(definition.localRole());
            record->setRemoteRole(definition.remoteRole());
            record->setTitle(definition.title());
            record->setTestType(TestResult::kPluginAction);
            record->setTypeName(definition.menu());
            record->setRefreshInterval(refreshInterval);
            record->setReportInterval(reportInterval);
            record->setStdoutIsHtml(definition.stdoutHtml());
            record->setStderrIsHtml(definition.stderrHtml());
            record->setState(TestResult::kStarting);
            record->setDestination(destination);
            // The page title names the computer the run goes to.
            record->setRemoteComputer(!remoteComputer.empty() ? remoteComputer : destination);
            record->setPlugin(definition_);
            // The fields and the runner's own values; other names a query
            // carries are nobody's business on the results page.
            for (const ActionField& field : definition.fields())
                record->setFormValue(field.name, form.get(field.name));
            for (const char* name : {"localComputer", "localControlPort", "testID", "refreshUrl"})
                record->setFormValue(name, form.get(name));
            record->addFormValuesToXml();
            record->setStartTime(started);
        }

        AgentState* agent = AgentState::current();
        HttpServer* server = pluginServerOf(request);
        environment.set("TRELLON_DIR", definition.directory());
        environment.set("TRELLON_BIN", agent != nullptr ? agent->workingDirectory() : "");
        environment.set("TRELLON_OUTPUT_HTML", definition.outputPagePath());
        environment.set("TRELLON_EXPLANATION", explanation);
        environment.set("TRELLON_LOCAL_HOST_NAME", server != nullptr ? server->hostName() : "");
        environment.set("TRELLON_LOCAL_ROLE", definition.localRole());
        environment.set("TRELLON_REMOTE_ROLE", definition.remoteRole());
        environment.set("TRELLON_TITLE", definition.title());
        environment.set("TRELLON_REFRESH_INTERVAL", std::to_string(refreshInterval));
        environment.set("TRELLON_IS_STDOUT_HTML", definition.stdoutHtml() ? "true" : "false");
        environment.set("TRELLON_IS_STDERR_HTML", definition.stderrHtml() ? "true" : "false");
        environment.set("TRELLON_WHEN_STARTED", std::to_string(started));
        environment.set("TRELLON_MENU", definition.menu());
        environment.set("TRELLON_MENU_HELP", definition.menuHelp());
        environment.set("TRELLON_DESTINATION", destination);
        environment.set("TRELLON_REMOTE_COMPUTER", remoteComputer);
        environment.set("TRELLON_COMMAND", commandLine);
        environment.set("TRELLON_BOOKMARK_TITLE", bookmarkTitle);

        // The thread's record pointer carries the slot: it goes back when
        // the thread is gone, however the run ends.
        std::shared_ptr<TestResult> held =
            RunningTestSlots::holdWhileRunning(record, std::move(slot));
        // Gone once the thread and its copy of the record are: the run has
        // ended and its slot is free again.
        const std::weak_ptr<TestResult> running = held;
        auto progress = std::make_shared<ActionThread::Progress>();
        const bool park = request.canFinishLater();
        const bool joinHere = waiting && !park;
        auto thread = std::make_unique<ActionThread>(
            timeLimit,
            ActionThread::Command{commandLine, std::move(arguments), environment.entries(),
                                  definition.directory()},
            std::move(held), progress, !joinHere);
        record->setActionThread(thread.get());
        if (joinHere) {
            thread->start();
            thread->join();
            thread.reset();
        } else {
            // It frees itself when the run ends, and is not touched after start().
            thread.release()->start();
        }

        if (park) {
            // The request thread goes back to the pool; the loop looks at
            // the run's progress and finishes the answer.
            request.finishLater(
                [progress, running, waiting] {
                    return waiting ? running.expired() : progress->started.load();
                },
                waiting ? (timeLimit + kWaitBeyondTimeLimitSeconds) * 1000 + kStartWaitMs
                        : kStartWaitMs,
                [this, &request, testId, format](ResponseBuffer& later) {
                    answer(request, testId, format, later);
                });
            return 0;
        }
        for (int i = 0; i < kStartWaitMs / kStartPoll.count() && !progress->started.load(); ++i)
            std::this_thread::sleep_for(kStartPoll);
        answer(request, testId, format, out);
    } catch (...) {
        std::printf("Unexpected exception in ActionFormRunner::execute()\n");
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace trellon
