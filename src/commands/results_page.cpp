#include "commands/results_page.h"

#include <algorithm>
#include <mutex>

#include "commands/page_support.h"
#include "http/form_variables.h"
#include "http/http_request.h"
#include "http/templates.h"
#include "plugins/plugin_definition.h"
#include "results/test_result.h"

namespace trellon {

namespace {

// What the page says and links to in the record's present state.
struct StateParts {
    std::string finalText;
    std::string stateMessage;
    int countdown = 0;
    std::string refreshControl;
    std::string doAnotherTest;
    std::string onload = "   ";
    std::string cancelLink;
    std::string cancelUrl;
    std::string runAgainLink;
    std::string bookmarkLink;
};

// The record keeps text output escaped already; its "$" signs are made
// entities too, so no page variable replaced after it can reach into what a
// command wrote. Output the definition calls HTML is the plug-in's own.
std::string dollarsAsEntities(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c == '$')
            result += "&#36;";
        else
            result += c;
    }
    return result;
}

std::string outputBlock(const std::string& text, bool isHtml) {
    return isHtml ? text : "<PRE>" + dollarsAsEntities(text) + "</PRE>";
}

StateParts stateParts(const TestResult& record, const std::string& base, int testId,
                      const std::string& rerunUrl, const std::string& title) {
    StateParts parts;
    const int state = record.getState();
    if (state == TestResult::kFinished) {
        parts.finalText = record.getFinalResults() + record.getPortExplanation().value_or("");
        parts.stateMessage = "Test finished.";
        parts.doAnotherTest = "<A HREF=\"/\">Do another test</A>";
        parts.runAgainLink = "Run test again<br>(or bookmark it for later)<br><A HREF=\"" +
                             rerunUrl + "\">" + title + "</A>";
        parts.bookmarkLink = "<A HREF=\"javascript:addbookmark();\">Bookmark test for later</a>";
        return parts;
    }
    switch (state) {
        case TestResult::kNotStarted:
            parts.finalText = "(Test not started yet.)";
            parts.countdown = 3;
            break;
        case TestResult::kStarting:
            parts.finalText = "(Test starting, no results yet.)";
            parts.countdown = 3;
            break;
        case TestResult::kRunning: {
            int remaining = record.secondsRemaining();
            // At least a second: an interval of 0 (a program that gave none)
            // would make the page reload itself without pause.
            parts.countdown = std::max(1, record.getRefreshInterval());
            if (remaining < 0) {
                remaining = 0;
                parts.countdown = 5;
            }
            parts.stateMessage =
                "Test still running.<br>Time out in " + std::to_string(remaining) + " seconds.";
            break;
        }
        case TestResult::kWaitingForFinalData:
            parts.stateMessage = "(Test finished, waiting for final data.)";
            parts.countdown = 5;
            break;
        default:
            break;
    }
    parts.refreshControl =
        "Refresh after <font face=\"Courier New,Courier\" "
        "id=\"numberCountdown\">&nbsp;&nbsp;</font> "
        "seconds.<br>\n<A HREF=$refreshNowURL>Refresh now</A>";
    parts.onload = "onLoad=\"startCountdown()\"";
    parts.cancelUrl = base + "/cancelCommand?id=" + std::to_string(testId);
    parts.cancelLink =
        "<P align=\"center\"><A HREF=\"$cancelURL\"><img alt=\"Stop\" src=\"stop.png\" "
        "height=\"36\" "
        "width=\"36\" /><br>Cancel</A></P>";
    return parts;
}

}  // namespace

std::string refreshMetaTag(int seconds, const std::string& url) {
    return "<META HTTP-EQUIV=\"REFRESH\" CONTENT=\"" + std::to_string(seconds) + ";URL=" + url +
           "\">";
}

