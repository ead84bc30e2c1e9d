#include "commands/show_status_command.h"

#include <cstdio>
#include <exception>

#include "commands/page_support.h"
#include "http/http_server.h"
#include "http/templates.h"
#include "lib/agent_state.h"
#include "lib/thread.h"
#include "results/test_log.h"

namespace trellon {

namespace {

void fillStatus(ResponseBuffer& page, const HttpServer& server) {
    AgentState* agent = AgentState::current();
    auto number = [](long long value) { return std::to_string(value); };
    TestLog* log = TestLog::instance();

    replaceKey(page, "$version", kProgramVersion);
    replaceKey(page, "$controlPort", number(server.controlPort()));
    replaceKey(page, "$bandwidthPort", agent ? number(agent->serverTcpPort.load()) : "");
    replaceKey(page, "$streamClientPort",
               agent ? number(agent->streamDestinationUdpPort.load()) : "");
    replaceKey(page, "$reflectorPort", agent ? number(agent->reflectorResponsePort.load()) : "");
    replaceKey(page, "$laststarted", agent ? escapeUserText(agent->startTimeText()) : "");
    replaceKey(page, "$notestsrun", agent ? number(agent->testsCreated.load()) : "0");
    replaceKey(page, "$notestsinprogress", agent ? number(agent->testsRunning.load()) : "0");
    replaceKey(page, "$nohttprequests", agent ? number(agent->httpRequests.load()) : "0");
    replaceKey(page, "$nothreads", number(Thread::liveThreadCount()));
    replaceKey(page, "$noresults", number(log != nullptr ? log->count() : 0));
    // Plain text (file names, plug-in errors) shown in a <pre>; last, so no
    // replacement after it can reach into it.
    replaceKey(page, "$status_messages", agent ? escapeUserText(agent->statusText()) : "");
}

}  // namespace

int ShowStatusCommand::execute(HttpRequest& request, FormVariables&, ResponseBuffer& out) {
    ResponseBuffer page;
    if (!loadPageTemplate(request, "status.htm", page)) {
        out.append(page.str());
        return 0;
    }
    try {
        fillStatus(page, *serverOf(request));
        out.append(page.str());
    } catch (...) {
        out.append(page.str());
        out.append("ShowStatusCommand exception.");
        std::printf("Unexpected exception (ShowStatusCommand::execute() %s line %d\n", __FILE__,
                    __LINE__);
    }
    return 0;
}

}  // namespace trellon