void renderResultsPage(HttpRequest& request, const TestResult& record, int testId,
                       ResponseBuffer& page) {
    std::lock_guard<RecordLock> hold(record.lock());
    const std::string base = request.baseUrl();
    const std::string resultsUrl = rebaseUrl(base, record.getResultsUrl());
    // User text may sit in the query of the run-again address.
    const std::string rerunUrl = escapeUserText(rebaseUrl(base, record.getRerunUrl()));
    const std::string title = escapeUserText(record.pageTitle());

    const std::string output = record.getOutputText();
    const std::string errors = record.getErrorText();
    replaceKey(page, "$messages",
               messageRow(record.getStdoutIsHtml() ? output : dollarsAsEntities(output)));
    replaceKey(page, "$stdoutHtml", record.getStdoutIsHtml() ? "true" : "false");
    replaceKey(page, "$stdout", outputBlock(output, record.getStdoutIsHtml()));
    replaceKey(page, "$stderrHtml", record.getStderrIsHtml() ? "true" : "false");
    replaceKey(page, "$stderr", outputBlock(errors, record.getStderrIsHtml()));
    replaceKey(page, "$img",
               record.getState() == TestResult::kFinished ? record.getStoppedImage()
                                                          : record.getRunningImage());
    replaceKey(page, "$title", record.getTitle());
    replaceKey(page, "$explanation", record.getExplanation().value_or(""));
    const auto definition = std::dynamic_pointer_cast<PluginDefinition>(record.getPlugin());
    if (definition) {
        for (const auto& [key, value] : definition->pageVariables(record.getLocalComputer()))
            replaceKey(page, key, value);
    }
    if (record.getPlugin()) {
        FormVariables values;
        for (const auto& [name, value] : record.getFormValues())
            values.set(name, escapeUserText(value));
        applyFormVariables(page, values, false);
    }
    replaceKey(page, "<!--longresults-->", record.getExtraHtml());
    replaceKey(page, "$table", record.progressTableHtml());
    replaceKey(page, "$localRole", record.getLocalRole());
    replaceKey(page, "$localComputer", escapeUserText(record.getLocalComputer()));
    replaceKey(page, "$localPortNumber", std::to_string(record.getLocalPort()));
    replaceKey(page, "$remoteRole", record.getRemoteRole());
    replaceKey(page, "$remoteComputer", escapeUserText(record.getRemoteComputer()));
    replaceKey(page, "$destination", escapeUserText(record.getDestination()));
    replaceKey(page, "$remotePortNumber", std::to_string(record.getRemotePort()));
    replaceKey(page, "$timeStamp", longDateTimeText(record.getCreatedTime()));

    const StateParts parts = stateParts(record, base, testId, rerunUrl, title);
    const bool refreshing = record.getState() != TestResult::kFinished;
    replaceKey(page, kRefreshPlaceholder,
               refreshing ? refreshMetaTag(parts.countdown, resultsUrl) : "");

    // $refreshControl and $cancelLink carry $refreshNowURL and $cancelURL,
    // which are therefore replaced after them.
    replaceKey(page, "$finalResults", parts.finalText);
    replaceKey(page, "$testStateMessage", parts.stateMessage);
    replaceKey(page, "$countdownSeconds", std::to_string(parts.countdown));
    replaceKey(page, "$refreshControl", parts.refreshControl);
    replaceKey(page, "$refreshNowURL", resultsUrl);
    replaceKey(page, "$doAnotherTest", parts.doAnotherTest);
    replaceKey(page, "$onload", parts.onload);
    replaceKey(page, "$cancelLink", parts.cancelLink);
    replaceKey(page, "$cancelURL", parts.cancelUrl);
    replaceKey(page, "$runAgainLink", parts.runAgainLink);
    replaceKey(page, "$bookmarkLink", parts.bookmarkLink);
    replaceKey(page, "$bookmarkURL", rerunUrl);
    replaceKey(page, "$bookmarkTitle", title);
    replaceKey(page, "$runAgainURL", rerunUrl);
    replaceKey(page, "$commandLine", definition ? escapeUserText(definition->commandLine()) : "");
    replaceKey(page, "$testId", std::to_string(testId));
    replaceKey(page, "$debugURL", base + "/debug?id=" + std::to_string(testId));
}

}  // namespace trellon
